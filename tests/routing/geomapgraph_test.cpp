// The per-map CH graph on small hand-made maps (nodes, turn edges, costs of
// both metrics, restrictions, core nodes) and on seeded random street grids
// against a plain edge-based Dijkstra with the same turn rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "polski/polski_testutil.h"
#include "routing/geomapgraph.h"
#include "support/testutil.h"
#include "tests/routing/geomaptest.h"

using namespace GeoMapTest;
using CH::CGeoMapGraph;
using CH::TGeoMapNode;

namespace {

// .mp text of roads over a plane of points in steps of 0.001 degree.
class CMapText {
 public:
  struct TNod {
    uint32_t point, id;
    bool bound = false;
  };
  // speed class, road class, one-way; type "0x0a" for a road of that type.
  CMapText& Road(uint32_t id, std::vector<std::pair<double, double>> points, std::vector<TNod> nods,
                 bool oneWay = false, const char* type = "0x04", int speed = 4, int roadClass = 2, bool ext = false) {
    text += "[POLYLINE]\nType=" + std::string(type) + "\nRoadID=" + std::to_string(id) + "\n";
    text += "RouteParam=" + std::to_string(speed) + "," + std::to_string(roadClass) + "," + (oneWay ? "1" : "0") +
            ",0,0,0,0,0,0,0,0,0\n";
    if (ext) text += "RouteParamExt=1\n";
    text += "Data0=";
    for (size_t i = 0; i < points.size(); i++) {
      char p[64];
      std::snprintf(p, sizeof p, "%s(%.7f,%.7f)", i ? "," : "", 46 + points[i].second / 1000,
                    8 + points[i].first / 1000);
      text += p;
    }
    text += "\n";
    for (size_t i = 0; i < nods.size(); i++) {
      text += "Nod" + std::to_string(i + 1) + "=" + std::to_string(nods[i].point) + "," +
              std::to_string(nods[i].id) + (nods[i].bound ? ",1" : "") + "\n";
    }
    text += "[END]\n";
    return *this;
  }
  CMapText& Restrict(const std::vector<uint32_t>& points, const std::vector<uint32_t>& roads) {
    auto list = [](const std::vector<uint32_t>& v) {
      std::string s;
      for (size_t i = 0; i < v.size(); i++) s += (i ? "," : "") + std::to_string(v[i]);
      return s;
    };
    text += "[Restrict]\nTraffPoints=" + list(points) + "\nTraffRoads=" + list(roads) + "\n[END]\n";
    return *this;
  }
  std::string text = PolskiTest::kHeader;
};

struct TBuilt {
  explicit TBuilt(const CMapText& m) {
    EXPECT_EQ(PolskiTest::LoadText(map, m.text), nullptr);
    TestUtil::CStdoutCapture capture;
    ok = BuildRoadGraph(roads, map);
    log = capture.Finish();
  }
  PolskiFormat::CMap map;
  TRoadGraph roads;
  bool ok = false;
  std::string log;
};

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
    for (const CH::TChAdjEntry* e = n.outHead; e; e = e->next) EXPECT_EQ(e->other->rank, CH::kCoreRank);
  }
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

// Two parallel roads 71 and 72 from 2 to 3, each the inner link of a
// chain; the second, shorter one replaces the bypass made over the first,
// and searches must see the new cost in the linked lists too.
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

// ---- random street grids ----

struct TGrid {
  std::string text;
  std::vector<TLinkKey> links;  // every travelable direction
};

