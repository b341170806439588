#include "polski/pointruns.h"

#include "core/log.h"
#include "polski/cleaning.h"
#include "polski/cleaning_maps.h"
#include "polski/duplicates.h"
#include "support/testutil.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "polski/jitters.h"

using namespace PolskiFormat;
using namespace CleaningTest;

namespace {

TPointD P(char c) { return {double(c - 'A' + 1), -double(c - 'A' + 1)}; }

CReallocArray<TPointD> Points(const std::string& names) {
  CReallocArray<TPointD> run;
  for (char c : names) run.PushBack(P(c));
  return run;
}

// The plain comparison: b laid against a at every offset.
TRunMatch NaiveMatchRuns(const CReallocArray<TPointD>& a, const CReallocArray<TPointD>& b) {
  size_t n = a.Size(), m = b.Size();
  if (n < m) return TRunMatch::Shorter;
  size_t misses = 0, offsets = n - m + 1;
  for (size_t s = 0; s < offsets; s++) {
    for (size_t t = 0; t < m; t++) {
      if (!SamePoint(a[s + t], b[t])) {
        misses++;
        break;
      }
    }
  }
  if (misses == 0) return TRunMatch::Equal;
  if (misses == offsets) return TRunMatch::Absent;
  return n != m ? TRunMatch::Contains : TRunMatch::Equal;
}

bool NaiveRingsEqual(const CReallocArray<TPointD>& a, const CReallocArray<TPointD>& b) {
  size_t n = a.Size();
  if (n != b.Size() || n == 0) return false;
  for (size_t s = 0; s < n; s++) {
    size_t t = 0;
    while (t < n && SamePoint(a[(s + t) % n], b[t])) t++;
    if (t == n) return true;
  }
  return false;
}

TEST(PointRuns, Cases) {
  struct {
    const char* a;
    const char* b;
    TRunMatch expected;
  } cases[] = {
      {"AB", "ABC", TRunMatch::Shorter},  {"ABC", "ABC", TRunMatch::Equal},
      {"ABCD", "BC", TRunMatch::Contains}, {"ABCD", "CB", TRunMatch::Absent},  // reversed run
      {"ABCD", "ABCD", TRunMatch::Equal}, {"AAA", "AA", TRunMatch::Equal},     // every offset agrees
      {"ABC", "ABD", TRunMatch::Absent},  {"ABAB", "AB", TRunMatch::Contains},
  };
  CPointRunMatcher matcher;
  for (const auto& c : cases) {
    CReallocArray<TPointD> a = Points(c.a), b = Points(c.b);
    EXPECT_EQ(matcher.MatchRuns(a.data, a.Size(), b.data, b.Size()), c.expected) << c.a << " " << c.b;
  }
}

TEST(PointRuns, RandomRunsAndRingsMatchNaiveComparison) {
  std::mt19937 rng(99);
  CPointRunMatcher matcher;
  for (int iter = 0; iter < 20000; iter++) {
    int alphabet = 1 + int(rng() % 3);
    std::string a, b;
    for (size_t i = rng() % 9; i > 0; i--) a += char('A' + rng() % unsigned(alphabet));
    for (size_t i = 1 + rng() % 5; i > 0; i--) b += char('A' + rng() % unsigned(alphabet));
    CReallocArray<TPointD> ra = Points(a), rb = Points(b);
    ASSERT_EQ(matcher.MatchRuns(ra.data, ra.Size(), rb.data, rb.Size()), NaiveMatchRuns(ra, rb)) << a << " " << b;
    CRunIndex index;
    index.Build(ra.data, ra.Size());
    ASSERT_EQ(index.Match(rb.data, rb.Size(), matcher), NaiveMatchRuns(ra, rb)) << a << " " << b;

    // Rings: b as a rotation of a, sometimes spoilt.
    std::string ring = a.empty() ? "A" : a;
    size_t shift = rng() % ring.size();
    std::string rotated = ring.substr(shift) + ring.substr(0, shift);
    if (rng() % 3 == 0) rotated[rng() % rotated.size()] = char('A' + rng() % 3);
    CReallocArray<TPointD> r1 = Points(ring), r2 = Points(rotated);
    bool equal = matcher.RingsEqual(r1.data, r1.Size(), r2.data, r2.Size());
    ASSERT_EQ(equal, NaiveRingsEqual(r1, r2)) << ring << " " << rotated;
    if (equal) {
      ASSERT_EQ(RingHash(r1.data, r1.Size()), RingHash(r2.data, r2.Size()));
    }
  }
}

TEST(PointRuns, RingDirectionMatters) {
  CPointRunMatcher matcher;
  CReallocArray<TPointD> a = Points("ABCD"), rotated = Points("CDAB"), reversed = Points("DCBA");
  EXPECT_TRUE(matcher.RingsEqual(a.data, 4, rotated.data, 4));
  EXPECT_FALSE(matcher.RingsEqual(a.data, 4, reversed.data, 4));
  EXPECT_NE(RingHash(a.data, 4), RingHash(reversed.data, 4));
  CReallocArray<TPointD> negativeZero, positiveZero;
  negativeZero.PushBack({-0.0, 1});
  positiveZero.PushBack({0.0, 1});
  EXPECT_TRUE(matcher.RingsEqual(negativeZero.data, 1, positiveZero.data, 1));
  EXPECT_EQ(RingHash(negativeZero.data, 1), RingHash(positiveZero.data, 1));
}

TEST(PointRuns, LongRunsAreLinear) {
  // 10^5 equal points: laid at every offset naively this is 10^10 comparisons.
  const size_t n = 100000;
  CReallocArray<TPointD> a, b;
  for (size_t i = 0; i < n; i++) a.PushBack({1, 2});
  for (size_t i = 0; i < n / 2; i++) b.PushBack({1, 2});
  CPointRunMatcher matcher;
  // No wall-clock limit (loaded machines, the emulated 32-bit build):
  // quadratic work here would run into the test timeout instead.
  EXPECT_EQ(matcher.MatchRuns(a.data, n, b.data, n / 2), TRunMatch::Equal);
  b.Back() = {1, 3};
  EXPECT_EQ(matcher.MatchRuns(a.data, n, b.data, n / 2), TRunMatch::Absent);
  EXPECT_TRUE(matcher.RingsEqual(a.data, n, a.data, n));
  CRunIndex index;
  index.Build(a.data, n);
  EXPECT_EQ(index.Match(b.data, n / 2, matcher), TRunMatch::Absent);
  // A coastline and the same ring started elsewhere.
  CReallocArray<TPointD> coast, rotated;
  for (size_t i = 0; i < n; i++) coast.PushBack({std::cos(i * 6.283 / n), std::sin(i * 6.283 / n)});
  for (size_t i = 0; i < n; i++) rotated.PushBack(coast[(i + n / 3) % n]);
  EXPECT_TRUE(matcher.RingsEqual(coast.data, n, rotated.data, n));
  EXPECT_EQ(RingHash(coast.data, n), RingHash(rotated.data, n));
  rotated[5].x += 1e-9;
  EXPECT_FALSE(matcher.RingsEqual(coast.data, n, rotated.data, n));
}

// ---- The pass on small maps ------------------------------------------------------------

// Points on a grid of about 100 m at latitude 45.
TPointD G(int x, int y) { return {10 + x * 0.001, 45 + y * 0.001}; }
std::vector<TPointD> Walk(std::initializer_list<int> xs) {
  std::vector<TPointD> points;
  for (int x : xs) points.push_back(G(x, x % 2));
  return points;
}

class DuplicatesMap : public CPlainLogTest {
 protected:
  static std::string Run(CMap& map) {
    return Printed([&] { RemoveDuplicates(map); });
  }
  static bool Has(const std::string& log, const std::string& line) { return log.find(line) != std::string::npos; }
};

TEST_F(DuplicatesMap, EmptyMapLogsZeroCounts) {
  CTestMap t;
  EXPECT_EQ(Run(t.map),
            "Searching poi duplicates\n0 poi duplicates found\nSearching polyline duplicates\n"
            "0 polyline duplicates found\nFixing restrictions\nRestrictions fixed: 0\n"
            "Searching polygon duplicates\n0 polygon duplicates found\nDeleting duplicates\n"
            "Polylines\t0\nPolygons\t0\nPOIs\t0\n");
}

TEST_F(DuplicatesMap, ThreeEqualPOIsReportThreeMatchesAndLoseTwo) {
  CTestMap t;
  for (int i = 0; i < 3; i++) t.Poi(0x2f00, {{0, 10.5, 45.5}});
  t.map.POI(2)->Phone = "123";
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "3 poi duplicates found\n"));
  EXPECT_TRUE(Has(log, "m: poi match: 45.500000 10.500000  45.500000 10.500000\n"));
  EXPECT_TRUE(Has(log, "POIs\t3\n"));
  ASSERT_EQ(t.map.POIs.Size(), 1u);
  EXPECT_EQ(t.map.POI(0)->Phone, "123");  // the better described one stays
}

