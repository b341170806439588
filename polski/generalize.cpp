#include "polski/generalize.h"

#include <cmath>
#include <cstring>

namespace PolskiFormat {

namespace {

// Map scale of each index; the tolerance is the scale in 1/96 inch pixels.
const uint32_t kScaleTable[kScaleIndexCount] = {
    1200000, 1200000, 1200000, 1200000, 1200000, 1200000, 1200000, 1200000, 1200000,
    1200000, 1200000, 800000,  300000,  200000,  80000,   50000,   20000,   12000,
    5000,    3000,    2000,    800,     500,     300,     120,     80,      30};

const double kEarthRadius = 6371302.0;

void ToSphere(const TPointD& p, double v[3]) {
  double lon = p.x * M_PI / 180.0;
  double lat = p.y * M_PI / 180.0;
  v[0] = kEarthRadius * (std::cos(lat) * std::cos(lon));
  v[1] = kEarthRadius * (std::cos(lat) * std::sin(lon));
  v[2] = kEarthRadius * std::sin(lat);
}

struct TRange {
  size_t first;
  size_t last;
};

}  // namespace

uint32_t ScaleForIndex(int index) {
  if (index < 0) index = 0;
  if (index >= kScaleIndexCount) index = kScaleIndexCount - 1;
  return kScaleTable[index];
}

int ToleranceForIndex(int index) { return static_cast<int>(ScaleForIndex(index) / 37.79527559055118); }

double SegmentDistanceOnSphere(const TPointD& a, const TPointD& b, const TPointD& p) {
  double dx = b.x - a.x, dy = b.y - a.y;
  double d = (p.x - a.x) * dx + (p.y - a.y) * dy;
  double length2 = dx * dx + dy * dy;
  TPointD nearest = a;
  if (d >= length2) {
    nearest = b;
  } else if (d > 0) {
    double t = d / length2;
    nearest = {a.x + t * dx, a.y + t * dy};
  }
  double u[3], v[3];
  ToSphere(nearest, u);
  ToSphere(p, v);
  double c = std::sqrt((u[0] - v[0]) * (u[0] - v[0]) + (u[1] - v[1]) * (u[1] - v[1]) + (u[2] - v[2]) * (u[2] - v[2]));
  double s = c / (2 * kEarthRadius);
  if (s > 1) s = 1;  // rounding must not take asin out of its domain
  return 2 * kEarthRadius * std::asin(s);
}

// The split point is searched among the interior points only (an end point
// lies on the chord and would split nothing), and ranges wait on an explicit
// stack, so a long line can neither loop nor exhaust the call stack. Points
// are marked and compacted once at the end; the order in which ranges are
// taken does not change which points are kept.
size_t SimplifyDouglasPeucker(CReallocArray<TPointD>& points, double tolerance) {
  size_t n = points.Size();
  if (n < 3 || !(tolerance > 0)) return 0;  // at 0 every interior point splits
  CReallocArray<uint8_t> keep;
  keep.ResizeZeroed(n);
  keep[0] = keep[n - 1] = 1;
  CReallocArray<TRange> stack;
  stack.PushBack({0, n - 1});
  const TPointD* p = points.data;
  while (!stack.Empty()) {
    TRange range = stack.Back();
    stack.PopBack();
    double largest = -1;
    size_t split = 0;
    for (size_t i = range.first + 1; i < range.last; i++) {
      double d = SegmentDistanceOnSphere(p[range.first], p[range.last], p[i]);
      if (d > largest) {  // the earlier point wins a tie
        largest = d;
        split = i;
      }
    }
    if (!(largest >= tolerance)) continue;
    keep[split] = 1;
    if (range.last - split >= 2) stack.PushBack({split, range.last});
    if (split - range.first >= 2) stack.PushBack({range.first, split});
  }
  size_t out = 0;
  for (size_t i = 0; i < n; i++) {
    if (keep[i]) points[out++] = points[i];
  }
  points.Resize(out);
  return n - out;
}

size_t RemovePointsOutside(CReallocArray<TPointD>& hole, const CReallocArray<TPointD>& outer) {
  size_t n = hole.Size();
  size_t out = 0;
  for (size_t i = 0; i < n; i++) {
    if (PointInPolygon(outer.data, outer.Size(), hole[i])) hole[out++] = hole[i];
  }
  hole.Resize(out);
  return n - out;
}

}  // namespace PolskiFormat