// A w x h grid of crossings, rows and columns cut into roads of one to three
// links with gaps; random one-ways, types, speeds, boundary nodes on the
// edge, turn restrictions (U-turns among them) and chains of 3 or 4 roads.
TGrid RandomGrid(uint32_t seed, uint32_t w, uint32_t h, uint32_t keys, uint32_t chains) {
  std::mt19937 rng(seed);
  auto chance = [&](uint32_t percent) { return rng() % 100 < percent; };
  CMapText m;
  TGrid grid;
  std::vector<std::pair<double, double>> at(w * h);
  for (auto& p : at) p = {double(rng() % 300) / 1000, double(rng() % 300) / 1000};
  uint32_t roadId = 1000;
  auto addRoads = [&](bool rows) {
    uint32_t lines = rows ? h : w, length = rows ? w : h;
    for (uint32_t line = 0; line < lines; line++) {
      for (uint32_t i = 0; i + 1 < length;) {
        uint32_t n = std::min<uint32_t>(1 + rng() % 3, length - 1 - i);
        if (chance(10)) {
          i += n;
          continue;
        }
        std::vector<std::pair<double, double>> points;
        std::vector<CMapText::TNod> nods;
        std::vector<uint32_t> ids;
        for (uint32_t k = 0; k <= n; k++) {
          uint32_t x = rows ? i + k : line, y = rows ? line : i + k;
          uint32_t id = 1 + y * w + x;
          bool edge = x == 0 || y == 0 || x + 1 == w || y + 1 == h;
          nods.push_back({static_cast<uint32_t>(points.size()), id, edge && chance(40)});
          points.push_back({x + at[id - 1].first, y + at[id - 1].second});
          ids.push_back(id);
        }
        bool oneWay = chance(20);
        bool slow = chance(15);
        m.Road(roadId, points, nods, oneWay, slow ? "0x0a" : "0x04", rng() % 8, rng() % 5);
        for (uint32_t k = 0; k < n; k++) {
          grid.links.emplace_back(ids[k], ids[k + 1], roadId);
          if (!oneWay) grid.links.emplace_back(ids[k + 1], ids[k], roadId);
        }
        roadId++;
        i += n;
      }
    }
  };
  addRoads(true);
  addRoads(false);
  // A random continuation of a link, or false.
  auto next = [&](const TLinkKey& l, TLinkKey* out) {
    std::vector<TLinkKey> options;
    for (const TLinkKey& k : grid.links)
      if (std::get<0>(k) == std::get<1>(l)) options.push_back(k);
    if (options.empty()) return false;
    *out = options[rng() % options.size()];
    return true;
  };
  for (uint32_t i = 0; i < keys && !grid.links.empty(); i++) {
    TLinkKey a = grid.links[rng() % grid.links.size()], c;
    if (!next(a, &c)) continue;
    m.Restrict({std::get<0>(a), std::get<1>(a), std::get<1>(c)}, {std::get<2>(a), std::get<2>(c)});
  }
  for (uint32_t i = 0; i < chains && !grid.links.empty(); i++) {
    std::vector<TLinkKey> walk{grid.links[rng() % grid.links.size()]};
    size_t want = 3 + rng() % 2;
    TLinkKey c;
    while (walk.size() < want && next(walk.back(), &c)) walk.push_back(c);
    if (walk.size() < want) continue;
    std::vector<uint32_t> points{std::get<0>(walk[0])}, roads;
    for (const TLinkKey& l : walk) {
      points.push_back(std::get<1>(l));
      roads.push_back(std::get<2>(l));
    }
    m.Restrict(points, roads);
  }
  grid.text = m.text;
  return grid;
}

// Every pair of a few sources and all targets: the contracted graph's
// distance equals the plain search's, with and without type 0x0a roads.
void CompareWithOracle(CGeoMapGraph& g, const TRoadGraph& roads, uint32_t metric, std::mt19937& rng,
                       uint32_t sources) {
  COracle oracle(roads, metric);
  CChQuery q(g);
  std::vector<const TGeoMapNode*> live;
  for (const TGeoMapNode& n : g.nodes)
    if (n.rank != CH::kExcludedRank) live.push_back(&n);
  ASSERT_FALSE(live.empty());
  for (uint32_t i = 0; i < sources; i++) {
    const TGeoMapNode* s = live[rng() % live.size()];
    for (bool avoid : {false, true}) {
      std::vector<uint64_t> expect = oracle.From(KeyOf(*s), avoid);
      for (const TGeoMapNode* t : live) {
        ASSERT_EQ(q.Distance(s, t, avoid), expect[oracle.Index(KeyOf(*t))])
            << "metric " << metric << (avoid ? " avoiding 0x0a " : " ") << s->StartNode() << "->" << s->EndNode()
            << "/" << s->RoadId() << " to " << t->StartNode() << "->" << t->EndNode() << "/" << t->RoadId();
      }
    }
  }
}

TEST(GeoMapGraph, RandomGridsMatchPlainSearch) {
  const uint32_t seeds = sizeof(void*) < 8 ? 4 : 16;  // the 32-bit build runs emulated
  for (uint32_t seed = 1; seed <= seeds; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TGrid grid = RandomGrid(seed, 6 + seed % 3, 6, 10, 6);
    TBuilt b(CMapText{grid.text});
    ASSERT_TRUE(b.ok) << b.log;
    std::mt19937 rng(seed);
    CGeoMapGraph g;
    g.Build(b.roads, CH::kMetricDistance, false, nullptr);
    CheckBuilt(g);
    CompareWithOracle(g, b.roads, CH::kMetricDistance, rng, 4);
    g.Build(b.roads, CH::kMetricTime, true, nullptr);
    CheckBuilt(g);
    CompareWithOracle(g, b.roads, CH::kMetricTime, rng, 4);
  }
}

// The same map gives the same graph, and the Time build over the Distance
// graph equals a Time build from scratch.
TEST(GeoMapGraph, BuildsAreDeterministic) {
  TGrid grid = RandomGrid(99, 9, 8, 12, 8);
  TBuilt b(CMapText{grid.text});
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
