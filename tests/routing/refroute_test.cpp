// The reference router on hand-made networks, one rule of a legal route at a
// time: every route check of the routing graphs trusts it.
#include <gtest/gtest.h>

#include "tests/routing/refroute.h"

using namespace RefRoute;

namespace {

// A road per link unless given: node ids are small integers.
TNetwork Line(std::initializer_list<uint32_t> nodes, uint32_t road, uint32_t metres, bool oneWay = false) {
  TNetwork n;
  n.roads.push_back({road, 50, oneWay, false, false});
  uint32_t prev = *nodes.begin();
  for (auto it = nodes.begin() + 1; it != nodes.end(); ++it) {
    n.links.push_back({prev, *it, road, metres});
    prev = *it;
  }
  return n;
}

void AddRoad(TNetwork& n, uint32_t road, std::initializer_list<uint32_t> nodes, uint32_t metres, bool oneWay = false,
             bool area = false, bool type0a = false) {
  n.roads.push_back({road, 50, oneWay, type0a, area});
  uint32_t prev = *nodes.begin();
  for (auto it = nodes.begin() + 1; it != nodes.end(); ++it) {
    n.links.push_back({prev, *it, road, metres});
    prev = *it;
  }
}

uint64_t Route(const TNetwork& n, TLinkKey from, TLinkKey to, bool avoid = false, uint32_t metric = 0) {
  CReference r(n, metric);
  return r.From(r.Index(from), avoid)[r.Index(to)];
}

}  // namespace

TEST(RefRoute, CostsAreTheLinksButTheLast) {
  TNetwork n = Line({1, 2, 3, 4}, 10, 100);
  EXPECT_EQ(Route(n, {1, 2, 10}, {1, 2, 10}), 0u);
  EXPECT_EQ(Route(n, {1, 2, 10}, {3, 4, 10}), 200u);
  // Back along the road: the reversal at node 2 is a turn like any other.
  EXPECT_EQ(Route(n, {1, 2, 10}, {2, 1, 10}), 100u);
  // Time: 100 m at 50 km/h is 100 x 576 / 500 = 115 sixteenths.
  EXPECT_EQ(Route(n, {1, 2, 10}, {3, 4, 10}, false, 1), 230u);
  // A link of 0 m still costs 1.
  TNetwork z = Line({1, 2, 3}, 10, 0);
  EXPECT_EQ(Route(z, {1, 2, 10}, {2, 3, 10}), 1u);
}

TEST(RefRoute, OneWayRoadsAndRestrictionKeys) {
  TNetwork n = Line({1, 2, 3}, 10, 100, true);
  CReference r(n, 0);
  EXPECT_FALSE(r.Has({2, 1, 10}));
  // Nowhere to turn at the end of a one-way road: no route back.
  EXPECT_EQ(r.From(r.Index({2, 3, 10}), false)[r.Index({1, 2, 10})], kNoPath);

  // A T: road 10 from 1 over 2 to 3, road 20 from 2 to 4.
  TNetwork t;
  AddRoad(t, 10, {1, 2, 3}, 100);
  AddRoad(t, 20, {2, 4}, 100);
  EXPECT_EQ(Route(t, {1, 2, 10}, {2, 4, 20}), 100u);
  t.restrictions.push_back({1, 2, 4, 10, 20});
  // Forbidden at 2; on to 3, back to 2 and then the turn from the other side.
  EXPECT_EQ(Route(t, {1, 2, 10}, {2, 4, 20}), 300u);
  // The U-turn at 2 named by a key: then the route reverses at 3.
  t.restrictions.push_back({1, 2, 1, 10, 10});
  EXPECT_EQ(Route(t, {1, 2, 10}, {2, 1, 10}), 300u);
}

