#include "polski/generalize.h"

#include "polski/cleaning.h"
#include "polski/cleaning_maps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/log.h"
#include "support/testutil.h"

using namespace PolskiFormat;
using namespace CleaningTest;

namespace {

CReallocArray<TPointD> Line(std::initializer_list<TPointD> points) {
  CReallocArray<TPointD> line;
  for (const TPointD& p : points) line.PushBack(p);
  return line;
}

TEST(GeneralizeTolerance, TableByIndex) {
  const int expected[kScaleIndexCount] = {31750, 31750, 31750, 31750, 31750, 31750, 31750, 31750, 31750,
                                          31750, 31750, 21166, 7937,  5291,  2116,  1322,  529,   317,
                                          132,   79,    52,    21,    13,    7,     3,     2,     0};
  for (int i = 0; i < kScaleIndexCount; i++) EXPECT_EQ(ToleranceForIndex(i), expected[i]) << i;
  EXPECT_EQ(ToleranceForIndex(27), 0);
  EXPECT_EQ(ToleranceForIndex(255), 0);
  EXPECT_EQ(ToleranceForIndex(-1), 31750);
}

TEST(GeneralizeDistance, NearestPointOfSegment) {
  // 0.001 degree of latitude on a sphere of radius 6371302 m.
  const double arc = 6371302.0 * 0.001 * M_PI / 180;
  EXPECT_NEAR(SegmentDistanceOnSphere({0, 0}, {1, 0}, {0.5, 0.001}), arc, 1e-6);
  EXPECT_NEAR(SegmentDistanceOnSphere({0, 0}, {1, 0}, {-0.001, 0}), arc, 1e-6);  // before A: to A
  EXPECT_NEAR(SegmentDistanceOnSphere({0, 0}, {1, 0}, {1.001, 0}), arc, 1e-6);   // beyond B: to B
  EXPECT_EQ(SegmentDistanceOnSphere({3, 4}, {3, 4}, {3, 4}), 0.0);              // degenerate chord
  EXPECT_EQ(SegmentDistanceOnSphere({0, 0}, {1, 1}, {0.5, 0.5}), 0.0);
}

// The plain recursion (end points included in the search, the
// earlier index winning ties); for a positive tolerance it ends.
size_t RecursiveRange(std::vector<TPointD>& p, size_t first, size_t last, double tolerance) {
  double largest = 0;
  size_t split = first;
  for (size_t i = first; i <= last; i++) {
    double d = std::fabs(SegmentDistanceOnSphere(p[first], p[last], p[i]));
    if (d > largest) {
      largest = d;
      split = i;
    }
  }
  if (largest >= tolerance) {
    size_t r = RecursiveRange(p, first, split, tolerance);
    return r + RecursiveRange(p, split - r, last - r, tolerance);
  }
  size_t removed = last > first + 1 ? last - first - 1 : 0;
  p.erase(p.begin() + long(first) + 1, p.begin() + long(last));
  return removed;
}

TEST(GeneralizeSimplify, MatchesRecursiveDefinitionOnRandomLines) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 3000; iter++) {
    size_t n = rng() % 40;
    std::vector<TPointD> oracle;
    CReallocArray<TPointD> line;
    double x = 10, y = 45;
    for (size_t i = 0; i < n; i++) {
      // A coarse grid makes equal distances (ties) common.
      x += int(rng() % 5 - 2) * 0.0001;
      y += int(rng() % 5 - 2) * 0.0001;
      oracle.push_back({x, y});
      line.PushBack({x, y});
    }
    double tolerance = 1 + rng() % 30;
    size_t expected = n >= 3 ? RecursiveRange(oracle, 0, n - 1, tolerance) : 0;
    size_t removed = SimplifyDouglasPeucker(line, tolerance);
    ASSERT_EQ(removed, expected) << iter;
    ASSERT_EQ(line.Size(), oracle.size());
    for (size_t i = 0; i < oracle.size(); i++) {
      ASSERT_TRUE(line[i].x == oracle[i].x && line[i].y == oracle[i].y) << iter << " " << i;
    }
  }
}

TEST(GeneralizeSimplify, ShortLinesAndZeroToleranceUnchanged) {
  CReallocArray<TPointD> two = Line({{0, 0}, {1, 1}});
  EXPECT_EQ(SimplifyDouglasPeucker(two, 100), 0u);
  EXPECT_EQ(two.Size(), 2u);
  CReallocArray<TPointD> three = Line({{0, 0}, {0.5, 0.5}, {1, 1}});
  EXPECT_EQ(SimplifyDouglasPeucker(three, 0), 0u);
  EXPECT_EQ(three.Size(), 3u);
  EXPECT_EQ(SimplifyDouglasPeucker(three, 1), 1u);
  EXPECT_EQ(three.Size(), 2u);
}

