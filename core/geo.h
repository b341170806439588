// Fixed-point geographic maths. Map files store coordinates as signed 32-bit
// integers in units of 2^-23 degree; longitudes wrap at +/-180 degrees, so
// every longitude formula works modulo 2^32 (in unsigned arithmetic, where
// wrapping is defined) with 360 degrees = 0xB4000000.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

// Imported geometry in degrees: x longitude, y latitude.
struct TPointD {
  double x;
  double y;
};

constexpr int32_t kGeoUnitsPerDegree = 1 << 23;
constexpr uint32_t kGeo180 = 0x5A000000u;          // 180 degrees
constexpr uint32_t kGeo360 = 0xB4000000u;          // 360 degrees (modulo 2^32)
constexpr int32_t kGeoWest = INT32_MIN + 0x26000000;  // -180 degrees = 0xA6000000
constexpr int32_t kGeoEast = 0x59FFFFFF;           // +180 degrees as stored

// Signed offset in ground units (see TGeoPoint::GetOffset).
struct TGeoOffset {
  int32_t dx;
  int32_t dy;
};

// A map point in 2^-23 degree units; x in [-180, +180) degrees.
struct TGeoPoint {
  int32_t x;
  int32_t y;

  // Offset from this point to the other: dy in map units, dx scaled by the
  // cosine of the mean latitude so both parts measure about the same ground
  // distance; dx takes the short way round the +/-180 meridian.
  TGeoOffset GetOffset(TGeoPoint other) const;

  bool operator==(const TGeoPoint&) const = default;
};

// Eastward distance from longitude a to longitude b, in [0, 360 degrees)
// for longitudes inside [-180, +180).
inline uint32_t EastDistance(int32_t a, int32_t b) {
  uint32_t d = static_cast<uint32_t>(b) - static_cast<uint32_t>(a);
  if (a > b) d += kGeo360;
  return d;
}

// Rectangle of map points: x1 west edge, x2 east edge, y1 south, y2 north.
// x1 > x2 is a longitude span across the +/-180 meridian. x1 = INT32_MAX
// marks the empty rectangle (the other fields then mean nothing). The field
// order is the order of the saved form.
struct CGeoRect {
  int32_t x1 = INT32_MAX;
  int32_t x2 = 0;
  int32_t y1 = 0;
  int32_t y2 = 0;

  bool IsEmpty() const { return x1 == INT32_MAX; }
  // True when longitude x lies in the span x1..x2 (going east).
  bool SpanContains(int32_t x) const { return EastDistance(x1, x) <= EastDistance(x1, x2); }

  static CGeoRect FullWidth(int32_t south, int32_t north) { return {kGeoWest, kGeoEast, south, north}; }
  static CGeoRect OfPoint(TGeoPoint p) { return {p.x, p.x, p.y, p.y}; }

  // A square of about 25 m on each side of the point. Near the poles (the
  // latitude rounds to 90 degrees or more) the span is the full width.
  static CGeoRect AroundPoint(TGeoPoint p);
  // Union in place; of the two ways to cover both spans the shorter is taken.
  void Extend(const CGeoRect& other);
  // Widens the rectangle to hold the point (the first point of an empty
  // rectangle sets all four edges); the span grows on the nearer side.
  void ExtendByPoint(TGeoPoint p);
  CGeoRect Intersect(const CGeoRect& other) const;
  // Touching edges intersect; an empty rectangle intersects nothing.
  bool Intersects(const CGeoRect& other) const;

  bool operator==(const CGeoRect&) const = default;
};

// Integer sine, cosine (360 entries) and tangent (0..89 degrees) x 1024,
// truncated toward zero. Filled before main and read-only afterwards.
extern int32_t g_SinTable[360];
extern int32_t g_CosTable[360];
extern int32_t g_TanTable[90];
void InitTrigTables();

// Degrees to map units, rounded half away from zero; +180 becomes the last
// unit before it. Values beyond the 32-bit range saturate, NaN gives 0.
TGeoPoint DegreesToGeoPoint(double longitude, double latitude);
// True when both values lie inside the convertible range, |degrees| < 256.
bool IsRepresentableDegrees(double longitude, double latitude);

// floor(sqrt(s)), exact.
uint32_t IntegerSqrt(uint64_t s);
// Ground distance in whole metres on a sphere of radius 6371302 m.
uint32_t GeoDistance(TGeoPoint a, TGeoPoint b);
// Straight chord through the sphere between two points in degrees, metres.
double ChordDistance(TPointD a, TPointD b);

// Whole degrees of the angle whose tangent x 1024 is t: 0..89, or 271..359
// (or 0) for a negative t.
int AngleFromTan(int32_t t);
// Direction of the vector (dx, dy), 0..359 degrees counter-clockwise from
// east; (0, 0) gives 0. Takes an offset from TGeoPoint::GetOffset.
int VectorAngle(int32_t dy, int32_t dx);
// 0 when x lies in the span west..east; otherwise -1 when widening the span
// westward to x is shorter than eastward, else +1.
int LongitudeSide(int32_t x, int32_t west, int32_t east);

// Point in ring (closed implicitly) in degrees, wrap-aware in longitude.
// Points on the boundary are inside; an empty ring holds nothing.
bool PointInPolygon(const TPointD* ring, size_t n, TPointD point);
// The same test over some of the ring's edges, given by index in ascending
// ring order (edge 0 runs from the last point to the first, edge i from
// point i - 1 to point i). Equals PointInPolygon when the list holds every
// edge whose latitude range holds the point's: an index of a large ring's
// edges by latitude band then tests many points quickly.
bool PointInPolygonEdges(const TPointD* ring, size_t n, const uint32_t* edges, size_t count, TPointD point);