TEST_F(DuplicatesMap, POIsOfOtherCitiesOrTypesStay) {
  CTestMap t;
  t.Poi(0x2f00, {{0, 10.5, 45.5}})->CityIndex = 0;
  t.Poi(0x2f00, {{0, 10.5, 45.5}})->CityIndex = 1;
  t.Poi(0x2f01, {{0, 10.5, 45.5}})->CityIndex = 1;
  t.Poi(0x2f01, {{0, 10.5, 45.5}})->CityIndex = 1;
  t.map.POI(3)->Label = "x";
  t.Poi(0x2f01, {{0, 10.6, 45.5}});  // elsewhere
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "w: pois same geometry different addr: 45.500000 10.500000  45.500000 10.500000\n"));
  EXPECT_TRUE(Has(log, "w: pois same geometry different type: 45.500000 10.500000  45.500000 10.500000\n"));
  EXPECT_TRUE(Has(log, "w: pois same geometry different label: 45.500000 10.500000  45.500000 10.500000\n"));
  EXPECT_TRUE(Has(log, "0 poi duplicates found\n"));
  EXPECT_EQ(t.map.POIs.Size(), 5u);
}

TEST_F(DuplicatesMap, EqualLinesKeepTheOneWithMoreEntriesAndMergeTexts) {
  CTestMap t;
  CPolyline* a = t.Line(0x2, {{0, Walk({0, 1, 2})}});
  CPolyline* b = t.Line(0x2, {{0, Walk({0, 1, 2})}, {1, Walk({0, 2})}});
  a->Label = "Main";
  a->Phone = "1";
  b->Phone = "2";
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "m: polyline match 45.000000 10.000000  45.000000 10.000000\n"));
  EXPECT_TRUE(Has(log, "1 polyline duplicates found\n"));
  ASSERT_EQ(t.map.Polylines.Size(), 1u);
  EXPECT_EQ(t.map.Polyline(0), b);
  EXPECT_EQ(b->Label, "Main");
  EXPECT_EQ(b->Phone, "2");
}

