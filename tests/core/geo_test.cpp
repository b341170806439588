#include "core/geo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr int32_t kDeg = 1 << 23;
constexpr double kPi = 3.14159265358979323846;

int32_t Deg(double d) { return static_cast<int32_t>(std::llround(d * kDeg)); }
double WrapLon(double d) {
  while (d >= 180) d -= 360;
  while (d < -180) d += 360;
  return d;
}
// Longitude in degrees to units, wrapped into [-180, 180).
int32_t Lon(double d) { return Deg(WrapLon(d)); }

// ---- Tables -----------------------------------------------------------------

struct TTableCase {
  const char* table;
  int index;
  int32_t value;
};

const int32_t* Table(const char* name) {
  if (name[0] == 's') return g_SinTable;
  if (name[0] == 'c') return g_CosTable;
  return g_TanTable;
}

TEST(TrigTables, ValuesBesideAnIntegerAreTruncatedFromTheDoubleResult) {
  // Every entry within 1e-9 of an integer: the double result lands a hair
  // above or below, and truncation keeps that side. Both builds must agree.
  const TTableCase cases[] = {
      {"sin", 0, 0},       {"sin", 30, 511},     {"sin", 90, 1024},   {"sin", 150, 511},
      {"sin", 180, 0},     {"sin", 210, -512},   {"sin", 270, -1024}, {"sin", 330, -512},
      {"cos", 0, 1024},    {"cos", 60, 512},     {"cos", 90, 0},      {"cos", 120, -511},
      {"cos", 180, -1024}, {"cos", 240, -512},   {"cos", 270, 0},     {"cos", 300, 512},
      {"tan", 0, 0},       {"tan", 45, 1023},    {"cos", 89, 17},     {"tan", 89, 58664},
  };
  for (const TTableCase& c : cases) EXPECT_EQ(Table(c.table)[c.index], c.value) << c.table << " " << c.index;
}

TEST(TrigTables, OtherEntriesMatchAWiderReference) {
  for (int i = 0; i < 360; i++) {
    long double a = static_cast<long double>(i * 0.017453292519943295);
    long double ref[3] = {sinl(a) * 1024, cosl(a) * 1024, i < 90 ? tanl(a) * 1024 : 0};
    const int32_t* tables[3] = {g_SinTable, g_CosTable, g_TanTable};
    for (int t = 0; t < 3; t++) {
      if (t == 2 && i >= 90) continue;
      if (fabsl(ref[t] - roundl(ref[t])) < 1e-6L) continue;  // pinned above
      EXPECT_EQ(tables[t][i], static_cast<int32_t>(ref[t])) << t << " " << i;
    }
  }
}

TEST(TrigTables, WholeTablesAreTheSameInEveryBuild) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](int32_t v) { h = (h ^ static_cast<uint32_t>(v)) * 1099511628211ull; };
  for (int i = 0; i < 360; i++) {
    mix(g_SinTable[i]);
    mix(g_CosTable[i]);
    if (i < 90) mix(g_TanTable[i]);
  }
  EXPECT_EQ(h, 0xa16c938cf1cbc1b3ull);
}

// ---- Conversion -------------------------------------------------------------

TEST(DegreesToGeoPoint, RoundsHalfAwayFromZeroAndKeepsLongitudesBelow180) {
  const double half = 0.5 / kDeg;
  struct {
    double lon, lat;
    int32_t x, y;
  } cases[] = {
      {180, 0, 0x59FFFFFF, 0},
      {-180, 0, static_cast<int32_t>(0xA6000000u), 0},
      {-0.00000001, 0.00000001, 0, 0},
      {1, -1, kDeg, -kDeg},
      {half, -half, 1, -1},
      {3 * half, -3 * half, 2, -2},
      {0.4 / kDeg, -0.4 / kDeg, 0, 0},
      {0, 95, 0, 95 * kDeg},  // latitudes are not clamped
      {255.9, -255.9, Deg(255.9), Deg(-255.9)},
  };
  for (const auto& c : cases) {
    TGeoPoint p = DegreesToGeoPoint(c.lon, c.lat);
    EXPECT_EQ(p.x, c.x) << c.lon;
    EXPECT_EQ(p.y, c.y) << c.lat;
  }
}

