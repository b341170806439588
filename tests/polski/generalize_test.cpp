#include "polski/generalize.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "core/log.h"
#include "support/testutil.h"

using namespace PolskiFormat;

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

// The recursion as first described (end points included in the search, the
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

  auto start = std::chrono::steady_clock::now();
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
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(GeneralizeHoles, PointsOutsideTheOuterRingGo) {
  CReallocArray<TPointD> outer = Line({{0, 0}, {10, 0}, {10, 10}, {0, 10}});
  CReallocArray<TPointD> hole = Line({{1, 1}, {11, 1}, {10, 5}, {5, 12}, {2, 2}});
  EXPECT_EQ(RemovePointsOutside(hole, outer), 2u);  // the boundary counts as inside
  ASSERT_EQ(hole.Size(), 3u);
  EXPECT_EQ(hole[1].x, 10);
  EXPECT_EQ(hole[2].x, 2);
}

// Large rings take the sweep; it must agree with the point-in-ring test on
// every point, vertices, edges and horizontal edges included.
TEST(GeneralizeHoles, SweepAgreesWithPointInRing) {
  std::mt19937 rng(3);
  for (int iter = 0; iter < 200; iter++) {
    CReallocArray<TPointD> outer, hole;
    size_t m = 32 + rng() % 100, n = 8 + rng() % 100;
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
  auto start = std::chrono::steady_clock::now();
  size_t removed = RemovePointsOutside(hole, outer);
  EXPECT_GT(removed, 0u);
  EXPECT_LT(removed, n);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
