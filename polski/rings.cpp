// Ring order and holes of polygons.
#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "polski/objects.h"
#include "polski/rings.h"

namespace PolskiFormat {

CRingIndex::CRingIndex(const CReallocArray<TPointD>& ring) : points(ring.data), n(ring.Size()) {
  south = north = points[0].y;
  for (size_t i = 1; i < n; i++) {
    south = std::fmin(south, points[i].y);
    north = std::fmax(north, points[i].y);
  }
  bands = static_cast<size_t>(std::sqrt(static_cast<double>(n)));
  height = (north - south) / static_cast<double>(bands);
  if (!(height > 0)) bands = 1;
  // Two passes: count the edges of each band, then place them.
  CReallocArray<size_t> fill;
  start.ResizeZeroed(bands + 1);
  for (int pass = 0; pass < 2; pass++) {
    for (size_t i = 0; i < n; i++) {
      double a = points[i == 0 ? n - 1 : i - 1].y, b = points[i].y;
      size_t last = Band(std::fmax(a, b));
      for (size_t band = Band(std::fmin(a, b)); band <= last; band++) {
        if (pass == 0) {
          start[band + 1]++;
        } else {
          edges[fill[band]++] = static_cast<uint32_t>(i);
        }
      }
    }
    if (pass == 0) {
      for (size_t band = 0; band < bands; band++) start[band + 1] += start[band];
      if (start[bands] > 8 * n) {  // edges spanning many bands: not worth it
        bands = 0;
        return;
      }
      edges.Resize(start[bands]);
      fill.Assign(start.data, bands);
    }
  }
}

bool CRingIndex::Contains(TPointD p) const {
  if (bands == 0) return PointInPolygon(points, n, p);
  if (!(p.y >= south && p.y <= north)) return false;  // no edge spans it
  size_t band = Band(p.y);
  return PointInPolygonEdges(points, n, edges.data + start[band], start[band + 1] - start[band], p);
}

// Monotonic in y, so an edge lies in every band between its ends' bands.
size_t CRingIndex::Band(double y) const {
  if (bands == 1) return 0;
  double f = (y - south) / height;
  return f <= 0 ? 0 : (f >= static_cast<double>(bands) ? bands - 1 : static_cast<size_t>(f));
}

namespace {

// Plain bounds of a ring, to skip point-in-ring tests that cannot succeed.
struct TRingBounds {
  double west = HUGE_VAL, east = -HUGE_VAL, south = HUGE_VAL, north = -HUGE_VAL;

  explicit TRingBounds(const TDataLevel& ring) {
    for (const TPointD& p : ring.Points) {
      west = std::fmin(west, p.x);
      east = std::fmax(east, p.x);
      south = std::fmin(south, p.y);
      north = std::fmax(north, p.y);
    }
  }
  // False only where the point-in-ring test must fail for some point.
  // Longitudes tell only while no difference between the two rings' points
  // reaches 180 degrees: the test wraps such differences, and a large ring
  // may then hold points beyond its plain longitude range.
  bool Within(const TRingBounds& outer) const {
    if (south < outer.south || north > outer.north) return false;
    if (std::fmax(east, outer.east) - std::fmin(west, outer.west) >= 180) return true;
    return west >= outer.west && east <= outer.east;
  }
};

// What the containment tests of one polygon's rings reuse, by ring index.
struct TRingCache {
  TRingBounds bounds;
  std::unique_ptr<CRingIndex> index;
};

class CRingTester {
 public:
  explicit CRingTester(const CReallocArray<TDataLevel>& rings) : rings(rings) {
    cache.Reserve(rings.Size());
    for (const TDataLevel& ring : rings) cache.EmplaceBack(TRingCache{TRingBounds(ring), nullptr});
  }