TEST(DegreesToGeoPoint, OutOfRangeSaturatesInsteadOfOverflowing) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(DegreesToGeoPoint(300, -300), (TGeoPoint{INT32_MAX, INT32_MIN}));
  EXPECT_EQ(DegreesToGeoPoint(-inf, inf), (TGeoPoint{INT32_MIN, INT32_MAX}));
  EXPECT_EQ(DegreesToGeoPoint(nan, nan), (TGeoPoint{0, 0}));
  EXPECT_EQ(DegreesToGeoPoint(1e300, -1e300), (TGeoPoint{INT32_MAX, INT32_MIN}));
  EXPECT_TRUE(IsRepresentableDegrees(-180, 90));
  EXPECT_TRUE(IsRepresentableDegrees(255.99, -255.99));
  EXPECT_FALSE(IsRepresentableDegrees(256, 0));
  EXPECT_FALSE(IsRepresentableDegrees(0, nan));
}

// ---- Offsets and distances --------------------------------------------------

TEST(GetOffset, CrossesTheMeridianTheShortWay) {
  TGeoPoint a = DegreesToGeoPoint(179.9, 10);
  TGeoPoint b = DegreesToGeoPoint(-179.9, 10);
  TGeoOffset ab = a.GetOffset(b);
  TGeoOffset ba = b.GetOffset(a);
  EXPECT_GT(ab.dx, 0);
  EXPECT_LT(ba.dx, 0);
  // 0.2 degrees x cos 10 (1008 / 1024), through the large-offset branch.
  EXPECT_NEAR(ab.dx, 0.2 * kDeg * 1008 / 1024, 1024);
  EXPECT_EQ(ab.dy, 0);
}

TEST(GetOffset, SmallAndLargeBranchesAgree) {
  // Just below and just above the branch point the results differ only by
  // the rounding of the second branch.
  TGeoPoint p{0, Deg(45)};
  int32_t c = g_CosTable[45];
  for (int32_t d : {0x1FFFFF, 0x200000, -0x1FFFFF, -0x200000}) {
    TGeoOffset o = p.GetOffset({d, Deg(45)});
    EXPECT_NEAR(o.dx, static_cast<double>(d) * c / 1024, c) << d;
  }
  // Extreme inputs stay defined (the sanitizer build checks the arithmetic).
  TGeoPoint lo{INT32_MIN, INT32_MIN}, hi{INT32_MAX, INT32_MAX};
  (void)lo.GetOffset(hi);
  (void)hi.GetOffset(lo);
  EXPECT_EQ(GeoDistance(lo, lo), 0u);
  (void)GeoDistance(lo, hi);
}

TEST(GeoDistance, FixedCases) {
  TGeoPoint p = DegreesToGeoPoint(37.6, 55.7);
  EXPECT_EQ(GeoDistance(p, p), 0u);
  EXPECT_EQ(GeoDistance({0, 0}, {0, kDeg}), 111200u);
  EXPECT_EQ(GeoDistance({Deg(20), Deg(-40)}, {Deg(20), Deg(-41)}), 111200u);
  EXPECT_EQ(GeoDistance({0, 0}, {kDeg, 0}), 111200u);  // cos 0 = 1024
}

double Haversine(TPointD a, TPointD b) {
  const double r = kPi / 180;
  double dphi = (b.y - a.y) * r, dlam = (b.x - a.x) * r;
  double h = std::sin(dphi / 2) * std::sin(dphi / 2) +
             std::cos(a.y * r) * std::cos(b.y * r) * std::sin(dlam / 2) * std::sin(dlam / 2);
  return 2 * 6371302.0 * std::asin(std::sqrt(h));
}

