#include "core/geo.h"

#include <cmath>
#include <cstddef>
#include <utility>

int32_t g_SinTable[360];
int32_t g_CosTable[360];
int32_t g_TanTable[90];

namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;
constexpr double kEarthRadius = 6371302.0;

// Tables ready before main: the first user may be any static initialiser
// that runs later, or main itself.
struct TTrigTablesInit {
  TTrigTablesInit() { InitTrigTables(); }
};
__attribute__((init_priority(101))) TTrigTablesInit g_TrigTablesInit;

uint32_t UnsignedAbs(int32_t v) { return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v); }

// Rounded quotient by 1024 for a value of either sign: (v + 512) >> 10 on
// the magnitude, the shift done unsigned.
int32_t RoundShift10(int32_t v) {
  if (v > 0) return static_cast<int32_t>((static_cast<uint32_t>(v) + 512u) >> 10);
  return -static_cast<int32_t>((512u - static_cast<uint32_t>(v)) >> 10);
}

// Degrees x 2^23, half away from zero, saturated to the int32 range.
int32_t DegreesToUnits(double degrees) {
  double v = degrees * 8388608.0;  // 2^23: exact, as ldexp, without the call
  v = v > 0 ? v + 0.5 : v - 0.5;
  if (!(v == v)) return 0;  // NaN
  if (v >= 2147483648.0) return INT32_MAX;
  if (v <= -2147483649.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

double WrapDegrees(double d) {
  if (d >= 180) return d - 360;
  if (d <= -180) return d + 360;
  return d;
}

}  // namespace

void InitTrigTables() {
  // Truncation toward zero, so sin 30 is 511: the double result lies just
  // below 0.5. The scaling by 1024 is exact.
  for (int i = 0; i < 360; i++) {
    double a = i * kRadiansPerDegree;
    g_SinTable[i] = static_cast<int32_t>(std::sin(a) * 1024.0);
    g_CosTable[i] = static_cast<int32_t>(std::cos(a) * 1024.0);
    if (i < 90) g_TanTable[i] = static_cast<int32_t>(std::tan(a) * 1024.0);
  }
}

TGeoPoint DegreesToGeoPoint(double longitude, double latitude) {
  int32_t x = DegreesToUnits(longitude);
  if (x == static_cast<int32_t>(kGeo180)) x = kGeoEast;
  return {x, DegreesToUnits(latitude)};
}

bool IsRepresentableDegrees(double longitude, double latitude) {
  return std::fabs(longitude) < 256.0 && std::fabs(latitude) < 256.0;
}

TGeoOffset TGeoPoint::GetOffset(TGeoPoint q) const {
  int32_t m = (y / 2 + q.y / 2) >> 23;  // mean latitude in whole degrees, -256..255
  if (m < 0) m += 360;
  int32_t c = g_CosTable[m];

  uint32_t d = static_cast<uint32_t>(q.x) - static_cast<uint32_t>(x);
  if (x < q.x) {
    if (d >= kGeo180) d -= kGeo360;
  } else if (static_cast<uint32_t>(x) - static_cast<uint32_t>(q.x) >= kGeo180) {
    d += kGeo360;
  }
  int32_t ds = static_cast<int32_t>(d);

  int32_t dx;
  if (UnsignedAbs(ds) < 0x200000u) {
    // |d| < 2^21 and |c| <= 2^10: the product fits.
    dx = RoundShift10(ds * c);
  } else {
    dx = static_cast<int32_t>(static_cast<uint32_t>(c) * static_cast<uint32_t>(RoundShift10(ds)));
  }
  int32_t dy = static_cast<int32_t>(static_cast<uint32_t>(q.y) - static_cast<uint32_t>(y));
  return {dx, dy};
}

uint32_t IntegerSqrt(uint64_t s) {
  // Digit by digit, two bits of s per digit of the root.
  uint64_t rem = s;
  uint64_t root = 0;
  uint64_t bit = 1ull << 62;
  while (bit > s) bit >>= 2;
  while (bit) {
    if (rem >= root + bit) {
      rem -= root + bit;
      root = (root >> 1) + bit;
    } else {
      root >>= 1;
    }
    bit >>= 2;
  }
  return static_cast<uint32_t>(root);
}

uint32_t GeoDistance(TGeoPoint a, TGeoPoint b) {
  TGeoOffset o = a.GetOffset(b);
  uint64_t ax = UnsignedAbs(o.dx);
  uint64_t ay = UnsignedAbs(o.dy);
  uint64_t s = ax * ax + ay * ay;  // at most 2^63
  if (s == 0) return 0;
  uint64_t r = IntegerSqrt(s);
  // One unit is 6371302 * pi / 180 / 2^23 m; the factor is that x 2^38.
  return static_cast<uint32_t>((r * 3643808073ull + (1ull << 37)) >> 38);
}

double ChordDistance(TPointD a, TPointD b) {
  double la = a.x * kRadiansPerDegree, pa = a.y * kRadiansPerDegree;
  double lb = b.x * kRadiansPerDegree, pb = b.y * kRadiansPerDegree;
  double X = std::cos(la) * std::cos(pa) - std::cos(lb) * std::cos(pb);
  double Y = std::sin(la) * std::cos(pa) - std::sin(lb) * std::cos(pb);
  double Z = std::sin(pa) - std::sin(pb);
  return std::sqrt(X * X + Y * Y + Z * Z) * kEarthRadius;
}

int AngleFromTan(int32_t t) {
  // Works on the magnitude, so INT32_MIN needs no negation of its own.
  uint32_t u = UnsignedAbs(t);
  int lo = 0, hi = 89;  // the largest i with g_TanTable[i] <= u; entry 0 is 0
  while (lo < hi) {
    int mid = (lo + hi + 1) / 2;
    if (static_cast<uint32_t>(g_TanTable[mid]) <= u) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  if (t >= 0 || lo == 0) return lo;
  return 360 - lo;
}

int VectorAngle(int32_t dy, int32_t dx) {
  if (UnsignedAbs(dy) < 0x200000u) {
    dy *= 1024;
  } else {
    dx >>= 10;
  }
  if (dx == 0) return dy > 0 ? 90 : (dy < 0 ? 270 : 0);
  // INT32_MIN / -1 does not fit: the quotient saturates, which keeps its angle.
  int64_t q = static_cast<int64_t>(dy) / dx;
  int32_t t = q > INT32_MAX ? INT32_MAX : static_cast<int32_t>(q);
  int a = AngleFromTan(t);
  if (dx > 0) return a;
  return a < 90 ? a + 180 : a - 180;
}

int LongitudeSide(int32_t x, int32_t west, int32_t east) {
  if (EastDistance(west, x) <= EastDistance(west, east)) return 0;
  return EastDistance(x, west) < EastDistance(east, x) ? -1 : 1;
}

CGeoRect CGeoRect::AroundPoint(TGeoPoint p) {
  // 1875 units is about 25 m of latitude; the longitude half-width grows by
  // 1 / cos of the latitude in whole degrees.
  constexpr uint32_t kHalf = 1875;
  constexpr uint32_t kNorth89 = 0x2C800000u;
  CGeoRect r;
  uint32_t k = (UnsignedAbs(p.y) + 0x400000u) >> 23;
  if (k >= 90) {
    r.x1 = kGeoWest;  // the cosine is 0 or worse: any longitude is near
    r.x2 = kGeoEast;
  } else {
    uint32_t h = 1920000u / static_cast<uint32_t>(g_CosTable[k]);
    uint32_t x = static_cast<uint32_t>(p.x);
    uint32_t west = x + kGeo180 < h ? x + kGeo360 : x;
    uint32_t east = kGeo180 - x <= h ? x - kGeo360 : x;
    r.x1 = static_cast<int32_t>(west - h);
    r.x2 = static_cast<int32_t>(east + h);
  }
  uint32_t y = static_cast<uint32_t>(p.y);
  r.y1 = y + kNorth89 <= kHalf ? -static_cast<int32_t>(kNorth89) : static_cast<int32_t>(y - kHalf);
  r.y2 = kNorth89 - y <= kHalf ? static_cast<int32_t>(kNorth89) : static_cast<int32_t>(y + kHalf);
  return r;
}

void CGeoRect::Extend(const CGeoRect& other) {
  if (IsEmpty()) {
    *this = other;
    return;
  }
  if (other.IsEmpty()) return;
  const int32_t a = x1, c = x2, b = other.x1, f = other.x2;
  uint32_t w = EastDistance(a, c);
  uint32_t ab = EastDistance(a, b), af = EastDistance(a, f);
  if (ab <= w) {
    if (af <= w) {
      // Both ends inside: either nested, or the other runs out east and
      // comes round into this span again.
      if (ab > af) {
        x1 = kGeoWest;
        x2 = kGeoEast;
      }
    } else {
      x2 = f;
    }
  } else if (af <= w) {
    x1 = b;
  } else if (EastDistance(b, a) <= EastDistance(b, f)) {
    x1 = b;  // this span lies inside the other
    x2 = f;
  } else if (af < EastDistance(b, c)) {
    x2 = f;  // disjoint: the shorter cover, a tie going west
  } else {
    x1 = b;
  }
  if (other.y1 < y1) y1 = other.y1;
  if (other.y2 > y2) y2 = other.y2;
}

void CGeoRect::ExtendByPoint(TGeoPoint p) {
  if (IsEmpty()) {
    *this = OfPoint(p);
    return;
  }
  int side = LongitudeSide(p.x, x1, x2);
  if (side < 0) x1 = p.x;
  if (side > 0) x2 = p.x;
  if (p.y < y1) y1 = p.y;
  if (p.y > y2) y2 = p.y;
}

CGeoRect CGeoRect::Intersect(const CGeoRect& other) const {
  CGeoRect r;
  if (!Intersects(other)) return r;
  r.y2 = y2 < other.y2 ? y2 : other.y2;
  r.y1 = y1 > other.y1 ? y1 : other.y1;
  r.x1 = SpanContains(other.x1) ? other.x1 : x1;
  r.x2 = SpanContains(other.x2) ? other.x2 : x2;
  return r;
}

bool CGeoRect::Intersects(const CGeoRect& other) const {
  if (IsEmpty() || other.IsEmpty() || y1 > other.y2 || y2 < other.y1) return false;
  if (SpanContains(other.x1) || SpanContains(other.x2)) return true;
  return other.SpanContains(x1);
}

namespace {

// One edge of the point-in-ring test: edge i runs from point i - 1 to point
// i, edge 0 from the last point to the first. Returns 1 when the point lies
// on the edge, -1 when the edge toggles the inside flag, 0 otherwise.
int RingEdgeStep(const TPointD* ring, size_t n, size_t i, TPointD p) {
  const TPointD* prev = &ring[i == 0 ? n - 1 : i - 1];
  const TPointD* cur = &ring[i];
  const TPointD* lo = prev;
  const TPointD* hi = cur;
  if (cur->y < prev->y) std::swap(lo, hi);
  if (p.y < lo->y || p.y > hi->y) return 0;
  double ex = WrapDegrees(hi->x - lo->x);
  double px = WrapDegrees(p.x - lo->x);
  double cross = (p.y - lo->y) * ex - (hi->y - lo->y) * px;
  if (cross == 0) {
    double d1 = px;
    double d2 = WrapDegrees(p.x - hi->x);
    if ((d1 >= 0 && d2 <= 0) || (d1 <= 0 && d2 >= 0)) return 1;  // on the edge
    // A horizontal edge at the point's latitude beside the point crosses
    // nothing: the edges next to it decide.
    return 0;
  }
  return cross > 0 && p.y != lo->y ? -1 : 0;
}

}  // namespace

bool PointInPolygon(const TPointD* ring, size_t n, TPointD p) {
  bool inside = false;
  // Ring order starting with the closing edge.
  for (size_t i = 0; i < n; i++) {
    int step = RingEdgeStep(ring, n, i, p);
    if (step > 0) return true;
    if (step < 0) inside = !inside;
  }
  return inside;
}

bool PointInPolygonEdges(const TPointD* ring, size_t n, const uint32_t* edges, size_t count, TPointD p) {
  bool inside = false;
  for (size_t k = 0; k < count; k++) {
    int step = RingEdgeStep(ring, n, edges[k], p);
    if (step > 0) return true;
    if (step < 0) inside = !inside;
  }
  return inside;
}
