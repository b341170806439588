// Point-in-ring tests of many points against one large ring.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/containers.h"
#include "core/geo.h"

namespace PolskiFormat {

// The edges of a large ring by latitude band, so that a point test visits
// only the edges whose latitude range may hold the point (in ring order,
// which keeps the result that of PointInPolygon). Islands tested against a
// long coastline then cost their points times a band, not times the coast.
class CRingIndex {
 public:
  // Below this many points a plain test is as quick.
  static constexpr size_t kMinPoints = 256;

  // The ring must have points; its storage must outlive the index.
  explicit CRingIndex(const CReallocArray<TPointD>& ring);
  // PointInPolygon(ring, point).
  bool Contains(TPointD p) const;

 private:
  size_t Band(double y) const;

  const TPointD* points;  // the ring's own storage, which swaps do not move
  size_t n;
  double south, north, height;
  size_t bands;  // 0: no index (edges span too many bands), plain test
  CReallocArray<size_t> start;  // band b holds edges[start[b] .. start[b + 1])
  CReallocArray<uint32_t> edges;
};

}  // namespace PolskiFormat
