#include "polski/generalize.h"

#include <algorithm>
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

// One edge of a ring: lo is its southern end (the earlier end when both lie
// on one latitude), as the point-in-ring test orders them.
struct TEdge {
  TPointD lo;
  TPointD hi;
};

double WrapDegrees(double d) {
  if (d >= 180) return d - 360;
  if (d <= -180) return d + 360;
  return d;
}

bool HasNaNLatitude(const CReallocArray<TPointD>& points) {
  for (const TPointD& p : points) {
    if (std::isnan(p.y)) return true;
  }
  return false;
}

// What the edge contributes to the point-in-ring test of p (whose latitude
// lies in the edge's range): 2 = p lies on it, 1 = a crossing, 0 = nothing.
int EdgeVerdict(const TEdge& e, const TPointD& p) {
  double ex = WrapDegrees(e.hi.x - e.lo.x);
  double px = WrapDegrees(p.x - e.lo.x);
  double cross = (p.y - e.lo.y) * ex - (e.hi.y - e.lo.y) * px;
  if (cross == 0) {
    double d2 = WrapDegrees(p.x - e.hi.x);
    return (px >= 0 && d2 <= 0) || (px <= 0 && d2 >= 0) ? 2 : 0;
  }
  return cross > 0 && p.y != e.lo.y ? 1 : 0;
}

void SweepPointsInRing(const CReallocArray<TPointD>& points, const CReallocArray<TPointD>& ring,
                       CReallocArray<uint8_t>& inside) {
  size_t m = ring.Size();
  CReallocArray<TEdge> edges;
  edges.Resize(m);
  for (size_t i = 0; i < m; i++) {
    const TPointD& prev = ring[i == 0 ? m - 1 : i - 1];
    const TPointD& cur = ring[i];
    edges[i] = cur.y < prev.y ? TEdge{cur, prev} : TEdge{prev, cur};
  }
  std::sort(edges.begin(), edges.end(), [](const TEdge& a, const TEdge& b) { return a.lo.y < b.lo.y; });
  CReallocArray<size_t> order;
  order.Resize(points.Size());
  for (size_t i = 0; i < points.Size(); i++) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return points[a].y < points[b].y; });

  CReallocArray<const TEdge*> active;
  size_t next = 0;
  for (size_t index : order) {
    const TPointD& p = points[index];
    while (next < m && edges[next].lo.y <= p.y) active.PushBack(&edges[next++]);
    bool in = false, onEdge = false;
    for (size_t k = 0; k < active.Size();) {
      if (active[k]->hi.y < p.y) {  // passed for good: later points lie further north
        active[k] = active.Back();
        active.PopBack();
        continue;
      }
      int verdict = EdgeVerdict(*active[k], p);
      if (verdict == 2) onEdge = true;
      if (verdict == 1) in = !in;
      k++;
    }
    inside[index] = onEdge || in;
  }
}

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

// Testing each hole point against every edge of a large outer ring costs
// their product. Sweeping the hole points in latitude order against the
// edges whose latitude range holds them gives the same answers: an edge
// outside that range never counts, and the answer does not depend on the
// order in which the edges are looked at (a point on an edge is inside,
// otherwise the parity of the crossings decides).
size_t RemovePointsOutside(CReallocArray<TPointD>& hole, const CReallocArray<TPointD>& outer) {
  size_t n = hole.Size(), m = outer.Size();
  CReallocArray<uint8_t> inside;
  inside.ResizeZeroed(n);
  if (m < 32 || n < 8 || HasNaNLatitude(hole) || HasNaNLatitude(outer)) {
    for (size_t i = 0; i < n; i++) inside[i] = PointInPolygon(outer.data, m, hole[i]);
  } else {
    SweepPointsInRing(hole, outer, inside);
  }
  size_t out = 0;
  for (size_t i = 0; i < n; i++) {
    if (inside[i]) hole[out++] = hole[i];
  }
  hole.Resize(out);
  return n - out;
}

}  // namespace PolskiFormat