TEST_F(DuplicatesMap, SubRunIsRemovedIntoTheLongerLineButNotWhenReversed) {
  CTestMap t;
  CPolyline* longer = t.Line(0x2, {{0, Walk({0, 1, 2, 3, 4})}});
  t.Line(0x2, {{0, Walk({1, 2, 3})}});
  t.Line(0x2, {{0, Walk({3, 2, 1})}});
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "m: polyline contains 45.000000 10.000000  45.001000 10.001000\n"));
  ASSERT_EQ(t.map.Polylines.Size(), 2u);
  EXPECT_EQ(t.map.Polyline(0), longer);
  EXPECT_EQ(t.map.Polyline(1)->Geometry[0].Points[0].x, G(3, 1).x);
}

TEST_F(DuplicatesMap, ContainedLineWithPartsOfItsOwnStays) {
  CTestMap t;
  t.Line(0x2, {{0, Walk({0, 1, 2, 3, 4})}});
  CPolyline* partial = t.Line(0x2, {{0, Walk({1, 2})}, {1, Walk({5, 7})}});
  Run(t.map);
  ASSERT_EQ(t.map.Polylines.Size(), 2u);
  EXPECT_EQ(t.map.Polyline(1), partial);
}

TEST_F(DuplicatesMap, RoadPairsRewriteRestrictions) {
  CTestMap t;
  CPolyline* a = t.Line(0x2, {{0, Walk({0, 1, 2})}});
  CPolyline* b = t.Line(0x2, {{0, Walk({0, 1, 2})}});
  CPolyline* c = t.Line(0x2, {{0, Walk({2, 3})}});
  t.Road(a, 10);
  t.Road(b, 20);
  t.Road(c, 30);
  TRestriction* r = t.Restriction({1, 2, 3}, {20, 30});
  TRestriction* s = t.Restriction({1, 2, 3}, {30, 20});
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "Restrictions fixed: 2\n"));
  EXPECT_EQ(r->TraffRoads[0], 10u);
  EXPECT_EQ(s->TraffRoads[1], 10u);
  ASSERT_EQ(t.map.RoadAttributes.Size(), 2u);
  EXPECT_EQ(t.map.RoadAttributes[0]->RoadId, 10u);
  EXPECT_EQ(t.map.RoadAttributes[1]->RoadId, 30u);
}