// The offset scales longitudes by the cosine of the mean latitude floored to
// whole degrees, which at latitude L costs up to tan(L) x 1 degree of
// relative error; the pairs keep that below the tolerance: anywhere near the
// equator, and at higher latitudes with a mean just above a whole degree.
TEST(GeoDistance, AgreesWithHaversineOnRandomPairs) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int i = 0; i < 20000; i++) {
    double lat, lon = unit(rng) * 360 - 180;
    if (i % 2) {
      lat = unit(rng) * 20 - 10;
    } else {
      lat = std::floor(unit(rng) * 140 - 70) + 0.005 + unit(rng) * 0.04;
    }
    double dlat = (unit(rng) - 0.5) * (i % 3 ? 0.01 : 0.6);
    double dlon = (unit(rng) - 0.5) * (i % 3 ? 0.01 : 0.6);
    TPointD a{lon - dlon / 2, lat - dlat / 2}, b{lon + dlon / 2, lat + dlat / 2};
    a.x = WrapLon(a.x);
    b.x = WrapLon(b.x);
    TGeoPoint ga = DegreesToGeoPoint(a.x, a.y), gb = DegreesToGeoPoint(b.x, b.y);
    double want = Haversine(a, b);
    double got = GeoDistance(ga, gb);
    ASSERT_NEAR(got, want, want * 0.005 + 1) << a.x << "," << a.y << " " << b.x << "," << b.y;
    ASSERT_EQ(GeoDistance(gb, ga), GeoDistance(ga, gb));
  }
}

TEST(IntegerSqrt, ExactAroundPerfectSquares) {
  auto check = [](uint64_t s) {
    uint64_t r = IntegerSqrt(s);
    ASSERT_LE(r * r, s) << s;
    if (r < 0xFFFFFFFFull) {
      ASSERT_GT((r + 1) * (r + 1), s) << s;
    }
  };
  for (uint64_t s = 0; s < 5000; s++) check(s);
  std::mt19937_64 rng(3);
  for (int i = 0; i < 20000; i++) {
    uint64_t k = rng() >> (i % 32 + 32);  // roots of every size up to 2^32 - 1
    uint64_t sq = k * k;
    for (uint64_t s : {sq - 1, sq, sq + 1, sq + 2 * k, sq + 2 * k + 1}) check(s);
  }
  EXPECT_EQ(IntegerSqrt(0xFFFFFFFFFFFFFFFFull), 0xFFFFFFFFu);
  EXPECT_EQ(IntegerSqrt(0xFFFFFFFE00000001ull), 0xFFFFFFFFu);
  EXPECT_EQ(IntegerSqrt(0xFFFFFFFE00000000ull), 0xFFFFFFFEu);
  EXPECT_EQ(IntegerSqrt(1ull << 63), 3037000499u);
}

TEST(ChordDistance, IsTheStraightLineThroughTheSphere) {
  EXPECT_EQ(ChordDistance({10, 20}, {10, 20}), 0);
  EXPECT_NEAR(ChordDistance({0, 0}, {180, 0}), 2 * 6371302.0, 1e-6);
  EXPECT_NEAR(ChordDistance({0, 90}, {0, -90}), 2 * 6371302.0, 1e-6);
  EXPECT_NEAR(ChordDistance({0, 0}, {90, 0}), std::sqrt(2.0) * 6371302.0, 1e-6);
  // Short chords match the arc.
  EXPECT_NEAR(ChordDistance({179.999, 50}, {-179.999, 50}), Haversine({179.999, 50}, {-179.999, 50}), 1e-3);
}

// ---- Angles ---------------------------------------------------------------

TEST(AngleFromTan, Table) {
  struct {
    int32_t t;
    int angle;
  } cases[] = {
      {0, 0},        {16, 0},         {17, 1},      {1023, 45},   {1024, 45},   {58663, 88},
      {58664, 89},   {INT32_MAX, 89}, {-10, 0},     {-18, 359},   {-1024, 315}, {-58664, 271},
      {INT32_MIN, 271},
  };
  for (const auto& c : cases) EXPECT_EQ(AngleFromTan(c.t), c.angle) << c.t;
}

