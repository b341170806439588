#include "polski/pointruns.h"

#include <cstring>

#include "polski/jitters.h"

namespace PolskiFormat {

namespace {

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

uint64_t CoordinateBits(double v) {
  v += 0.0;  // -0 and +0 compare equal, so they must hash equally
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

uint64_t PointHash(const TPointD& p) { return Mix(CoordinateBits(p.x) * 31 + Mix(CoordinateBits(p.y))); }

}  // namespace

// borders[i] = length of the longest proper border of b[0, i + 1).
void CPointRunMatcher::BuildBorders(const TPointD* b, size_t m) {
  borders.Resize(m);
  borders[0] = 0;
  size_t k = 0;
  for (size_t i = 1; i < m; i++) {
    while (k > 0 && !SamePoint(b[i], b[k])) k = borders[k - 1];
    if (SamePoint(b[i], b[k])) k++;
    borders[i] = k;
  }
}

TRunMatch CPointRunMatcher::MatchRuns(const TPointD* a, size_t n, const TPointD* b, size_t m) {
  if (n < m) return TRunMatch::Shorter;
  if (m == 0) return TRunMatch::Absent;
  BuildBorders(b, m);
  size_t found = 0;
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    while (k > 0 && !SamePoint(a[i], b[k])) k = borders[k - 1];
    if (SamePoint(a[i], b[k])) k++;
    if (k == m) {
      found++;
      k = borders[m - 1];
    }
  }
  if (found == 0) return TRunMatch::Absent;
  return found == n - m + 1 ? TRunMatch::Equal : TRunMatch::Contains;
}

bool CPointRunMatcher::RingsEqual(const TPointD* a, size_t n, const TPointD* b, size_t m) {
  if (n != m || n == 0) return false;
  BuildBorders(b, m);
  size_t k = 0;
  for (size_t i = 0; i + 1 < 2 * n; i++) {  // a followed by a[0, n - 1)
    const TPointD& p = a[i < n ? i : i - n];
    while (k > 0 && !SamePoint(p, b[k])) k = borders[k - 1];
    if (SamePoint(p, b[k])) k++;
    if (k == m) return true;
  }
  return false;
}

// Sum over the ring's edges of a hash of the edge: the sum ignores where the
// ring starts, the edge keeps its direction.
uint64_t RingHash(const TPointD* ring, size_t n) {
  uint64_t sum = n;
  for (size_t i = 0; i < n; i++) {
    uint64_t from = PointHash(ring[i]);
    uint64_t to = PointHash(ring[i + 1 < n ? i + 1 : 0]);
    sum += Mix(from * 0x9e3779b97f4a7c15ULL + to);
  }
  return sum;
}

}  // namespace PolskiFormat