// A is removed into B first, then C into A (A, though removed, still takes
// part): restrictions naming C must end at B, not at the removed A.
TEST_F(DuplicatesMap, ChainedRemovalsResolveToTheFinalSurvivor) {
  CTestMap t;
  CPolyline* a = t.Line(0x2, {{0, Walk({0, 1, 2})}});
  CPolyline* b = t.Line(0x2, {{0, Walk({0, 1, 2})}});
  CPolyline* c = t.Line(0x2, {{0, Walk({0, 1, 2})}});
  b->Label = "B";
  t.Road(a, 10);
  t.Road(b, 20);
  t.Road(c, 30);
  TRestriction* r = t.Restriction({1, 2, 3}, {30, 10});
  CDuplicateFinder finder(t.map);
  g_Log.enabled = false;
  finder.FindPolylines();
  g_Log.enabled = true;
  ASSERT_EQ(finder.roadIdPairs.Size(), 2u);
  EXPECT_EQ(finder.roadIdPairs[0].removed, 10u);
  EXPECT_EQ(finder.roadIdPairs[0].survivor, 20u);
  EXPECT_EQ(finder.roadIdPairs[1].removed, 30u);
  EXPECT_EQ(finder.roadIdPairs[1].survivor, 10u);
  EXPECT_EQ(finder.FixRestrictions(), 2u);
  EXPECT_EQ(r->TraffRoads[0], 20u);
  EXPECT_EQ(r->TraffRoads[1], 20u);
  finder.DeleteRemoved();
  ASSERT_EQ(t.map.Polylines.Size(), 1u);
  EXPECT_EQ(t.map.Polyline(0), b);
  ASSERT_EQ(t.map.RoadAttributes.Size(), 1u);
  EXPECT_EQ(t.map.RoadAttributes[0], b->Routing);
}

TEST_F(DuplicatesMap, RoadAndPlainLineOnlyWarn) {
  CTestMap t;
  CPolyline* a = t.Line(0x2, {{0, Walk({0, 1, 2})}});
  t.Line(0x2, {{0, Walk({0, 1, 2})}});
  t.Road(a, 10);
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "w: lines: not both are roads: 45.000000 10.000000  45.000000 10.000000\n"));
  EXPECT_EQ(t.map.Polylines.Size(), 2u);
}