TEST(VectorAngle, Table) {
  struct {
    int32_t dy, dx;
    int angle;
  } cases[] = {
      {1, 1, 45},         {1, -1, 135},           {-1, -1, 225},         {-1, 1, 315},
      {0, -5, 180},       {0, 0, 0},              {0, 7, 0},             {5, 0, 90},
      {-5, 0, 270},       {INT32_MIN, -1, 269},   {INT32_MIN, -1024, 269}, {INT32_MIN, -2048, 269},
      {INT32_MAX, -1024, 91}, {INT32_MIN, INT32_MIN, 225}, {INT32_MAX, INT32_MAX, 45}, {INT32_MIN, 0, 270},
  };
  for (const auto& c : cases) EXPECT_EQ(VectorAngle(c.dy, c.dx), c.angle) << c.dy << " " << c.dx;
}

TEST(VectorAngle, WithinADegreeOfAtan2) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int32_t> mag(1000, 1 << 24);
  for (int i = 0; i < 20000; i++) {
    int32_t dy = mag(rng) * (rng() % 2 ? 1 : -1);
    int32_t dx = mag(rng) * (rng() % 2 ? 1 : -1);
    double want = std::atan2(static_cast<double>(dy), static_cast<double>(dx)) * 180 / kPi;
    if (want < 0) want += 360;
    int got = VectorAngle(dy, dx);
    ASSERT_GE(got, 0);
    ASSERT_LT(got, 360);
    double diff = std::fabs(got - want);
    if (diff > 180) diff = 360 - diff;
    ASSERT_LE(diff, 1.5) << dy << " " << dx;
  }
}

// ---- Longitude spans --------------------------------------------------------

TEST(LongitudeSide, Table) {
  struct {
    double x, west, east;
    int side;
  } cases[] = {
      {5, 0, 10, 0},      {0, 0, 10, 0},        {10, 0, 10, 0},     {-5, 0, 10, -1},
      {20, 0, 10, 1},     {-175, 170, -170, 0}, {179, 170, -170, 0}, {160, 170, -170, -1},
      {-160, 170, -170, 1}, {-170, 0, 10, -1},  {100, 0, 10, 1},     {-175, 0, 10, 1},  // tie goes east
  };
  for (const auto& c : cases) EXPECT_EQ(LongitudeSide(Lon(c.x), Lon(c.west), Lon(c.east)), c.side) << c.x;
}

CGeoRect Rect(double west, double east, double south, double north) {
  return {Lon(west), Lon(east), Deg(south), Deg(north)};
}

TEST(AroundPoint, SquareOfAbout25Metres) {
  CGeoRect r = CGeoRect::AroundPoint({Deg(10), Deg(0.2)});
  EXPECT_EQ(r, (CGeoRect{Deg(10) - 1875, Deg(10) + 1875, Deg(0.2) - 1875, Deg(0.2) + 1875}));
  r = CGeoRect::AroundPoint({0, Deg(60)});
  EXPECT_EQ(r.x2, static_cast<int32_t>(1920000 / g_CosTable[60]));
  EXPECT_EQ(r.x1, -r.x2);
  // Across the meridian from either side.
  r = CGeoRect::AroundPoint({0x59FFFFFF, 0});
  EXPECT_EQ(r.x1, 0x59FFFFFF - 1875);
  EXPECT_EQ(r.x2, static_cast<int32_t>(0xA6000000u) + 1874);
  r = CGeoRect::AroundPoint({static_cast<int32_t>(0xA6000000u), 0});
  EXPECT_EQ(r.x1, 0x5A000000 - 1875);
  EXPECT_EQ(r.x2, static_cast<int32_t>(0xA6000000u) + 1875);
}