TEST(RefRoute, ChainRestrictionsAllowLoopsThatBreakThem) {
  // A square 1-2-3-4 with a tail 5-1: chain 5 -> 1 -> 2 -> 3 forbidden.
  TNetwork n;
  AddRoad(n, 10, {5, 1}, 10);
  AddRoad(n, 11, {1, 2}, 10);
  AddRoad(n, 12, {2, 3}, 10);
  AddRoad(n, 13, {3, 4}, 100);
  AddRoad(n, 14, {4, 1}, 100);
  EXPECT_EQ(Route(n, {5, 1, 10}, {2, 3, 12}), 20u);
  n.chains.push_back({{5, 1, 2, 3}, {10, 11, 12}});
  // 5-1-2, U-turn at 2, back 2-1, U-turn at 1, 1-2, then 2-3: the chain's
  // prefix is broken by the reversals, the same links run twice.
  EXPECT_EQ(Route(n, {5, 1, 10}, {2, 3, 12}), 10u + 10 + 10 + 10);
  // With the reversal at 2 forbidden, the route goes round the square and
  // reverses at 2 coming from 3.
  n.restrictions.push_back({1, 2, 1, 11, 11});
  EXPECT_EQ(Route(n, {5, 1, 10}, {2, 3, 12}), 10u + 100 + 100 + 10);
  // A route that starts inside the chain is not bound by it.
  EXPECT_EQ(Route(n, {1, 2, 11}, {2, 3, 12}), 10u);
  // A chain over a link that does not exist never matches.
  n.chains.push_back({{1, 2, 99, 3}, {11, 12, 13}});
  EXPECT_EQ(Route(n, {1, 2, 11}, {2, 3, 12}), 10u);
}

TEST(RefRoute, AreaLinksOnlyAtTheEnds) {
  // 1 =a= 2 -- 3 =a= 4 -- 5: roads a are area roads.
  TNetwork n;
  AddRoad(n, 1, {1, 2}, 10, false, true);
  AddRoad(n, 2, {2, 3}, 10);
  AddRoad(n, 3, {3, 4}, 10, false, true);
  AddRoad(n, 4, {4, 5}, 10);
  // Out of an area, into another: fine.
  EXPECT_EQ(Route(n, {1, 2, 1}, {3, 4, 3}), 20u);
  // Through the second area: not allowed.
  EXPECT_EQ(Route(n, {1, 2, 1}, {4, 5, 4}), kNoPath);
  EXPECT_EQ(Route(n, {2, 3, 2}, {4, 5, 4}), kNoPath);
  // Starting in an area and leaving it is allowed.
  EXPECT_EQ(Route(n, {3, 4, 3}, {4, 5, 4}), 10u);
  // Within one area, any way.
  AddRoad(n, 5, {4, 6}, 10, false, true);
  EXPECT_EQ(Route(n, {3, 4, 3}, {4, 6, 5}), 10u);
  EXPECT_EQ(Route(n, {2, 3, 2}, {4, 6, 5}), 20u);
  // A detour around the area makes the far side reachable again.
  AddRoad(n, 6, {3, 7, 5}, 100);
  EXPECT_EQ(Route(n, {2, 3, 2}, {4, 5, 4}), 10u + 100 + 100 + 10);
}

TEST(RefRoute, AvoidingType0aLeavesSuchLinksOnlyLast) {
  TNetwork n;
  AddRoad(n, 1, {1, 2}, 10);
  AddRoad(n, 2, {2, 3}, 10, false, false, true);
  AddRoad(n, 3, {3, 4}, 10);
  AddRoad(n, 4, {2, 5, 3}, 50);
  EXPECT_EQ(Route(n, {1, 2, 1}, {3, 4, 3}), 20u);
  EXPECT_EQ(Route(n, {1, 2, 1}, {3, 4, 3}, true), 110u);
  // Reaching the 0x0a link is fine; leaving it is not.
  EXPECT_EQ(Route(n, {1, 2, 1}, {2, 3, 2}, true), 10u);
  EXPECT_EQ(Route(n, {2, 3, 2}, {3, 4, 3}, true), kNoPath);
}
