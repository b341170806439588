#include "polski/pointruns.h"

#include <algorithm>
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

}  // namespace

uint64_t PointHash(const TPointD& p) { return Mix(CoordinateBits(p.x) * 31 + Mix(CoordinateBits(p.y))); }

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

void CRunIndex::Build(const TPointD* points, size_t n) {
  run = points;
  count = n;
  slots.Resize(n);
  for (size_t i = 0; i < n; i++) slots[i] = {PointHash(points[i]), i};
  std::sort(slots.begin(), slots.end(), [](const TSlot& a, const TSlot& b) { return a.hash < b.hash; });
}

TRunMatch CRunIndex::Match(const TPointD* b, size_t m, CPointRunMatcher& fallback) const {
  if (count < m) return TRunMatch::Shorter;
  if (m == 0) return TRunMatch::Absent;
  uint64_t hash = PointHash(b[0]);
  const TSlot* first = std::lower_bound(slots.begin(), slots.end(), hash,
                                        [](const TSlot& s, uint64_t h) { return s.hash < h; });
  const TSlot* last = first;
  while (last != slots.end() && last->hash == hash) last++;
  // A point repeated all along the run: the linear matcher bounds the work.
  if (last - first > 16) return fallback.MatchRuns(run, count, b, m);
  size_t found = 0;
  for (const TSlot* slot = first; slot != last; slot++) {
    size_t at = slot->position;
    if (at + m > count) continue;
    size_t t = 0;
    while (t < m && SamePoint(run[at + t], b[t])) t++;
    if (t == m) found++;
  }
  if (found == 0) return TRunMatch::Absent;
  return found == count - m + 1 ? TRunMatch::Equal : TRunMatch::Contains;
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