TEST(AroundPoint, LatitudesClampAt89AndPolesGetTheFullWidth) {
  CGeoRect r = CGeoRect::AroundPoint({0, Deg(89) - 100});
  EXPECT_EQ(r.y2, Deg(89));
  EXPECT_EQ(r.y1, Deg(89) - 100 - 1875);
  r = CGeoRect::AroundPoint({0, Deg(-89) + 1875});
  EXPECT_EQ(r.y1, Deg(-89));
  r = CGeoRect::AroundPoint({0, Deg(89.2)});  // beyond 89: y +/- 1875
  EXPECT_EQ(r.y2, Deg(89.2) + 1875);
  EXPECT_EQ(r.x2, static_cast<int32_t>(1920000 / g_CosTable[89]));
  for (double lat : {89.5, 89.9, 90.0, -89.5, -90.0, 200.0, -255.0}) {
    r = CGeoRect::AroundPoint({Deg(33), Deg(lat)});
    EXPECT_EQ(r.x1, static_cast<int32_t>(0xA6000000u)) << lat;
    EXPECT_EQ(r.x2, 0x59FFFFFF) << lat;
    EXPECT_FALSE(r.IsEmpty());
  }
  (void)CGeoRect::AroundPoint({INT32_MIN, INT32_MIN});
  (void)CGeoRect::AroundPoint({INT32_MAX, INT32_MAX});
}

TEST(CGeoRect, ExtendCases) {
  struct {
    CGeoRect a, b, want;
  } cases[] = {
      // Disjoint spans joined across the meridian, the short way.
      {Rect(170, 175, 0, 1), Rect(-175, -170, 2, 3), Rect(170, -170, 0, 3)},
      {Rect(-175, -170, 2, 3), Rect(170, 175, 0, 1), Rect(170, -170, 0, 3)},
      {Rect(0, 10, 0, 1), Rect(20, 30, 0, 1), Rect(0, 30, 0, 1)},
      {Rect(0, 10, 0, 1), Rect(-30, -20, 0, 1), Rect(-30, 10, 0, 1)},
      {Rect(0, 10, 0, 1), Rect(-175, -175, 0, 1), Rect(-175, 10, 0, 1)},  // tie: westward
      // Nested, overlapping, containing.
      {Rect(0, 10, 0, 1), Rect(2, 5, -1, 0), Rect(0, 10, -1, 1)},
      {Rect(0, 10, 0, 1), Rect(5, 20, 0, 1), Rect(0, 20, 0, 1)},
      {Rect(0, 10, 0, 1), Rect(-20, 5, 0, 1), Rect(-20, 10, 0, 1)},
      {Rect(0, 10, 0, 1), Rect(-20, 20, 0, 1), Rect(-20, 20, 0, 1)},
      // The other runs east out of this span, all round, and back into it.
      {Rect(0, 10, 0, 1), Rect(5, 2, 0, 1), CGeoRect::FullWidth(0, Deg(1))},
      // Empties.
      {CGeoRect(), Rect(1, 2, 3, 4), Rect(1, 2, 3, 4)},
      {Rect(1, 2, 3, 4), CGeoRect(), Rect(1, 2, 3, 4)},
  };
  for (const auto& c : cases) {
    CGeoRect r = c.a;
    r.Extend(c.b);
    EXPECT_EQ(r, c.want) << c.a.x1 << " " << c.b.x1;
  }
}

struct TRandomRect {
  std::mt19937 rng;
  explicit TRandomRect(unsigned seed) : rng(seed) {}
  int32_t Longitude() { return static_cast<int32_t>(kGeoWest + static_cast<int64_t>(rng() % kGeo360)); }
  CGeoRect Next() {
    // Spans of every length, often short, some across the meridian.
    int32_t x1 = Longitude();
    int64_t w = rng() % 4 == 0 ? rng() % kGeo360 : rng() % (kDeg * 4u);
    int32_t x2 = static_cast<int32_t>(kGeoWest + (int64_t{x1} - kGeoWest + w) % kGeo360);
    int32_t y1 = static_cast<int32_t>(rng() % (180u * kDeg)) - 90 * kDeg;
    int32_t y2 = y1 + static_cast<int32_t>(rng() % (kDeg * 4u));
    return {x1, x2, y1, y2};
  }
};

bool InLongitudeRange(int32_t x) { return x >= kGeoWest && x <= kGeoEast; }