TEST_F(DuplicatesMap, RoadAttributesAndLevelsMustAgree) {
  CTestMap t;
  CPolyline* a = t.Line(0x2, {{0, Walk({0, 1, 2})}});
  CPolyline* b = t.Line(0x2, {{0, Walk({0, 1, 2})}});
  CPolyline* c = t.Line(0x2, {{0, Walk({5, 6})}});
  CPolyline* d = t.Line(0x2, {{0, Walk({5, 6})}});
  t.Road(a, 1)->OneWay = 1;
  t.Road(b, 2);
  t.Road(c, 3)->HLevels.PushBack({1, 1, 0});
  t.Road(d, 4)->HLevels.PushBack({1, 2, 0});
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "w: lines same geometry different road attributes: "));
  EXPECT_TRUE(Has(log, "w: lines different road levels: "));
  EXPECT_EQ(t.map.Polylines.Size(), 4u);
}

TEST_F(DuplicatesMap, RotatedRingsAreOnePolygonReversedAreNot) {
  CTestMap t;
  std::vector<TPointD> ring = {G(0, 0), G(1, 0), G(1, 1), G(0, 1)};
  std::vector<TPointD> rotated = {G(1, 1), G(0, 1), G(0, 0), G(1, 0)};
  std::vector<TPointD> reversed = {G(0, 1), G(1, 1), G(1, 0), G(0, 0)};
  t.Area(0x3, {{0, ring}});
  CPolygon* second = t.Area(0x3, {{0, rotated}});
  second->EntryPoints.PushBack({G(0, 0), "gate"});
  t.Area(0x3, {{0, reversed}});
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "m: polygon match 45.001000 10.001000  45.000000 10.000000\n"));
  EXPECT_TRUE(Has(log, "1 polygon duplicates found\n"));
  ASSERT_EQ(t.map.Polygons.Size(), 2u);
  EXPECT_EQ(t.map.Polygon(0), second);  // the entry point scores
}

TEST_F(DuplicatesMap, PolygonHoldingAllRingsOfAnotherTakesIt) {
  CTestMap t;
  std::vector<TPointD> outer = {G(0, 0), G(4, 0), G(4, 4), G(0, 4)};
  std::vector<TPointD> hole = {G(1, 1), G(2, 1), G(2, 2), G(1, 2)};
  std::vector<TPointD> other = {G(5, 5), G(6, 5), G(6, 6)};
  CPolygon* small = t.Area(0x3, {{0, outer}});
  small->Label = "Lake";
  small->EntryPoints.PushBack({G(0, 0), ""});
  CPolygon* big = t.Area(0x3, {{0, outer}, {0, hole, true}});
  big->EntryPoints.PushBack({G(0, 0), ""});
  t.Area(0x3, {{0, outer}, {0, other}});  // shares a ring with both, holds neither
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "m: polygon contains another: 45.000000 10.000000  45.000000 10.000000\n"));
  EXPECT_TRUE(Has(log, "w: pgones have same section: 45.000000 10.000000  45.000000 10.000000\n"));
  ASSERT_EQ(t.map.Polygons.Size(), 2u);
  EXPECT_EQ(t.map.Polygon(0), big);
  EXPECT_EQ(big->Label, "Lake");
  EXPECT_EQ(big->EntryPoints.Size(), 1u);  // the same entry point is not added twice
}

TEST_F(DuplicatesMap, ObjectsWithAnEmptyFirstEntryTakeNoPart) {
  CTestMap t;
  t.Line(0x2, {{0, {}}, {0, Walk({0, 1})}});
  t.Line(0x2, {{0, Walk({0, 1})}});
  t.Area(0x3, {{0, {}}});
  t.Area(0x3, {{0, {}}});
  t.Poi(0x2f00, {});
  t.Poi(0x2f00, {});
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "Polylines\t0\nPolygons\t0\nPOIs\t0\n"));
}