TEST(GeneralizeSimplify, LongLinesAreFast) {
  const size_t n = 200000;
  CReallocArray<TPointD> straight;
  for (size_t i = 0; i < n; i++) straight.PushBack({10 + i * 1e-6, 45 + i * 1e-6});
  CReallocArray<TPointD> copy;
  copy.Assign(straight.data, n);

  // No wall-clock limit (the machine may be loaded, the 32-bit build runs
  // under an emulator): quadratic work here would run into the test timeout.
  EXPECT_EQ(SimplifyDouglasPeucker(straight, ToleranceForIndex(22)), n - 2);
  EXPECT_EQ(straight.Size(), 2u);
  // Tolerance 0 (index 26 and beyond) keeps every point; taken naively it
  // would split the line one point at a time, n levels deep.
  EXPECT_EQ(SimplifyDouglasPeucker(copy, ToleranceForIndex(26)), 0u);
  EXPECT_EQ(copy.Size(), n);

  // A wavy line (a curve on every point) goes through the explicit stack.
  CReallocArray<TPointD> wave;
  for (size_t i = 0; i < n / 10; i++) wave.PushBack({10 + i * 1e-4, 45 + 0.01 * std::sin(i * 0.005)});
  size_t removed = SimplifyDouglasPeucker(wave, 2);
  EXPECT_GT(removed, n / 20);
}

TEST(GeneralizeHoles, PointsOutsideTheOuterRingGo) {
  CReallocArray<TPointD> outer = Line({{0, 0}, {10, 0}, {10, 10}, {0, 10}});
  CReallocArray<TPointD> hole = Line({{1, 1}, {11, 1}, {10, 5}, {5, 12}, {2, 2}});
  EXPECT_EQ(RemovePointsOutside(hole, outer), 2u);  // the boundary counts as inside
  ASSERT_EQ(hole.Size(), 3u);
  EXPECT_EQ(hole[1].x, 10);
  EXPECT_EQ(hole[2].x, 2);
}

// Large rings are indexed; the answers must stay those of the point-in-ring
// test on every point, vertices, edges and horizontal edges included.
TEST(GeneralizeHoles, IndexedRingAgreesWithPointInRing) {
  std::mt19937 rng(3);
  for (int iter = 0; iter < 100; iter++) {
    CReallocArray<TPointD> outer, hole;
    size_t m = 200 + rng() % 200, n = 8 + rng() % 100;
    // A star-shaped ring on a coarse grid (shared latitudes, horizontal edges).
    for (size_t i = 0; i < m; i++) {
      double angle = 2 * M_PI * double(i) / double(m);
      double radius = 2 + int(rng() % 8);
      outer.PushBack({std::round(radius * std::cos(angle) * 2) / 2, std::round(radius * std::sin(angle) * 2) / 2});
    }
    for (size_t i = 0; i < n; i++) {
      if (rng() % 4 == 0) {
        hole.PushBack(outer[rng() % m]);  // a vertex of the ring
      } else {
        hole.PushBack({int(rng() % 41 - 20) * 0.5, int(rng() % 41 - 20) * 0.5});
      }
    }
    CReallocArray<TPointD> expected;
    for (const TPointD& p : hole) {
      if (PointInPolygon(outer.data, m, p)) expected.PushBack(p);
    }
    RemovePointsOutside(hole, outer);
    ASSERT_EQ(hole.Size(), expected.Size()) << iter;
    for (size_t i = 0; i < hole.Size(); i++) ASSERT_TRUE(hole[i].x == expected[i].x && hole[i].y == expected[i].y);
  }
}

TEST(GeneralizeHoles, LargeRingsAreFast) {
  const size_t n = 100000;
  CReallocArray<TPointD> outer, hole;
  for (size_t i = 0; i < n; i++) {
    double angle = 2 * M_PI * double(i) / double(n);
    outer.PushBack({10 + std::cos(angle), 45 + std::sin(angle)});
    hole.PushBack({10 + 1.01 * std::cos(angle + 1e-6), 45 + 0.5 * std::sin(angle + 1e-6)});
  }
  size_t removed = RemovePointsOutside(hole, outer);
  EXPECT_GT(removed, 0u);
  EXPECT_LT(removed, n);
}

// ---- The pass over maps ----------------------------------------------------------

const double kMetre = 1.0 / 111200;  // about one metre of latitude, in degrees