TEST(CGeoRect, ExtendCoversBothOnRandomPairs) {
  TRandomRect gen(5);
  for (int i = 0; i < 100000; i++) {
    CGeoRect a = gen.Next(), b = gen.Next();
    ASSERT_TRUE(InLongitudeRange(a.x2) && InLongitudeRange(b.x2));
    CGeoRect r = a;
    r.Extend(b);
    for (const CGeoRect& s : {a, b}) {
      ASSERT_TRUE(r.SpanContains(s.x1) && r.SpanContains(s.x2)) << i;
      // The whole span, not only its ends (the full width holds everything).
      if (r.x1 != kGeoWest || r.x2 != kGeoEast) {
        ASSERT_LE(uint64_t{EastDistance(r.x1, s.x1)} + EastDistance(s.x1, s.x2), EastDistance(r.x1, r.x2)) << i;
      }
      ASSERT_TRUE(r.y1 <= s.y1 && s.y2 <= r.y2);
    }
  }
}

// Two spans on a circle meet exactly when an end of one lies in both.
bool ReferenceIntersects(const CGeoRect& a, const CGeoRect& b) {
  if (a.IsEmpty() || b.IsEmpty() || a.y1 > b.y2 || b.y1 > a.y2) return false;
  for (int32_t x : {a.x1, a.x2, b.x1, b.x2}) {
    if (a.SpanContains(x) && b.SpanContains(x)) return true;
  }
  return false;
}

TEST(CGeoRect, IntersectsCases) {
  EXPECT_TRUE(Rect(0, 10, 0, 10).Intersects(Rect(10, 20, 10, 20)));  // shared corner
  EXPECT_TRUE(Rect(0, 10, 0, 10).Intersects(Rect(-20, 0, -5, 0)));
  EXPECT_FALSE(Rect(0, 10, 0, 10).Intersects(CGeoRect()));
  EXPECT_FALSE(CGeoRect().Intersects(CGeoRect()));
  EXPECT_FALSE(CGeoRect().Intersects(CGeoRect::FullWidth(-kDeg, kDeg)));
  EXPECT_TRUE(Rect(170, -170, 0, 1).Intersects(Rect(-175, -172, 0, 1)));
  EXPECT_TRUE(Rect(-175, -172, 0, 1).Intersects(Rect(170, -170, 0, 1)));
  EXPECT_FALSE(Rect(170, -170, 0, 1).Intersects(Rect(-160, 160, 0, 1)));
  EXPECT_TRUE(Rect(170, -170, 0, 1).Intersects(Rect(-160, 171, 0, 1)));
  EXPECT_FALSE(Rect(0, 10, 0, 1).Intersects(Rect(0, 10, 2, 3)));
}

TEST(CGeoRect, IntersectsAndIntersectOnRandomPairs) {
  TRandomRect gen(9);
  for (int i = 0; i < 100000; i++) {
    CGeoRect a = gen.Next(), b = gen.Next();
    if (i % 5 == 0) b.x1 = a.x2;  // shared edges
    if (i % 7 == 0) b.y1 = a.y2;
    bool want = ReferenceIntersects(a, b);
    ASSERT_EQ(a.Intersects(b), want) << i;
    ASSERT_EQ(b.Intersects(a), want) << i;
    CGeoRect c = a.Intersect(b);
    ASSERT_EQ(c.IsEmpty(), !want);
    if (!want) continue;
    ASSERT_EQ(c.y1, std::max(a.y1, b.y1));
    ASSERT_EQ(c.y2, std::min(a.y2, b.y2));
    // Its ends lie in both spans.
    ASSERT_TRUE(a.SpanContains(c.x1) && b.SpanContains(c.x1)) << i;
    ASSERT_TRUE(a.SpanContains(c.x2) && b.SpanContains(c.x2)) << i;
  }
  CGeoRect c = Rect(170, -170, 0, 2).Intersect(Rect(175, -100, 1, 3));
  EXPECT_EQ(c, Rect(175, -170, 1, 2));
}