  // Every point of ring `inner` lies inside ring `outer`; a ring without
  // points lies inside any ring.
  bool Inside(size_t inner, size_t outer) {
    const CReallocArray<TPointD>& points = rings[inner].Points;
    const CReallocArray<TPointD>& ring = rings[outer].Points;
    if (points.Empty()) return true;
    if (ring.Empty() || !cache[inner].bounds.Within(cache[outer].bounds)) return false;
    if (ring.Size() < CRingIndex::kMinPoints) {
      for (const TPointD& p : points) {
        if (!PointInPolygon(ring.data, ring.Size(), p)) return false;
      }
      return true;
    }
    std::unique_ptr<CRingIndex>& index = cache[outer].index;
    if (!index) index = std::make_unique<CRingIndex>(ring);
    for (const TPointD& p : points) {
      if (!index->Contains(p)) return false;
    }
    return true;
  }

 private:
  const CReallocArray<TDataLevel>& rings;
  CReallocArray<TRingCache> cache;
};

}  // namespace

// The rings are ordered as by an insertion pass over signed levels: each
// ring walks left from the end past rings of a higher level, past holes of
// its level, and past rings of its level that do not contain it (making a
// ring that lies inside it a hole); it stops behind a ring of its level that
// contains it, and becomes a hole there, or at the start of its level.
//
// The walk is done on a linked list. Every level's block starts with a ring
// that is not a hole (a ring is placed behind another only as a hole, and a
// ring made a hole is passed by the one that contains it), so a hole's
// nearest non-hole to the left lies in its block; a union-find over the
// holes jumps there, and a walk costs the containment tests it makes.
void OrderRings(CReallocArray<TDataLevel>& rings) {
  const size_t n = rings.Size();
  if (n < 2) return;
  constexpr uint32_t kNone = 0xFFFFFFFF;
  CRingTester tester(rings);
  CReallocArray<uint32_t> prev, next, parent;
  prev.Resize(n);
  next.Resize(n);
  parent.Resize(n);
  uint32_t head[256], tail[256];  // per level byte: first and last ring of its block
  std::fill(std::begin(head), std::end(head), kNone);
  std::fill(std::begin(tail), std::end(tail), kNone);
  uint32_t first = kNone;
  auto insertAfter = [&](uint32_t q, uint32_t after) {
    prev[q] = after;
    next[q] = after == kNone ? first : next[after];
    if (next[q] != kNone) prev[next[q]] = q;
    (after == kNone ? first : next[after]) = q;
  };
  auto nearestRing = [&](uint32_t x) {  // x itself, or the non-hole its holes lead to
    uint32_t root = x;
    while (rings[root].IsHole) root = parent[root];
    while (x != root && parent[x] != root) {
      uint32_t up = parent[x];
      parent[x] = root;
      x = up;
    }
    return root;
  };
  for (uint32_t q = 0; q < n; q++) {
    rings[q].IsHole = 0;
    parent[q] = q;
    const uint8_t level = rings[q].Level;
    if (head[level] == kNone) {
      // A new block, behind the block of the highest lower level.
      uint32_t after = kNone;
      for (int l = static_cast<int8_t>(level) - 1; l >= -128 && after == kNone; l--) {
        after = tail[static_cast<uint8_t>(l)];
      }
      insertAfter(q, after);
      head[level] = tail[level] = q;
      continue;
    }
    for (uint32_t cur = nearestRing(tail[level]);; cur = nearestRing(prev[cur])) {
      if (tester.Inside(q, cur)) {
        rings[q].IsHole = 1;
        parent[q] = cur;
        insertAfter(q, cur);
        if (tail[level] == cur) tail[level] = q;
        break;
      }
      bool blockStart = cur == head[level];
      if (tester.Inside(cur, q)) {
        rings[cur].IsHole = 1;
        parent[cur] = blockStart ? q : prev[cur];
      }
      if (blockStart) {
        insertAfter(q, prev[cur]);
        head[level] = q;
        break;
      }
    }
  }
  CReallocArray<TDataLevel> ordered;
  ordered.Reserve(n);
  for (uint32_t i = first; i != kNone; i = next[i]) ordered.PushBack(std::move(rings[i]));
  std::swap(rings, ordered);
}

}  // namespace PolskiFormat
