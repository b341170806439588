// Ring order and holes of polygons.
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
  // Longitudes are compared only when neither ring may wrap at +/-180.
  bool Within(const TRingBounds& outer) const {
    if (south < outer.south || north > outer.north) return false;
    if (east - west >= 180 || outer.east - outer.west >= 180) return true;
    return west >= outer.west && east <= outer.east;
  }
};

// What the containment tests of one polygon's rings reuse, kept in the
// rings' order.
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

  void Swap(size_t a, size_t b) { std::swap(cache[a], cache[b]); }

 private:
  const CReallocArray<TDataLevel>& rings;
  CReallocArray<TRingCache> cache;
};

}  // namespace

void OrderRings(CReallocArray<TDataLevel>& rings) {
  if (rings.Size() < 2) return;
  CRingTester tester(rings);
  // Insertion by level (signed bytes). A ring stops behind a ring of its
  // level that contains it and becomes its hole; a ring that contains the
  // one before it makes that one a hole and moves in front of it.
  for (size_t a = 1; a < rings.Size(); a++) {
    for (size_t j = a; j > 0; j--) {
      TDataLevel& p = rings[j - 1];
      TDataLevel& q = rings[j];
      int8_t pLevel = static_cast<int8_t>(p.Level), qLevel = static_cast<int8_t>(q.Level);
      if (qLevel > pLevel) break;
      if (qLevel == pLevel && !p.IsHole) {
        if (tester.Inside(j, j - 1)) {
          q.IsHole = 1;
          break;
        }
        if (tester.Inside(j - 1, j)) p.IsHole = 1;
      }
      std::swap(p, q);
      tester.Swap(j - 1, j);
    }
  }
}

}  // namespace PolskiFormat