// A long line whose rectangle holds thousands of short lines, and two copies
// of a polygon of thousands of rings: each pair costs about the short side.
TEST_F(DuplicatesMap, LongObjectsAmongManyShortOnesAreFast) {
  CTestMap t;
  std::vector<TPointD> coast;
  for (int i = 0; i < 100000; i++) coast.push_back({10 + i * 1e-5, 45 + (i % 2) * 1e-3});
  t.Line(0x1f, {{0, coast}});
  for (int i = 0; i < 20000; i++) t.Line(0x2, {{0, {{10.0001 + i * 4e-5, 45.0005}, {10.0001 + i * 4e-5, 45.0006}}}});
  std::vector<TPointD> island = {G(0, 0), G(1, 0), G(1, 1)};
  for (int copy = 0; copy < 2; copy++) {
    CPolygon* area = t.Area(0x3, {});
    for (int r = 0; r < 5000; r++) {
      std::vector<TPointD> ring;
      for (const TPointD& p : island) ring.push_back({p.x + r * 1e-3, p.y});
      AddEntries(area->Geometry, {{0, ring}});
    }
  }
  std::string log = Run(t.map);
  EXPECT_TRUE(Has(log, "1 polygon duplicates found\n"));
  EXPECT_TRUE(Has(log, "0 polyline duplicates found\n"));
}

// ---- Random maps against an all-pairs search --------------------------------------------

// Polylines are sub-runs of a few base walks (sometimes reversed), polygons
// rotations of a few base rings, POIs points of a small grid: duplicates,
// containment and near misses are common. Entries are kept in level order.
void RandomMap(CTestMap& t, uint32_t seed) {
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  const char* labels[] = {"", "", "a", "b"};
  std::vector<std::vector<TPointD>> walks = {Walk({0, 1, 2, 3, 4, 5}), Walk({2, 3, 4, 7, 8}),
                                             {G(0, 2), G(1, 2), G(2, 3), G(3, 2)}};
  std::vector<std::vector<TPointD>> rings = {{G(0, 0), G(2, 0), G(2, 2), G(0, 2)},
                                             {G(1, 1), G(3, 1), G(3, 3)},
                                             {G(0, 0), G(2, 0), G(1, 3)}};
  auto subRun = [&](int level) {
    const std::vector<TPointD>& w = walks[size_t(pick(3))];
    size_t from = size_t(pick(int(w.size()) - 1));
    size_t to = from + 2 + size_t(pick(int(w.size() - from) - 1));
    std::vector<TPointD> run(w.begin() + long(from), w.begin() + long(to));
    if (pick(5) == 0) std::reverse(run.begin(), run.end());
    return TEntryDesc{level, run};
  };
  auto ring = [&]() {
    std::vector<TPointD> r = rings[size_t(pick(3))];
    std::rotate(r.begin(), r.begin() + pick(int(r.size())), r.end());
    return TEntryDesc{0, r};
  };
  uint32_t roadId = 100;
  for (int i = pick(14); i > 0; i--) {
    CPolyline* line;
    switch (pick(3)) {
      case 0: line = t.Line(0x2, {subRun(0)}); break;
      case 1: line = t.Line(0x2, {subRun(0), subRun(0)}); break;
      default: line = t.Line(0x2, {subRun(0), subRun(1)}); break;
    }
    line->Type = 2 + (pick(6) == 0);
    line->Label = labels[pick(4)];
    if (pick(8) == 0) line->CityIndex = 0;
    if (pick(3) != 0) {
      TRoadAttributes* road = t.Road(line, roadId++);
      if (pick(8) == 0) road->OneWay = 1;
      if (pick(8) == 0) road->HLevels.PushBack({0, int16_t(pick(2)), 0});
    }
  }
  for (int i = pick(10); i > 0; i--) {
    CPolygon* area = pick(2) ? t.Area(0x3, {ring()}) : t.Area(0x3, {ring(), ring()});
    area->Type = 3 + (pick(6) == 0);
    area->Label = labels[pick(4)];
    if (pick(4) == 0) area->EntryPoints.PushBack({G(pick(2), 0), ""});
  }
  for (int i = pick(12); i > 0; i--) {
    CPOI* poi = pick(5) ? t.Poi(0x2f00, {{0, G(pick(2), 0).x, 45}}) : t.Poi(0x2f00, {{0, G(0, 0).x, 45}, {1, G(1, 0).x, 45}});
    poi->Type = 0x2f00 + (pick(6) == 0);
    poi->Label = labels[pick(4)];
    poi->Phone = labels[pick(4)];
    if (pick(8) == 0) poi->CityIndex = 0;
  }
  for (int i = pick(4); i > 0; i--) t.Restriction({1, 2, 3}, {100u + uint32_t(pick(14)), 100u + uint32_t(pick(14))});
}

