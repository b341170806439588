// The per-map CH graph on small hand-made maps: nodes, turn edges, costs of
// both metrics, restrictions, chains, area roads and core nodes, checked
// against the reference router.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "routing/geomapgraph.h"
#include "tests/routing/geomaptest.h"

using namespace GeoMapTest;
using CH::CGeoMapGraph;
using CH::TGeoMapNode;

namespace {

TGeoMapNode* NodeOf(CGeoMapGraph& g, uint32_t start, uint32_t end, uint32_t road) {
  TGeoMapNode* n = g.FindNode(start, end, road);
  EXPECT_NE(n, nullptr) << start << "->" << end << " on " << road;
  return n;
}

// The Distance graph of a map whose road graph is valid, checked.
void BuildDistance(CGeoMapGraph& g, const TBuilt& b) {
  ASSERT_TRUE(b.ok) << b.log;
  g.Build(b.roads, CH::kMetricDistance, false, nullptr);
  CheckBuilt(g);
}

// Every pair of nodes that routes can start and end on (not those removed
// by a chain) is as far apart in the contracted graph as in the plain search.
void ExpectAllPairs(CGeoMapGraph& g, const TRoadGraph& roads, uint32_t metric) {
  COracle oracle(roads, metric);
  CChQuery q(g);
  for (const TGeoMapNode& s : g.nodes) {
    if (s.rank == CH::kExcludedRank) continue;
    std::vector<uint64_t> expect = oracle.From(KeyOf(s), false);
    for (const TGeoMapNode& t : g.nodes) {
      if (t.rank == CH::kExcludedRank) continue;
      EXPECT_EQ(q.Distance(&s, &t, false), expect[oracle.Index(KeyOf(t))])
          << s.StartNode() << "->" << s.EndNode() << "/" << s.RoadId() << " to " << t.StartNode() << "->"
          << t.EndNode() << "/" << t.RoadId();
    }
  }
}

// The turn edges from a node as (end node of the target, road of the target, cost).
std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> TurnsFrom(const CGeoMapGraph& g, const TGeoMapNode* from) {
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> out;
  for (size_t i = 0; i < g.TurnEdgeCount(); i++) {
    const CH::TChEdge& e = g.edges[i];
    if (e.from != from) continue;
    const TGeoMapNode& to = CGeoMapGraph::Node(e.to);
    out.emplace_back(to.EndNode(), to.RoadId(), CH::EdgeCost(e.word));
  }
  return out;
}

// A crossing at node 2: road 10 runs 1 - 2 - 3 west to east, road 11 is
// one-way from 2 north to 4, road 12 runs from 5 in the south to 2. Nodes 1
// and 3 are boundary nodes.
CMapText Cross() {
  CMapText m;
  m.Road(10, {{0, 0}, {1, 0}, {2, 0}}, {{0, 1, true}, {1, 2}, {2, 3, true}})
      .Road(11, {{1, 0}, {1, 1}}, {{0, 2}, {1, 4}}, true)
      .Road(12, {{1, -1}, {1, 0}}, {{0, 5}, {1, 2}});
  return m;
}

TEST(GeoMapGraph, NodesInLinkOrderWithDirectionsAndExternalFlags) {
  TBuilt b(Cross());
  ASSERT_TRUE(b.ok) << b.log;
  CGeoMapGraph g;
  g.BuildFromRoadGraph(b.roads, CH::kMetricDistance);
  struct TExpect {
    uint32_t start, end, road;
    uint8_t direction, startExternal, endExternal;
  };
  // The one-way road 11 gives one node; the two-way links two each.
  const std::vector<TExpect> expect = {{1, 2, 10, 1, 1, 0}, {2, 1, 10, 0, 0, 1}, {2, 3, 10, 1, 0, 1},
                                       {2, 4, 11, 1, 0, 0}, {2, 5, 12, 0, 0, 0}, {3, 2, 10, 0, 1, 0},
                                       {5, 2, 12, 1, 0, 0}};
  ASSERT_EQ(g.nodes.Size(), expect.size());
  for (size_t i = 0; i < expect.size(); i++) {
    const TGeoMapNode& n = g.nodes[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(n.StartNode(), expect[i].start);
    EXPECT_EQ(n.EndNode(), expect[i].end);
    EXPECT_EQ(n.RoadId(), expect[i].road);
    EXPECT_EQ(n.direction, expect[i].direction);
    EXPECT_EQ(n.startExternal, expect[i].startExternal);
    EXPECT_EQ(n.endExternal, expect[i].endExternal);
    EXPECT_EQ(n.id, i);
    EXPECT_EQ(n.flags, 0u);
  }
}

TEST(GeoMapGraph, TurnEdgesIncludeUTurnsAndCostTheFirstLink) {
  TBuilt b(Cross());
  CGeoMapGraph g;
  g.BuildFromRoadGraph(b.roads, CH::kMetricDistance);
  using T = std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>;
  const uint32_t west = b.roads.LinksFromBegin(1)->Metres();  // about 77 m
  ASSERT_NEAR(west, 77, 1);
  // Arriving at 2 from the west: back (a U-turn), on east, up the one-way and south.
  EXPECT_EQ(TurnsFrom(g, NodeOf(g, 1, 2, 10)), (T{{1, 10, west}, {3, 10, west}, {4, 11, west}, {5, 12, west}}));
  // The end of the one-way road leads nowhere; a dead end of a two-way road turns back.
  EXPECT_TRUE(TurnsFrom(g, NodeOf(g, 2, 4, 11)).empty());
  EXPECT_EQ(TurnsFrom(g, NodeOf(g, 2, 1, 10)), (T{{2, 10, west}}));
  EXPECT_EQ(g.edges.Size(), 4u * 3 + 1 + 1 + 1 + 0);  // three arrivals at 2, three dead ends
  for (const CH::TChEdge& e : g.edges) EXPECT_EQ(e.word & ~CH::kCostMask, 0u);
}

TEST(GeoMapGraph, RestrictionKeyRemovesExactlyThatTurn) {
  // No turn from the west up road 11, and no U-turn at 2 for traffic from the south.
  TBuilt b(Cross().Restrict({1, 2, 4}, {10, 11}).Restrict({5, 2, 5}, {12, 12}));
  ASSERT_TRUE(b.ok) << b.log;
  CGeoMapGraph g;
  g.BuildFromRoadGraph(b.roads, CH::kMetricDistance);
  using T = std::vector<std::tuple<uint32_t, uint32_t>>;
  auto targets = [&](uint32_t s, uint32_t e, uint32_t r) {
    T out;
    for (auto [end, road, cost] : TurnsFrom(g, NodeOf(g, s, e, r))) out.emplace_back(end, road);
    return out;
  };
  EXPECT_EQ(targets(1, 2, 10), (T{{1, 10}, {3, 10}, {5, 12}}));
  EXPECT_EQ(targets(3, 2, 10), (T{{1, 10}, {3, 10}, {4, 11}, {5, 12}}));
  EXPECT_EQ(targets(5, 2, 12), (T{{1, 10}, {3, 10}, {4, 11}}));

  g.Build(b.roads, CH::kMetricDistance, false, nullptr);
  CheckBuilt(g);
  ExpectAllPairs(g, b.roads, CH::kMetricDistance);
  // From the west onto road 11 only by turning back at 3.
  CChQuery q(g);
  const uint64_t link = b.roads.LinksFromBegin(1)->Metres();
  EXPECT_EQ(q.Distance(NodeOf(g, 1, 2, 10), NodeOf(g, 2, 4, 11), false), 3 * link);
  EXPECT_EQ(q.Distance(NodeOf(g, 3, 2, 10), NodeOf(g, 2, 4, 11), false), link);
}

TEST(GeoMapGraph, CostsOfBothMetrics) {
  // Road 20: 1 km east at 80 km/h; road 21: 0 m (both nodes on one point);
  // road 22: 1 m at 130 km/h; road 23: 0 m at 5 km/h.
  CMapText m;
  m.Road(20, {{0, 0}, {13, 0}}, {{0, 1}, {1, 2}})
      .Road(21, {{13, 0}, {13, 0}}, {{0, 2}, {1, 3}})
      .Road(22, {{13, 0}, {13.013, 0}}, {{0, 3}, {1, 4}}, false, "0x04", 9, 9)
      .Road(23, {{13.013, 0}, {13.013, 0}}, {{0, 4}, {1, 5}}, false, "0x04", 0, 0);
  TBuilt b(m);
  ASSERT_TRUE(b.ok) << b.log;
  const uint32_t metres = b.roads.LinksFromBegin(1)->Metres();
  ASSERT_NEAR(metres, 1005, 10);
  struct TCase {
    uint32_t start, end, road, distance, time;
  };
  const std::vector<TCase> cases = {
      {1, 2, 20, metres, metres * 576 / 800},
      {2, 3, 21, 1, 1},  // 0 m costs 1 in both metrics
      {3, 4, 22, 1, 1},  // 576 / 1300 truncates to 0, raised to 1
      {4, 5, 23, 1, 1},  // 0 m at 5 km/h: also 1 when the Time costs are recomputed
  };
  for (bool rebuild : {false, true}) {
    CGeoMapGraph g;
    if (rebuild) g.Build(b.roads, CH::kMetricDistance, false, nullptr);
    for (const TCase& c : cases) {
      if (!rebuild) {
        g.BuildFromRoadGraph(b.roads, CH::kMetricDistance);
        EXPECT_EQ(std::get<2>(TurnsFrom(g, NodeOf(g, c.start, c.end, c.road))[0]), c.distance) << c.road;
        g.BuildFromRoadGraph(b.roads, CH::kMetricTime);
      } else {
        g.Build(b.roads, CH::kMetricTime, true, nullptr);
      }
      for (auto [end, road, cost] : TurnsFrom(g, NodeOf(g, c.start, c.end, c.road))) EXPECT_EQ(cost, c.time) << c.road;
    }
  }
}

TEST(GeoMapGraph, RoadFlagsBecomeNodeAndEdgeBits) {
  // Road 31 has type 0x0a (its turns are restricted edges), road 32 RouteParamExt (area nodes).
  CMapText m;
  m.Road(30, {{0, 0}, {1, 0}}, {{0, 1}, {1, 2}})
      .Road(31, {{1, 0}, {2, 0}}, {{0, 2}, {1, 3}}, false, "0x0a")
      .Road(32, {{2, 0}, {3, 0}}, {{0, 3}, {1, 4}}, false, "0x04", 4, 2, true);
  TBuilt b(m);
  CGeoMapGraph g;
  g.BuildFromRoadGraph(b.roads, CH::kMetricDistance);
  for (const TGeoMapNode& n : g.nodes) EXPECT_EQ(n.IsArea(), n.RoadId() == 32) << n.RoadId();
  for (const CH::TChEdge& e : g.edges) {
    EXPECT_EQ((e.word & CH::kEdgeRestricted) != 0, CGeoMapGraph::Node(e.from).RoadId() == 31);
    EXPECT_EQ(e.word & CH::kEdgeLeavesArea, 0u);
  }
}

// A line of boundary-to-boundary roads: every node that routes enter or
// leave by is a core node, and a link between two boundary nodes is both.
TEST(GeoMapGraph, EntryAndExitNodesStayInTheCore) {
  CMapText m;
  m.Road(40, {{0, 0}, {1, 0}, {2, 0}, {3, 0}}, {{0, 1, true}, {1, 2}, {2, 3}, {3, 4, true}})
      .Road(41, {{3, 0}, {4, 0}}, {{0, 4, true}, {1, 5, true}}, true)
      .Road(42, {{1, 0}, {1, 1}}, {{0, 2}, {1, 6}});
  TBuilt b(m);
  CGeoMapGraph g;
  BuildDistance(g, b);
  size_t core = 0;
  for (const TGeoMapNode& n : g.nodes) {
    if (n.startExternal || n.endExternal) {
      EXPECT_EQ(n.rank, CH::kCoreRank) << n.StartNode() << "->" << n.EndNode();
    }
    core += n.rank == CH::kCoreRank;
  }
  EXPECT_EQ(NodeOf(g, 4, 5, 41)->rank, CH::kCoreRank);
  EXPECT_EQ(NodeOf(g, 6, 2, 42)->rank == CH::kCoreRank, false);
  EXPECT_GE(core, 5u);
  // The core keeps its edges among itself, linked both ways.
  for (const TGeoMapNode& n : g.nodes) {
    for (const CH::TChAdjEntry& e : n.out) EXPECT_EQ(e.other->rank, CH::kCoreRank);
  }
}

// Routes only enter (a one-way road from a boundary node): no route runs
// from an entry to an exit, so the core is the entry node alone and the
// contraction that would look for more is skipped; both metrics stay exact.
TEST(GeoMapGraph, MapWithoutExitsKeepsOnlyItsEntriesInTheCore) {
  CMapText m;
  m.Road(45, {{0, 0}, {1, 0}}, {{0, 1, true}, {1, 2}}, true)
      .Road(46, {{1, 0}, {2, 0}, {3, 0}}, {{0, 2}, {1, 3}, {2, 4}})
      .Road(47, {{1, 0}, {1, 1}, {2, 1}}, {{0, 2}, {1, 5}, {2, 3}});
  TBuilt b(m);
  CGeoMapGraph g;
  BuildDistance(g, b);
  EXPECT_TRUE(g.Stats().firstSkipped);
  EXPECT_EQ(g.Stats().entries, 1u);
  EXPECT_EQ(g.Stats().exits, 0u);
  for (const TGeoMapNode& n : g.nodes) {
    EXPECT_EQ(n.rank == CH::kCoreRank, n.StartNode() == 1) << n.StartNode() << "->" << n.EndNode();
  }
  ExpectAllPairs(g, b.roads, CH::kMetricDistance);
  g.Build(b.roads, CH::kMetricTime, true, nullptr);
  CheckBuilt(g);
  ExpectAllPairs(g, b.roads, CH::kMetricTime);

  // With an exit as well, the first contraction runs.
  TBuilt both(Cross());
  BuildDistance(g, both);
  EXPECT_FALSE(g.Stats().firstSkipped);
}

// A street 1 - 2 - 3 - 4 - 5 (roads 50..53, one link each) with side roads
// at 2, 3 and 4, so that every chain has other ways out.
CMapText Street() {
  CMapText m;
  for (uint32_t i = 0; i < 4; i++) {
    m.Road(50 + i, {{double(i), 0}, {double(i + 1), 0}}, {{0, 1 + i, i == 0}, {1, 2 + i, i == 3}});
  }
  for (uint32_t i = 1; i < 4; i++) m.Road(60 + i, {{double(i), 0}, {double(i), 1}}, {{0, 1 + i}, {1, 11 + i}});
  return m;
}

TEST(GeoMapGraph, ChainOfThreeRoadsForbidsOnlyItsSequence) {
  TBuilt b(Street().Restrict({1, 2, 3, 4}, {50, 51, 52}));
  ASSERT_TRUE(b.ok) << b.log;
  ASSERT_EQ(b.roads.RestrictionChains.Size(), 1u);
  for (uint32_t metric : {CH::kMetricDistance, CH::kMetricTime}) {
    CGeoMapGraph g;
    g.Build(b.roads, CH::kMetricDistance, false, nullptr);
    if (metric == CH::kMetricTime) g.Build(b.roads, metric, true, nullptr);
    CheckBuilt(g);
    EXPECT_EQ(NodeOf(g, 2, 3, 51)->rank, CH::kExcludedRank);
    EXPECT_NE(NodeOf(g, 3, 2, 51)->rank, CH::kExcludedRank);  // the other direction stays
    ExpectAllPairs(g, b.roads, metric);
    CChQuery q(g);
    auto cost = [&](uint32_t from, uint32_t road) {
      const TRoadLink* l = b.roads.LinksFromBegin(from);
      while (l->RoadId != road) l++;
      return CH::LinkCost(*l, *b.roads.FindRoad(road), metric);
    };
    const uint64_t straight = cost(1, 50) + cost(2, 51) + cost(3, 52);
    // Road 50 reaches road 53 only by a detour; other turns through the removed link survive.
    const TGeoMapNode* from = NodeOf(g, 1, 2, 50);
    EXPECT_GT(q.Distance(from, NodeOf(g, 4, 5, 53), false), straight);
    EXPECT_EQ(q.Distance(from, NodeOf(g, 3, 13, 62), false), cost(1, 50) + cost(2, 51));
    EXPECT_EQ(q.Distance(NodeOf(g, 4, 14, 63), NodeOf(g, 4, 5, 53), false), 2 * cost(4, 63));
  }
}

TEST(GeoMapGraph, ChainOfFourRoadsKeepsItsPrefixWithAnotherTurn) {
  TBuilt b(Street().Restrict({1, 2, 3, 4, 5}, {50, 51, 52, 53}));
  CGeoMapGraph g;
  BuildDistance(g, b);
  EXPECT_EQ(NodeOf(g, 2, 3, 51)->rank, CH::kExcludedRank);
  EXPECT_EQ(NodeOf(g, 3, 4, 52)->rank, CH::kExcludedRank);
  CChQuery q(g);
  uint64_t links[4];
  for (uint32_t i = 0; i < 4; i++) links[i] = b.roads.LinksFromBegin(i + 1)->Metres();
  const TGeoMapNode* from = NodeOf(g, 1, 2, 50);
  EXPECT_GT(q.Distance(from, NodeOf(g, 4, 5, 53), false), links[0] + links[1] + links[2]);
  EXPECT_EQ(q.Distance(from, NodeOf(g, 4, 14, 63), false), links[0] + links[1] + links[2]);
  EXPECT_EQ(q.Distance(NodeOf(g, 13, 3, 62), NodeOf(g, 4, 5, 53), false),
            b.roads.LinksFromBegin(3)[1].Metres() + links[2]);
}

// Two chains that share two links: the bypass made for one must not carry
// a path through the other, whichever is processed first.
TEST(GeoMapGraph, OverlappingChainsBothHold) {
  TBuilt b(Street().Restrict({1, 2, 3, 4}, {50, 51, 52}).Restrict({2, 3, 4, 5}, {51, 52, 53}));
  CGeoMapGraph g;
  BuildDistance(g, b);
  ExpectAllPairs(g, b.roads, CH::kMetricDistance);
  // Road 61 turning onto road 51 runs into the second chain: it may not go on to road 53.
  CChQuery q(g);
  uint64_t direct = 0;
  for (uint32_t node : {2, 3, 4}) direct += b.roads.LinksFromBegin(node)->Metres();
  EXPECT_GT(q.Distance(NodeOf(g, 12, 2, 61), NodeOf(g, 4, 5, 53), false),
            b.roads.LinksFromBegin(2)[1].Metres() + direct - b.roads.LinksFromBegin(4)->Metres());
}

// The length of the link from a node on a road.
uint64_t Metres(const TBuilt& b, uint32_t from, uint32_t road) {
  for (const TRoadLink* l = b.roads.LinksFromBegin(from); l != b.roads.LinksFromEnd(from); l++) {
    if (l->RoadId == road) return l->Metres();
  }
  ADD_FAILURE() << "no link from " << from << " on " << road;
  return 0;
}

// The cost of the shortest legal route between two oriented links, from the
// reference.
uint64_t Reference(const TBuilt& b, uint32_t metric, const TLinkKey& from, const TLinkKey& to) {
  COracle oracle(b.roads, metric);
  return oracle.From(from, false)[oracle.Index(to)];
}

// A square 1-2-3-4 with a tail 5-1 and the chain 5 -> 1 -> 2 -> 3: the
// shortest legal route runs 1 -> 2, turns back, turns back again at 1 and
// runs 1 -> 2 once more (the reversals break the chain).
TEST(GeoMapGraph, LoopRouteThroughAChain) {
  CMapText m;
  m.Road(80, {{-1, 0}, {0, 0}}, {{0, 5, true}, {1, 1}})
      .Road(81, {{0, 0}, {1, 0}}, {{0, 1}, {1, 2}})
      .Road(82, {{1, 0}, {1, 1}}, {{0, 2}, {1, 3}})
      .Road(83, {{1, 1}, {0.5, 5}, {0, 1}}, {{0, 3}, {2, 4}})
      .Road(84, {{0, 1}, {0, 0}}, {{0, 4}, {1, 1}})
      .Restrict({5, 1, 2, 3}, {80, 81, 82});
  TBuilt b(m);
  CGeoMapGraph g;
  BuildDistance(g, b);
  EXPECT_EQ(NodeOf(g, 1, 2, 81)->rank, CH::kExcludedRank);
  const uint64_t link = Metres(b, 5, 80), inner = Metres(b, 1, 81);
  ASSERT_LT(3 * inner, inner + Metres(b, 2, 82) + Metres(b, 3, 83) + Metres(b, 4, 84));  // shorter than the square
  EXPECT_EQ(Reference(b, CH::kMetricDistance, {5, 1, 80}, {2, 3, 82}), link + 3 * inner);
  ExpectAllPairs(g, b.roads, CH::kMetricDistance);
}

// Road 21 from 1 to 2 is the inner link of the chain 0 -> 1 -> 2 -> 3 and
// its reverse that of 6 -> 2 -> 1 -> 0, processed first: from 0 to 3 the
// route must turn back at 2 and at 1, a loop over the reverse link that
// returns to the link it left (and that is removed itself later).
TEST(GeoMapGraph, LoopOverARemovedLinkBackToItsOwnStart) {
  CMapText m;
  m.Road(20, {{0, 0}, {1, 0}}, {{0, 10, true}, {1, 11}})
      .Road(21, {{1, 0}, {1.2, 0}}, {{0, 11}, {1, 12}})
      .Road(22, {{1.2, 0}, {2.2, 0}}, {{0, 12}, {1, 13, true}})
      .Road(23, {{1, 0}, {1, 3}}, {{0, 11}, {1, 15}})
      .Road(10, {{1.2, 0}, {1.2, 3}}, {{0, 12}, {1, 16}})
      .Restrict({10, 11, 12, 13}, {20, 21, 22})
      .Restrict({16, 12, 11, 10}, {10, 21, 20});
  TBuilt b(m);
  CGeoMapGraph g;
  BuildDistance(g, b);
  EXPECT_EQ(NodeOf(g, 11, 12, 21)->rank, CH::kExcludedRank);
  EXPECT_EQ(NodeOf(g, 12, 11, 21)->rank, CH::kExcludedRank);
  const uint64_t first = Metres(b, 10, 20), inner = Metres(b, 11, 21);
  EXPECT_EQ(Reference(b, CH::kMetricDistance, {10, 11, 20}, {12, 13, 22}), first + 3 * inner);
  ExpectAllPairs(g, b.roads, CH::kMetricDistance);
  CChQuery q(g);
  EXPECT_EQ(q.Distance(NodeOf(g, 10, 11, 20), NodeOf(g, 12, 13, 22), false), first + 3 * inner);
}

// Two roads from 22 to 23, the short 31 and the long 32, each the inner
// link of a chain between the one-way side roads 44 and 45 (one-ways
// leave no reversal to break the chains with); the link 21 ->
// 22 is the inner link of the longer chain 20 -> 21 -> 22 (31) -> 23 -> 24,
// processed last. The segment over 31 is cheaper, but from 20 only the one
// over 32 is open: both must survive.
TEST(GeoMapGraph, CostlierSegmentThatAChainLeavesOpen) {
  CMapText m;
  m.Road(40, {{0, 0}, {1, 0}}, {{0, 20, true}, {1, 21}})
      .Road(41, {{1, 0}, {2, 0}}, {{0, 21}, {1, 22}}, true)
      .Road(31, {{2, 0}, {3, 0}}, {{0, 22}, {1, 23}}, true)
      .Road(32, {{2, 0}, {2.5, 2}, {3, 0}}, {{0, 22}, {2, 23}})
      .Road(43, {{3, 0}, {4, 0}}, {{0, 23}, {1, 24, true}})
      .Road(44, {{2, -1}, {2, 0}}, {{0, 25}, {1, 22}}, true)
      .Road(45, {{3, 0}, {3, -1}}, {{0, 23}, {1, 26}}, true)
      .Restrict({25, 22, 23, 26}, {44, 31, 45})
      .Restrict({25, 22, 23, 26}, {44, 32, 45})
      .Restrict({20, 21, 22, 23, 24}, {40, 41, 31, 43});
  TBuilt b(m);
  CGeoMapGraph g;
  BuildDistance(g, b);
  EXPECT_EQ(NodeOf(g, 21, 22, 41)->rank, CH::kExcludedRank);
  const uint64_t viaLong = Metres(b, 20, 40) + Metres(b, 21, 41) + Metres(b, 22, 32);
  ASSERT_LT(Metres(b, 22, 31), Metres(b, 22, 32));
  EXPECT_EQ(Reference(b, CH::kMetricDistance, {20, 21, 40}, {23, 24, 43}), viaLong);
  ExpectAllPairs(g, b.roads, CH::kMetricDistance);
}

// Two parallel roads 71 and 72 from 2 to 3, each the inner link of a
// chain: the bypass from 70 to 73 runs over the shorter one.
TEST(GeoMapGraph, CheaperBypassReplacesTheEarlierOne) {
  CMapText m;
  m.Road(70, {{0, 0}, {1, 0}}, {{0, 1, true}, {1, 2}})
      .Road(71, {{1, 0}, {1.5, 2}, {2, 0}}, {{0, 2}, {2, 3}})
      .Road(72, {{1, 0}, {2, 0}}, {{0, 2}, {1, 3}})
      .Road(73, {{2, 0}, {3, 0}}, {{0, 3}, {1, 4, true}})
      .Road(74, {{1, 0}, {1, -1}}, {{0, 2}, {1, 5}})
      .Road(75, {{2, 0}, {2, -1}}, {{0, 3}, {1, 6}})
      .Restrict({5, 2, 3, 6}, {74, 71, 75})
      .Restrict({5, 2, 3, 6}, {74, 72, 75});
  TBuilt b(m);
  CGeoMapGraph g;
  BuildDistance(g, b);
  size_t bypasses = 0;
  for (const CH::TChEdge& e : g.edges) {
    if (!e.via || e.via->rank != CH::kExcludedRank) continue;
    bypasses++;
    if (e.from == g.FindNode(1, 2, 70) && e.to == g.FindNode(3, 4, 73)) {
      EXPECT_EQ(e.via, g.FindNode(2, 3, 72));
    }
  }
  EXPECT_GT(bypasses, 0u);
  ExpectAllPairs(g, b.roads, CH::kMetricDistance);
}

TEST(GeoMapGraph, EmptyMapAndStopFlag) {
  CMapText m;
  TBuilt empty(m);
  CGeoMapGraph g;
  g.Build(empty.roads, CH::kMetricDistance, false, nullptr);
  g.Build(empty.roads, CH::kMetricTime, true, nullptr);
  EXPECT_EQ(g.nodes.Size(), 0u);
  EXPECT_EQ(g.edges.Size(), 0u);

  TBuilt b(Street());
  bool stop = true;
  CGeoMapGraph h;
  h.Build(b.roads, CH::kMetricDistance, false, &stop);  // returns, unusable
  EXPECT_EQ(h.nodes.Size(), 14u);
  stop = false;
  h.Build(b.roads, CH::kMetricTime, true, &stop);
  CheckBuilt(h);
}

// The same map gives the same graph, and the Time build over the Distance
// graph equals a Time build from scratch.
TEST(GeoMapGraph, BuildsAreDeterministic) {
  TBuilt b(RandomGrid(99, {9, 8, 12, 8, 2}));
  ASSERT_TRUE(b.ok) << b.log;
  auto image = [](const CGeoMapGraph& g) {
    std::vector<int64_t> out;
    for (const TGeoMapNode& n : g.nodes) out.insert(out.end(), {n.rank, n.StartNode(), n.EndNode(), n.RoadId()});
    for (const CH::TChEdge& e : g.edges) {
      out.insert(out.end(), {int64_t(g.Index(e.from)), int64_t(g.Index(e.to)), e.word,
                             e.via ? int64_t(g.Index(e.via)) : -1});
    }
    return out;
  };
  CGeoMapGraph a, c, d;
  a.Build(b.roads, CH::kMetricDistance, false, nullptr);
  c.Build(b.roads, CH::kMetricDistance, false, nullptr);
  EXPECT_EQ(image(a), image(c));
  a.Build(b.roads, CH::kMetricTime, true, nullptr);
  d.Build(b.roads, CH::kMetricTime, false, nullptr);
  EXPECT_EQ(image(a), image(d));
  EXPECT_NE(image(a), image(c));
}

}  // namespace
