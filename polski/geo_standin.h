// TEMPORARY stand-in for core/geo.h (TPointD and PointInPolygon only), until
// the geographic maths land on main. Delete this file then and include
// core/geo.h instead; nothing else here may grow.
#pragma once

#include <cstddef>

struct TPointD {
  double x;  // longitude, degrees
  double y;  // latitude, degrees
};

// Point-in-ring test in degrees; the boundary counts as inside.
inline bool PointInPolygon(const TPointD* ring, size_t n, TPointD p) {
  if (n == 0) return false;
  auto wrap = [](double d) { return d >= 180 ? d - 360 : (d <= -180 ? d + 360 : d); };
  bool inside = false;
  for (size_t k = 0; k < n; k++) {
    const TPointD& a = ring[k == 0 ? n - 1 : k - 1];
    const TPointD& b = ring[k == 0 ? 0 : k];
    const TPointD& lo = b.y < a.y ? b : a;
    const TPointD& hi = b.y < a.y ? a : b;
    if (p.y < lo.y || p.y > hi.y) continue;
    double ex = wrap(hi.x - lo.x), px = wrap(p.x - lo.x);
    double cross = (p.y - lo.y) * ex - (hi.y - lo.y) * px;
    if (cross == 0) {
      double d1 = wrap(p.x - lo.x), d2 = wrap(p.x - hi.x);
      return (d1 >= 0 && d2 <= 0) || (d1 <= 0 && d2 >= 0);
    }
    if (cross > 0 && p.y != lo.y) inside = !inside;
  }
  return inside;
}