// Every pair in list order, no spatial index.
struct TOracle {
  std::vector<TRemoval> removals;
  std::vector<TRoadIdPair> pairs;

  explicit TOracle(CMap& map) {
    CPointRunMatcher matcher;
    std::vector<bool> gone(map.POIs.Size());
    for (size_t i = 0; i < map.POIs.Size(); i++) {
      for (size_t j = 0; j < i; j++) {
        CPOI &e = *map.POI(i), &c = *map.POI(j);
        if (e.Points.Empty() || c.Points.Empty() || MatchPOIs(e, c) != TDuplicateMatch::Match) continue;
        bool cWins = ComparePOIs(e, i, c, j);
        size_t s = cWins ? j : i, l = cWins ? i : j;
        removals.push_back({KindPOI, uint32_t(l), uint32_t(s)});
        MergeObjectTexts(*map.POI(s), *map.POI(l));
      }
    }
    std::vector<bool> lineGone(map.Polylines.Size());
    std::vector<size_t> into(map.Polylines.Size());
    for (size_t i = 0; i < map.Polylines.Size(); i++) {
      for (size_t j = 0; j < map.Polylines.Size(); j++) {
        CPolyline &e = *map.Polyline(i), &c = *map.Polyline(j);
        if (i == j || e.Geometry[0].Points.Empty() || c.Geometry[0].Points.Empty()) continue;
        TDuplicateMatch m = MatchPolylines(e, c, matcher);
        size_t s = i, l = j;
        if (m == TDuplicateMatch::Match && ComparePolylines(e, i, c, j)) std::swap(s, l);
        if (m != TDuplicateMatch::Match && m != TDuplicateMatch::Contains) continue;
        if (lineGone[l] || !CoversGeometry(map.Polyline(s)->Geometry, map.Polyline(l)->Geometry, matcher)) continue;
        size_t k = s;
        while (k != l && lineGone[k]) k = into[k];
        if (k == l) continue;
        lineGone[l] = true;
        into[l] = s;
        removals.push_back({KindPolyline, uint32_t(l), uint32_t(s)});
        if (map.Polyline(l)->Routing) pairs.push_back({map.Polyline(l)->Routing->RoadId, map.Polyline(s)->Routing->RoadId});
        MergeObjectTexts(*map.Polyline(s), *map.Polyline(l));
      }
    }
    std::vector<bool> areaGone(map.Polygons.Size());
    for (size_t i = 0; i < map.Polygons.Size(); i++) {
      for (size_t j = 0; j < i; j++) {
        CPolygon &e = *map.Polygon(i), &c = *map.Polygon(j);
        TDuplicateMatch m = MatchPolygons(e, c, matcher);
        size_t s, l;
        if (m == TDuplicateMatch::Match) {
          bool cWins = ComparePolygons(e, i, c, j);
          s = cWins ? j : i;
          l = cWins ? i : j;
        } else if (m == TDuplicateMatch::Contains) {
          s = i, l = j;
        } else if (m == TDuplicateMatch::ContainedBy) {
          s = j, l = i;
        } else {
          continue;
        }
        if (areaGone[l]) continue;
        areaGone[l] = true;
        removals.push_back({KindPolygon, uint32_t(l), uint32_t(s)});
        MergePolygonInfo(*map.Polygon(s), *map.Polygon(l));
      }
    }
  }
};

