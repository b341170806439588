// The ring index answers exactly like PointInPolygon, and ring ordering
// over a large coastline with many islands.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "polski/objects.h"
#include "polski/rings.h"

using namespace PolskiFormat;

namespace {

// A star-shaped ring around (cx, cy) with jagged radii, flat steps (equal
// latitudes) and repeated vertices.
CReallocArray<TPointD> JaggedRing(std::mt19937& random, size_t n, double cx, double cy, double radius) {
  CReallocArray<TPointD> ring;
  for (size_t i = 0; i < n; i++) {
    double angle = 2 * M_PI * static_cast<double>(i) / static_cast<double>(n);
    double r = radius * (0.5 + 0.5 * static_cast<double>(random() % 1000) / 1000.0);
    TPointD p = {cx + r * std::cos(angle), cy + r * std::sin(angle)};
    if (random() % 10 == 0 && i > 0) p.y = ring.Back().y;  // a horizontal edge
    if (random() % 20 == 0 && i > 0) p = ring.Back();      // a repeated vertex
    p.x = std::remainder(p.x, 360.0);  // wraps to [-180, 180]
    ring.PushBack(p);
  }
  return ring;
}

TEST(RingIndex, SameAnswersAsPointInPolygon) {
  std::mt19937 random(99);
  struct TShape {
    size_t n;
    double cx, cy, radius;
  };
  const TShape shapes[] = {{300, 10, 45, 2}, {1000, 179.5, 0, 1}, {2000, -20, -60, 5}, {256, 0, 0, 0.001}};
  for (const TShape& shape : shapes) {
    CReallocArray<TPointD> ring = JaggedRing(random, shape.n, shape.cx, shape.cy, shape.radius);
    CRingIndex index(ring);
    std::vector<TPointD> probes;
    for (const TPointD& p : ring) probes.push_back(p);  // vertices
    for (size_t i = 1; i < ring.Size(); i++) {
      probes.push_back({(ring[i - 1].x + ring[i].x) / 2, (ring[i - 1].y + ring[i].y) / 2});  // on edges
      probes.push_back({ring[i].x + 1e-9, ring[i - 1].y});                                    // beside flat edges
    }
    for (int i = 0; i < 5000; i++) {
      double dx = (static_cast<double>(random() % 20001) / 10000.0 - 1) * shape.radius * 1.2;
      double dy = (static_cast<double>(random() % 20001) / 10000.0 - 1) * shape.radius * 1.2;
      probes.push_back({std::remainder(shape.cx + dx, 360.0), shape.cy + dy});
    }
    size_t inside = 0;
    for (const TPointD& p : probes) {
      bool expected = PointInPolygon(ring.data, ring.Size(), p);
      ASSERT_EQ(index.Contains(p), expected) << "ring of " << shape.n << " at " << p.x << "," << p.y;
      inside += expected;
    }
    EXPECT_GT(inside, 0u);
    EXPECT_LT(inside, probes.size());
  }
}

TEST(RingIndex, TallEdgesFallBackToThePlainTest) {
  // A comb: every edge runs the whole height, so bands would not help.
  CReallocArray<TPointD> ring;
  for (int i = 0; i < 400; i++) ring.PushBack({i * 0.01, i % 2 ? 10.0 : 0.0});
  CRingIndex index(ring);
  for (double y = -1; y <= 11; y += 0.37) {
    for (double x = -0.5; x < 4.5; x += 0.013) {
      ASSERT_EQ(index.Contains({x, y}), PointInPolygon(ring.data, ring.Size(), {x, y}));
    }
  }
}

// A coast of 4000 points with 20000 islands of 8 points each: every island
// becomes a hole behind the coast (the islands end in reverse order).
TEST(RingIndex, CoastWithManyIslands) {
  CReallocArray<TDataLevel> rings;
  TDataLevel* coast = rings.EmplaceBack();
  for (int i = 0; i < 4000; i++) {
    double angle = 2 * M_PI * i / 4000;
    coast->Points.PushBack({10 + 5 * std::cos(angle), 50 + 5 * std::sin(angle) + 0.01 * (i % 3)});
  }
  for (int k = 0; k < 20000; k++) {
    TDataLevel* island = rings.EmplaceBack();
    double cx = 10 + 3 * std::cos(k * 0.7), cy = 50 + 3 * std::sin(k * 1.3);
    for (int i = 0; i < 8; i++) island->Points.PushBack({cx + 0.01 * std::cos(i), cy + 0.01 * std::sin(i)});
  }
  rings.EmplaceBack()->Points.PushBack({40, 40});  // outside: a second outer ring
  OrderRings(rings);
  ASSERT_EQ(rings.Size(), 20002u);
  EXPECT_EQ(rings[0].IsHole, 0);  // the far ring moved to the front
  EXPECT_EQ(rings[0].Points[0].x, 40);
  EXPECT_EQ(rings[1].Points.Size(), 4000u);
  EXPECT_EQ(rings[1].IsHole, 0);
  for (size_t i = 2; i < rings.Size(); i++) ASSERT_EQ(rings[i].IsHole, 1) << i;
}

// The insertion pass written out plainly, swap by swap.
void ReferenceOrder(CReallocArray<TDataLevel>& rings) {
  auto inside = [](const TDataLevel& inner, const TDataLevel& outer) {
    for (const TPointD& p : inner.Points) {
      if (!PointInPolygon(outer.Points.data, outer.Points.Size(), p)) return false;
    }
    return true;
  };
  for (size_t a = 1; a < rings.Size(); a++) {
    for (size_t j = a; j > 0; j--) {
      TDataLevel& p = rings[j - 1];
      TDataLevel& q = rings[j];
      if (static_cast<int8_t>(q.Level) > static_cast<int8_t>(p.Level)) break;
      if (q.Level == p.Level && !p.IsHole) {
        if (inside(q, p)) {
          q.IsHole = 1;
          break;
        }
        if (inside(p, q)) p.IsHole = 1;
      }
      std::swap(p, q);
    }
  }
}

// The containment test wraps longitude differences of 180 degrees or more,
// so a ring spanning 170 degrees holds a ring beyond its plain longitude
// range; the order must follow the test, not the plain bounds.
TEST(RingOrder, WrappedLongitudesFollowThePointTest) {
  const TPointD wide[] = {{0, 0}, {170, 0}, {170, 10}, {0, 10}};
  const TPointD small[] = {{-175, 4}, {-174, 4}, {-174, 6}};
  for (const TPointD& p : small) ASSERT_TRUE(PointInPolygon(wide, 4, p));
  for (bool smallFirst : {false, true}) {
    CReallocArray<TDataLevel> rings;
    rings.EmplaceBack()->Points.Assign(smallFirst ? small : wide, smallFirst ? 3 : 4);
    rings.EmplaceBack()->Points.Assign(smallFirst ? wide : small, smallFirst ? 4 : 3);
    OrderRings(rings);
    EXPECT_EQ(rings[0].Points.Size(), 4u) << smallFirst;
    EXPECT_EQ(rings[0].IsHole, 0) << smallFirst;
    EXPECT_EQ(rings[1].IsHole, 1) << smallFirst;
  }
}

// Random nests of squares on a few levels (some above 127, which sort
// first), some rings empty: the same order and holes as the plain pass.
TEST(RingOrder, SameAsThePlainInsertionPass) {
  std::mt19937 random(5);
  const uint8_t levels[] = {0, 0, 0, 1, 1, 2, 200};
  size_t holes = 0, rings200First = 0;
  for (int round = 0; round < 3000; round++) {
    CReallocArray<TDataLevel> rings, expected;
    size_t count = 1 + random() % 24;
    for (size_t i = 0; i < count; i++) {
      uint8_t level = levels[random() % (round % 3 == 0 ? 7 : 3)];
      double size = 1 + static_cast<double>(random() % 40), x = static_cast<double>(random() % 40),
             y = static_cast<double>(random() % 40);
      for (CReallocArray<TDataLevel>* target : {&rings, &expected}) {
        TDataLevel* ring = target->EmplaceBack();
        ring->Level = level;
        if (random() % 15 == 0 && target == &rings) continue;
        if (target == &expected && rings.Back().Points.Empty()) continue;
        ring->Points.PushBack({x, y});
        ring->Points.PushBack({x + size, y});
        ring->Points.PushBack({x + size, y + size});
        ring->Points.PushBack({x, y + size + static_cast<double>(i) * 1e-6});  // tells rings apart
      }
    }
    ReferenceOrder(expected);
    OrderRings(rings);
    for (const TDataLevel& ring : expected) holes += ring.IsHole;
    rings200First += expected[0].Level == 200;
    ASSERT_EQ(rings.Size(), expected.Size());
    for (size_t i = 0; i < rings.Size(); i++) {
      ASSERT_EQ(rings[i].Level, expected[i].Level) << "round " << round << " ring " << i;
      ASSERT_EQ(rings[i].IsHole, expected[i].IsHole) << "round " << round << " ring " << i;
      ASSERT_EQ(rings[i].Points.Size(), expected[i].Points.Size()) << "round " << round << " ring " << i;
      if (!rings[i].Points.Empty()) {
        ASSERT_EQ(rings[i].Points[3].y, expected[i].Points[3].y) << round;
      }
    }
  }
  EXPECT_GT(holes, 1000u);
  EXPECT_GT(rings200First, 100u);
}

}  // namespace
