// Generalization: per-level Douglas-Peucker simplification of lines and
// areas, with copies made for the levels an object spans without geometry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/containers.h"
#include "core/geo.h"

namespace PolskiFormat {

// Scale table index: the number of coordinate bits of a level for lines,
// one less (of the level below) for areas. Indexes beyond the table clamp.
constexpr int kScaleIndexCount = 27;
uint32_t ScaleForIndex(int index);
// The scale entry / 37.79527559055118, truncated: metres. 0 at index 26.
int ToleranceForIndex(int index);

// Great-circle distance in metres from p to the nearest point of segment
// a-b, that nearest point being found in the plane of degrees.
double SegmentDistanceOnSphere(const TPointD& a, const TPointD& b, const TPointD& p);

// Douglas-Peucker in place; returns the number of points removed. The end
// points always stay; fewer than three points, or a tolerance of 0, change
// nothing.
size_t SimplifyDouglasPeucker(CReallocArray<TPointD>& points, double tolerance);

// Deletes every point of the hole that lies outside the outer ring; returns
// the number deleted.
size_t RemovePointsOutside(CReallocArray<TPointD>& hole, const CReallocArray<TPointD>& outer);

}  // namespace PolskiFormat