std::string Describe(const CMapObject& o) { return o.Label + "|" + o.Phone + "|" + o.Text; }

TEST(DuplicatesRandom, SpatialSearchAgreesWithAllPairs) {
  g_Log.enabled = false;
  size_t removedTotal = 0;
  for (uint32_t seed = 1; seed <= 400; seed++) {
    CTestMap searched, oracleMap;
    RandomMap(searched, seed);
    RandomMap(oracleMap, seed);
    TOracle oracle(oracleMap.map);
    CDuplicateFinder finder(searched.map);
    finder.FindPOIs();
    finder.FindPolylines();
    finder.FindPolygons();
    ASSERT_EQ(finder.removals.Size(), oracle.removals.size()) << seed;
    for (size_t k = 0; k < oracle.removals.size(); k++) {
      ASSERT_EQ(finder.removals[k].kind, oracle.removals[k].kind) << seed;
      ASSERT_EQ(finder.removals[k].loser, oracle.removals[k].loser) << seed;
      ASSERT_EQ(finder.removals[k].survivor, oracle.removals[k].survivor) << seed;
    }
    ASSERT_EQ(finder.roadIdPairs.Size(), oracle.pairs.size()) << seed;
    for (size_t k = 0; k < oracle.pairs.size(); k++) {
      ASSERT_EQ(finder.roadIdPairs[k].removed, oracle.pairs[k].removed);
      ASSERT_EQ(finder.roadIdPairs[k].survivor, oracle.pairs[k].survivor);
    }
    for (size_t i = 0; i < searched.map.POIs.Size(); i++) ASSERT_EQ(Describe(*searched.map.POI(i)), Describe(*oracleMap.map.POI(i)));
    for (size_t i = 0; i < searched.map.Polylines.Size(); i++) {
      ASSERT_EQ(Describe(*searched.map.Polyline(i)), Describe(*oracleMap.map.Polyline(i)));
    }
    removedTotal += oracle.removals.size();

    // The whole pass: survivors keep their order, records follow their roads,
    // and restrictions name only roads that stay.
    size_t lines = searched.map.Polylines.Size();
    finder.FixRestrictions();
    finder.DeleteRemoved();
    size_t lost = 0;
    for (const TRemoval& r : oracle.removals) lost += r.kind == KindPolyline;
    ASSERT_EQ(searched.map.Polylines.Size(), lines - lost);
    size_t roads = 0;
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < searched.map.Polylines.Size(); i++) {
      const TRoadAttributes* road = searched.map.Polyline(i)->Routing;
      if (!road) continue;
      roads++;
      ids.push_back(road->RoadId);
      ASSERT_TRUE(std::find(searched.map.RoadAttributes.begin(), searched.map.RoadAttributes.end(), road) !=
                  searched.map.RoadAttributes.end());
    }
    ASSERT_EQ(searched.map.RoadAttributes.Size(), roads);
    for (const TRoadIdPair& pair : finder.roadIdPairs) {
      for (const TRestriction* r : searched.map.Restrictions) {
        for (uint32_t id : r->TraffRoads) ASSERT_NE(id, pair.removed == pair.survivor ? 0u : pair.removed) << seed;
      }
    }
  }
  g_Log.enabled = true;
  EXPECT_GT(removedTotal, 400u);  // the maps do hold duplicates
}

}  // namespace