TEST(CGeoRect, ExtendByPointGrowsTheNearerSide) {
  CGeoRect r;
  r.ExtendByPoint({Lon(175), Deg(1)});
  EXPECT_EQ(r, Rect(175, 175, 1, 1));
  r.ExtendByPoint({Lon(-178), Deg(-1)});
  EXPECT_EQ(r, Rect(175, -178, -1, 1));
  r.ExtendByPoint({Lon(179), Deg(0)});
  EXPECT_EQ(r, Rect(175, -178, -1, 1));
  r.ExtendByPoint({Lon(170), Deg(2)});
  EXPECT_EQ(r, Rect(170, -178, -1, 2));
}

// ---- Point in polygon -------------------------------------------------------

TEST(PointInPolygon, NotchedRingAndBoundary) {
  const TPointD notched[] = {{0, 0}, {20, 0}, {20, 5}, {15, 5}, {15, 10}, {0, 10}};
  EXPECT_TRUE(PointInPolygon(notched, 6, {5, 5}));  // level with the notch's floor
  EXPECT_TRUE(PointInPolygon(notched, 6, {5, 0}));
  EXPECT_TRUE(PointInPolygon(notched, 6, {17, 5}));   // on the notch's floor
  EXPECT_TRUE(PointInPolygon(notched, 6, {15, 5}));   // vertex
  EXPECT_TRUE(PointInPolygon(notched, 6, {0, 0}));    // first vertex
  EXPECT_TRUE(PointInPolygon(notched, 6, {0, 7}));    // closing edge
  EXPECT_FALSE(PointInPolygon(notched, 6, {17, 7}));  // in the notch
  EXPECT_FALSE(PointInPolygon(notched, 6, {25, 5}));
  EXPECT_FALSE(PointInPolygon(notched, 6, {-1, 10}));
  EXPECT_FALSE(PointInPolygon(notched, 6, {21, 0}));
  EXPECT_FALSE(PointInPolygon(notched, 0, {5, 5}));
  EXPECT_TRUE(PointInPolygon(notched, 1, {0, 0}));
  EXPECT_FALSE(PointInPolygon(notched, 1, {0, 1}));
}

// Even-odd rule with the other half-open convention (an edge counts when one
// end lies strictly above the point), plus an exact on-boundary test.
bool ReferenceInside(const std::vector<TPointD>& ring, TPointD p) {
  size_t n = ring.size();
  for (size_t i = 0; i < n; i++) {
    TPointD a = ring[i], b = ring[(i + 1) % n];
    double cr = (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
    if (cr == 0 && std::min(a.x, b.x) <= p.x && p.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= p.y &&
        p.y <= std::max(a.y, b.y))
      return true;
  }
  bool in = false;
  for (size_t i = 0, j = n - 1; i < n; j = i++) {
    TPointD a = ring[i], b = ring[j];
    if ((a.y > p.y) != (b.y > p.y)) {
      double xc = a.x + (p.y - a.y) * (b.x - a.x) / (b.y - a.y);
      if (p.x < xc) in = !in;
    }
  }
  return in;
}

TEST(PointInPolygon, AgreesWithCrossingNumberOnRandomGridRings) {
  // Small integer grids make shared latitudes, vertices on the scan line and
  // points on edges common.
  std::mt19937 rng(21);
  for (int iter = 0; iter < 4000; iter++) {
    size_t n = 3 + rng() % 8;
    std::vector<TPointD> ring(n);
    for (TPointD& q : ring) q = {static_cast<double>(rng() % 9), static_cast<double>(rng() % 9)};
    for (int k = 0; k < 20; k++) {
      TPointD p{static_cast<double>(rng() % 21) / 2 - 0.5, static_cast<double>(rng() % 11) - 1};
      bool want = ReferenceInside(ring, p);
      ASSERT_EQ(PointInPolygon(ring.data(), n, p), want) << iter << " " << p.x << "," << p.y;
      // The same ring moved across the meridian gives the same answer.
      std::vector<TPointD> moved(ring);
      auto move = [](TPointD q) { q.x += 175; if (q.x >= 180) q.x -= 360; return q; };
      for (TPointD& q : moved) q = move(q);
      ASSERT_EQ(PointInPolygon(moved.data(), n, move(p)), want) << iter;
    }
  }
}

}  // namespace