// 5 points along latitude 45: a 30 m bump, then a 200 m one.
std::vector<TPointD> Bumps() {
  return {{10, 45}, {10.001, 45 + 30 * kMetre}, {10.002, 45}, {10.003, 45 + 200 * kMetre}, {10.004, 45}};
}

std::vector<TPointD> Simplified(std::vector<TPointD> points, double tolerance) {
  CReallocArray<TPointD> array;
  for (const TPointD& p : points) array.PushBack(p);
  SimplifyDouglasPeucker(array, tolerance);
  return Points(array);
}

std::vector<int> Levels(const CReallocArray<TDataLevel>& geometry) {
  std::vector<int> levels;
  for (const TDataLevel& e : geometry) levels.push_back(e.Level);
  return levels;
}

class GeneralizeMap : public CPlainLogTest {
 protected:
  static std::string Run(CMap& map) {
    return Printed([&] { Generalize(map); });
  }
};

TEST_F(GeneralizeMap, EndLevelMakesCumulativeCopies) {
  CTestMap t;  // levels 24, 22, 20, 18: lines use 13 m at level 1, 52 m at level 2
  CPolyline* line = t.Line(0x2, {{0, Bumps()}});
  line->EndLevel = 2;
  std::string out = Run(t.map);
  EXPECT_EQ(line->EndLevel, 255);
  ASSERT_EQ(Levels(line->Geometry), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(Points(line->Geometry[0].Points), Bumps());
  std::vector<TPointD> level1 = Simplified(Bumps(), 13);
  EXPECT_EQ(level1.size(), 5u);
  EXPECT_EQ(Points(line->Geometry[1].Points), level1);
  std::vector<TPointD> level2 = Simplified(level1, 52);
  EXPECT_EQ(level2.size(), 4u);  // the 30 m bump goes
  EXPECT_EQ(Points(line->Geometry[2].Points), level2);
  EXPECT_EQ(out,
            "Processing polygons\n\n\n\nProcessing polylines\n\r0.00%\n\n\n"
            "Level\tinput\tadded\tdeleted\toutput\n"
            "0:\t5\t0\t0\t5\n"
            "1:\t0\t5\t0\t5\n"
            "2:\t0\t4\t0\t4\n"
            "3:\t0\t0\t0\t0\n");
}

TEST_F(GeneralizeMap, GapBetweenLevelsIsFilledFromBelow) {
  CTestMap t;
  std::vector<TPointD> straight;
  for (int i = 0; i < 50; i++) straight.push_back({10 + i * 0.0001, 45 + i * 0.0001});
  CPolyline* line = t.Line(0x2, {{0, Bumps()}, {2, straight}});
  CPolygon* area = t.Area(0x3, {{0, Bumps()}, {2, straight}});
  Run(t.map);
  ASSERT_EQ(Levels(line->Geometry), (std::vector<int>{0, 2, 1}));
  EXPECT_EQ(Points(line->Geometry[2].Points), Simplified(Bumps(), 13));
  EXPECT_EQ(line->Geometry[1].Points.Size(), 2u);  // a straight line keeps its ends
  ASSERT_EQ(Levels(area->Geometry), (std::vector<int>{0, 2, 1}));
  EXPECT_EQ(Points(area->Geometry[2].Points), Simplified(Bumps(), 7));
}

TEST_F(GeneralizeMap, LinesAndAreasUseTheirOwnTolerance) {
  CTestMap t({24, 22, 20});  // level 1: lines 13 m (index 22), areas 7 m (index 23)
  std::vector<TPointD> bump = {{10, 45}, {10.001, 45 + 10 * kMetre}, {10.002, 45}};
  CPolyline* line = t.Line(0x2, {{0, bump}, {1, bump}});
  CPolygon* area = t.Area(0x3, {{0, bump}, {1, bump}});
  Run(t.map);
  EXPECT_EQ(line->Geometry[1].Points.Size(), 2u);
  EXPECT_EQ(area->Geometry[1].Points.Size(), 3u);
  EXPECT_EQ(line->Geometry[0].Points.Size(), 3u);  // the lowest level stays as loaded
}

TEST_F(GeneralizeMap, EndLevelAtTheTopIsClampedWithAWarning) {
  CTestMap t;  // 4 levels: at most level 2
  CPolyline* line = t.Line(0x2, {{0, Bumps()}});
  line->EndLevel = 3;
  CPolygon* area = t.Area(0x3, {{1, Bumps()}});
  area->EndLevel = 9;
  std::string out = Run(t.map);
  EXPECT_EQ(Levels(line->Geometry), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(Levels(area->Geometry), (std::vector<int>{1, 2}));
  EXPECT_NE(out.find("w: polyline has incorrect endlevel: 45.000000 10.000000\n\n"), std::string::npos);
  EXPECT_NE(out.find("w: polygon has incorrect endlevel: 45.000000 10.000000\n\n"), std::string::npos);
}

TEST_F(GeneralizeMap, MultiPartLineKeepsItsParts) {
  CTestMap t;
  CPolyline* line = t.Line(0x2, {{0, Bumps()}, {0, {{11, 46}, {11.1, 46}}}});
  line->EndLevel = 2;
  Run(t.map);
  ASSERT_EQ(Levels(line->Geometry), (std::vector<int>{0, 0, 1, 1, 2, 2}));
  EXPECT_EQ(line->Geometry[3].Points[0].x, 11);
  EXPECT_EQ(line->Geometry[5].Points[0].x, 11);
}

// Route nodes index the first entry of a road, whatever its level.
TEST_F(GeneralizeMap, FirstEntryOfARoadIsNeverThinned) {
  CTestMap t;
  std::vector<TPointD> straight;
  for (int i = 0; i < 20; i++) straight.push_back({10 + i * 0.0001, 45});
  CPolyline* road = t.Line(0x2, {{1, straight}, {0, straight}});
  t.Road(road, 5);
  CPolyline* line = t.Line(0x2, {{1, straight}, {0, straight}});
  Run(t.map);
  EXPECT_EQ(road->Geometry[0].Points.Size(), 20u);
  EXPECT_EQ(line->Geometry[0].Points.Size(), 2u);
}

TEST_F(GeneralizeMap, HolesAreClippedToTheirOuterRingOnNewLevels) {
  CTestMap t;
  std::vector<TPointD> outer = {{10, 45}, {10.01, 45}, {10.01, 45.01}, {10, 45.01}};
  std::vector<TPointD> hole = {{10.002, 45.002}, {10.005, 45.002}, {10.005, 45.005}, {10.002, 45.005}};
  CPolygon* area = t.Area(0x3, {{0, outer}, {0, hole, true}});
  area->EndLevel = 1;
  Run(t.map);
  ASSERT_EQ(Levels(area->Geometry), (std::vector<int>{0, 0, 1, 1}));
  EXPECT_FALSE(area->Geometry[2].IsHole);
  EXPECT_TRUE(area->Geometry[3].IsHole);
  EXPECT_EQ(Points(area->Geometry[3].Points), hole);
}

TEST_F(GeneralizeMap, FineLevelsNeverLoop) {
  CTestMap t({26, 26, 28});  // tolerance 0 at both levels
  std::vector<TPointD> line;
  for (int i = 0; i < 1000; i++) line.push_back({10 + i * 1e-7, 45});
  CPolyline* l = t.Line(0x2, {{0, line}});
  l->EndLevel = 1;
  Run(t.map);
  ASSERT_EQ(Levels(l->Geometry), (std::vector<int>{0, 1}));
  EXPECT_EQ(l->Geometry[1].Points.Size(), 1000u);
}

TEST_F(GeneralizeMap, UnusableLevelTablesAndEntries) {
  CTestMap one({24});
  CPolyline* line = one.Line(0x2, {{0, Bumps()}});
  line->EndLevel = 2;
  EXPECT_EQ(Run(one.map), "w: generalization needs at least 2 levels; skipped\n");
  EXPECT_EQ(line->Geometry.Size(), 1u);

  CMap bare;  // no header at all
  EXPECT_EQ(Run(bare), "w: generalization needs at least 2 levels; skipped\n");

  // Entries past the level table, and empty entries, are left alone.
  CTestMap t({24, 22, 20});
  CPolyline* far = t.Line(0x2, {{0, {}}, {7, Bumps()}, {0, Bumps()}});
  CPolygon* empty = t.Area(0x3, {{0, {}}});
  empty->EndLevel = 1;
  std::string out = Run(t.map);
  EXPECT_EQ(Levels(far->Geometry), (std::vector<int>{0, 7, 0, 1}));
  EXPECT_EQ(far->Geometry[1].Points.Size(), 5u);
  EXPECT_NE(out.find("w: polyline has incorrect endlevel: 45.000000 10.000000"), std::string::npos);
  EXPECT_EQ(empty->Geometry.Size(), 1u);
  EXPECT_NE(out.find("0:\t5\t0\t0\t5\n1:\t0\t5\t0\t5\n2:\t0\t0\t0\t0\n"), std::string::npos);
}

}  // namespace
