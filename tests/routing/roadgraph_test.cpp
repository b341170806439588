// The road graph on small hand-made maps: topology, orders over ids that
// pass 2^31, restrictions, lane connections, the turn walk and every
// validation message with its trigger.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/config.h"
#include "mapfile/writer.h"
#include "polski/polski_testutil.h"
#include "routing/maprouting.h"
#include "routing/roadgraph.h"
#include "support/testutil.h"

using namespace PolskiFormat;

namespace {

// A point of the test grid: x east, y north, in steps of 0.001 degree
// (about 77 m east, 111 m north at latitude 46).
std::string P(double x, double y) {
  char text[64];
  std::snprintf(text, sizeof text, "(%.6f,%.6f)", 46 + y / 1000, 8 + x / 1000);
  return text;
}

struct TRoadSpec {
  TRoadSpec(uint32_t id, std::vector<std::pair<double, double>> points, std::vector<std::string> nodes,
            std::string param = "RouteParam=4,2,0,0,0,0,0,0,0,0,0,0", std::string extra = "",
            std::string type = "0x04")
      : id(id), points(std::move(points)), nodes(std::move(nodes)), param(std::move(param)),
        extra(std::move(extra)), type(std::move(type)) {}
  uint32_t id;
  std::vector<std::pair<double, double>> points;
  std::vector<std::string> nodes;  // "index,id[,bound]"
  std::string param;
  std::string extra;
  std::string type;
};

std::string RoadText(const TRoadSpec& r) {
  std::string text = "[POLYLINE]\nType=" + r.type + "\nRoadID=" + std::to_string(r.id) + "\n";
  if (!r.param.empty()) text += r.param + "\n";
  text += "Data0=";
  for (size_t i = 0; i < r.points.size(); i++) text += (i ? "," : "") + P(r.points[i].first, r.points[i].second);
  text += "\n";
  for (size_t i = 0; i < r.nodes.size(); i++) text += "Nod" + std::to_string(i + 1) + "=" + r.nodes[i] + "\n";
  return text + r.extra + "[END]\n";
}

std::string Restrict(const std::string& points, const std::string& roads) {
  return "[Restrict]\nTraffPoints=" + points + "\nTraffRoads=" + roads + "\n[END]\n";
}

std::string LaneRecord(const std::string& points, const std::string& roads, const std::string& pairs) {
  return "[Lane Connection]\nLanePoints=" + points + "\nLaneRoads=" + roads + "\nLaneConnections=" + pairs +
         "\n[END]\n";
}

const char* kOneWay = "RouteParam=4,2,1,0,0,0,0,0,0,0,0,0";

// Loads the map, builds its graph and keeps the log lines it printed.
struct TGraphFixture {
  CMap map;
  TRoadGraph graph;
  bool built = false;
  std::string log;

  explicit TGraphFixture(const std::string& body) {
    EXPECT_EQ(PolskiTest::LoadText(map, PolskiTest::kHeader + body), nullptr);
    TestUtil::CStdoutCapture capture;
    built = BuildRoadGraph(graph, map);
    log = TestUtil::MaskTimestamps(capture.Finish());
  }

  std::vector<const TRoadLink*> Exits(uint32_t a, uint32_t b, uint32_t c) const {
    CReallocArray<const TRoadLink*> out;
    graph.GetAllowedExits(a, b, c, out);
    return {out.begin(), out.end()};
  }
  std::vector<const TRoadLink*> Entries(uint32_t a, uint32_t b, uint32_t c) const {
    CReallocArray<const TRoadLink*> out;
    graph.GetAllowedEntries(a, b, c, out);
    return {out.begin(), out.end()};
  }
};

// (far node, road) of each link seen from node `at`, in list order.
std::vector<std::pair<uint32_t, uint32_t>> Legs(const std::vector<const TRoadLink*>& links, uint32_t at) {
  std::vector<std::pair<uint32_t, uint32_t>> legs;
  for (const TRoadLink* l : links) legs.emplace_back(l->FarEnd(at), l->RoadId);
  return legs;
}

// n10 - n11 - n12 - n15 west to east (roads 1 and 4, n15 a dead end and a
// boundary node); road 2 one-way north from n11 to n13; road 3 from n14 in
// the south to n11; road 5 crosses road 1 at a shape point that is no node.
// Road 6 is closed to cars, road 7 has no routing.
std::string Junctions(const std::string& more = "") {
  return RoadText({1, {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}, {"0,10", "2,11", "4,12"}}) +
         RoadText({2, {{2, 0}, {2, 1}, {2, 2}}, {"0,11", "2,13"}, kOneWay}) +
         RoadText({3, {{2, -2}, {2, 0}}, {"0,14", "1,11"}}) +
         RoadText({4, {{4, 0}, {5, 0}}, {"0,12", "1,15,1"}}) +
         RoadText({5, {{1, -1}, {1, 0}, {1, 1}}, {"0,20", "2,21"}}) +
         RoadText({6, {{0, 0}, {0, 3}}, {"0,10", "1,30"}, "RouteParam=4,2,0,0,0,0,1,0,0,0,0,0"}) +
         "[POLYLINE]\nType=0x04\nData0=" + P(2, 0) + "," + P(3, 3) + "\n[END]\n" + more;
}

TEST(RoadGraph, SharedNodesDeadEndsAndOneWays) {
  TGraphFixture f(Junctions());
  ASSERT_TRUE(f.built) << f.log;
  const TRoadGraph& g = f.graph;
  ASSERT_EQ(g.Roads.Size(), 5u);
  for (uint32_t i = 0; i < 5; i++) EXPECT_EQ(g.Roads[i].RoadId, i + 1);
  std::vector<uint32_t> nodes;
  for (const TGraphNode& n : g.Nodes) nodes.push_back(n.NodeId);
  EXPECT_EQ(nodes, (std::vector<uint32_t>{10, 11, 12, 13, 14, 15, 20, 21}));
  EXPECT_EQ(g.Links.Size(), 6u);
  EXPECT_EQ(g.LinksByTo.Size(), 6u);
  EXPECT_EQ(g.NodeRoads.Size(), 11u);
  EXPECT_TRUE(g.FindNode(15)->External);
  EXPECT_FALSE(g.FindNode(12)->External);
  EXPECT_EQ(g.FindNode(11)->Point, DegreesToGeoPoint(8.002, 46));

  // Road 1's first link spans two shape points: about 2 x 77.2 m.
  const TRoadLink* first = g.LinksFromBegin(10);
  ASSERT_EQ(first->To, 11u);
  EXPECT_NEAR(first->Metres(), 154.6, 2);
  EXPECT_FALSE(first->OneWay());
  EXPECT_TRUE(g.LinksFromBegin(11)[1].OneWay() || g.LinksFromBegin(11)[0].OneWay());

  using Legs_t = std::vector<std::pair<uint32_t, uint32_t>>;
  // At n11 from the west: on along road 1, up the one-way road 2, back
  // (the U-turn is listed), down road 3 against its point order.
  EXPECT_EQ(Legs(f.Exits(10, 11, 1), 11), (Legs_t{{12, 1}, {13, 2}, {10, 1}, {14, 3}}));
  // The end of the one-way road: it may not be left backwards.
  EXPECT_TRUE(f.Exits(11, 13, 2).empty());
  // A dead end of a two-way road: only back.
  EXPECT_EQ(Legs(f.Exits(12, 15, 4), 15), (Legs_t{{12, 4}}));
  // Into road 2 at n11: from n12 and n10 on road 1 and from n14; not from
  // n13 (one-way).
  EXPECT_EQ(Legs(f.Entries(11, 13, 2), 11), (Legs_t{{12, 1}, {10, 1}, {14, 3}}));
  // Roads that only cross at a shape point do not meet.
  EXPECT_EQ(Legs(f.Exits(20, 21, 5), 21), (Legs_t{{20, 5}}));
  EXPECT_EQ(f.graph.FindRoad(6), nullptr);
  EXPECT_EQ(f.graph.FindNode(30), nullptr);

  // Positions of the nodes on their roads.
  const TNodeRoadRef* refs = FindRoadLinksByNode(g, 11);
  const TNodeRoadRef* r1 = FindLinkRecord(refs, g.NodeRoads.end(), 11, 1);
  ASSERT_NE(r1, nullptr);
  EXPECT_EQ(r1->Position, 1u);
  EXPECT_EQ(FindLinkRecord(refs, g.NodeRoads.end(), 11, 4), nullptr);
}

TEST(RoadGraph, RoadWords) {
  TGraphFixture f(RoadText({1, {{0, 0}, {1, 0}}, {"0,1", "1,2"}, ""}) +
                  RoadText({2, {{0, 0}, {1, 0}}, {"0,1", "1,2"}, "RouteParam=9,9,1,0"}) +
                  RoadText({3, {{0, 0}, {1, 0}}, {"0,1", "1,2"}, "RouteParam=3,2\nRouteParamExt=1", "", "0x0a"}) +
                  RoadText({4, {{0, 0}, {1, 0}}, {"0,1", "1,2"}, "RouteParam=0,4", "", "0x10e01"}));
  ASSERT_EQ(f.graph.Roads.Size(), 4u);
  // No speed or road class: 5 - 10 gives the floor of 5 km/h.
  EXPECT_EQ(f.graph.Roads[0].Word, 4u | 5u << 16);
  // Classes above the tables take their last rows: 120 + 10, one-way.
  EXPECT_EQ(f.graph.Roads[1].Word, 4u | 130u << 16 | kRoadOneWay);
  EXPECT_EQ(f.graph.Roads[2].Word, 0x0au | 60u << 16 | kRoadType0A | kRoadExt);
  EXPECT_EQ(f.graph.Roads[3].Word, 0x0e01u | 15u << 16);
  EXPECT_EQ(f.graph.Roads[3].Speed(), 15);
}

TEST(RoadGraph, OneRouteNodeGivesNoLink) {
  TGraphFixture f(RoadText({1, {{0, 0}, {1, 0}}, {"1,5"}}));
  ASSERT_TRUE(f.built);
  EXPECT_EQ(f.graph.Roads.Size(), 1u);
  EXPECT_EQ(f.graph.Nodes.Size(), 1u);
  EXPECT_EQ(f.graph.NodeRoads.Size(), 1u);
  EXPECT_EQ(f.graph.Links.Size(), 0u);
}

TEST(RoadGraph, IdsBeyondTwoToThe31) {
  // 2147483648 and 4294967294 are negative as signed ids and sort first in
  // Nodes, last in NodeRoads; every look-up must find them.
  const uint32_t big = 2147483648u, top = 4294967294u, road = 3000000000u;
  TGraphFixture f(RoadText({road, {{0, 0}, {1, 0}, {2, 0}}, {"0,5", "1," + std::to_string(big), "2,2147483647"}}) +
                  RoadText({7, {{1, 0}, {1, 1}}, {"0," + std::to_string(big), "1," + std::to_string(top)}}) +
                  Restrict("5," + std::to_string(big) + "," + std::to_string(top), std::to_string(road) + ",7"));
  ASSERT_TRUE(f.built) << f.log;
  const TRoadGraph& g = f.graph;
  std::vector<uint32_t> nodes;
  for (const TGraphNode& n : g.Nodes) nodes.push_back(n.NodeId);
  EXPECT_EQ(nodes, (std::vector<uint32_t>{big, top, 5, 2147483647u}));
  EXPECT_EQ(g.Roads[0].RoadId, road);
  EXPECT_EQ(g.Roads[1].RoadId, 7u);
  EXPECT_EQ(g.NodeRoads.Back().NodeId, top);
  for (uint32_t id : nodes) EXPECT_NE(g.FindNode(id), nullptr) << id;
  ASSERT_NE(g.FindRoad(road), nullptr);
  ASSERT_NE(FindRoadById(f.map, road), nullptr);
  EXPECT_EQ(FindRoadById(f.map, road)->RoadId, road);
  EXPECT_TRUE(g.HasRestrictionKey(5, big, top, road, 7));

  using Legs_t = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(Legs(f.Exits(5, big, road), big), (Legs_t{{2147483647u, road}, {5, road}}));
  EXPECT_EQ(Legs(f.Exits(top, big, 7), big), (Legs_t{{2147483647u, road}, {top, 7}, {5, road}}));
  const TNodeRoadRef* ref = FindRoadLinksByNode(g, big);
  ASSERT_NE(FindLinkRecord(ref, g.NodeRoads.end(), big, 7), nullptr);
  EXPECT_EQ(FindLinkRecord(ref, g.NodeRoads.end(), big, road)->Position, 1u);
}

TEST(RoadGraph, RestrictionsOnLinks) {
  TGraphFixture f(Junctions(Restrict("10,11,13", "1,2") + Restrict("10,11", "1") + Restrict("10,11,12", "1") +
                            Restrict("14,11,12,15", "3,1") + Restrict("14,11,12,15", "3,1,4") +
                            Restrict("10,11,12,15", "1,1,4")));
  ASSERT_TRUE(f.built) << f.log;
  EXPECT_EQ(f.log, "");
  ASSERT_EQ(f.graph.RestrictionKeys.Size(), 1u);
  // The restricted turn from road 1 into road 2 is gone, the others stay.
  using Legs_t = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(Legs(f.Exits(10, 11, 1), 11), (Legs_t{{12, 1}, {10, 1}, {14, 3}}));
  EXPECT_EQ(Legs(f.Exits(14, 11, 3), 11), (Legs_t{{12, 1}, {13, 2}, {10, 1}, {14, 3}}));
  EXPECT_EQ(Legs(f.Entries(11, 13, 2), 11), (Legs_t{{12, 1}, {14, 3}}));
  // Chains in their order: road 1 before road 3 first.
  ASSERT_EQ(f.graph.RestrictionChains.Size(), 2u);
  EXPECT_EQ(f.graph.RestrictionChains[0].Roads[0], 1u);
  EXPECT_EQ(f.graph.RestrictionChains[1].Nodes.Size(), 4u);
  EXPECT_EQ(f.graph.RestrictionChains[1].Nodes[0], 14u);
}

TEST(RoadGraph, UnusableChainsAreDropped) {
  // Inner boundary node n15; inner node 99 that no road has.
  TGraphFixture f(Junctions(Restrict("10,12,15,12", "1,4,4") + Restrict("14,99,11,12", "3,3,1") +
                            Restrict("14,11,12,15", "3,1,4")));
  EXPECT_TRUE(f.built);
  EXPECT_EQ(f.log, "T: Bad restriction (10, 12)\nT: Bad restriction (14, 12)\n");
  ASSERT_EQ(f.graph.RestrictionChains.Size(), 1u);
  EXPECT_EQ(f.graph.RestrictionChains[0].Nodes[0], 14u);
  EXPECT_EQ(f.graph.RestrictionChains[0].Roads[2], 4u);
}

TEST(RoadGraph, ChainOrder) {
  auto chain = [](std::vector<uint32_t> roads, std::vector<uint32_t> nodes) {
    TRestrictionChain c;
    c.Roads.Assign(roads.data(), roads.size());
    c.Nodes.Assign(nodes.data(), nodes.size());
    return c;
  };
  struct TCase {
    std::vector<uint32_t> xr, xn, yr, yn;
    bool less;
  } cases[] = {
      {{5, 5, 5}, {1, 2, 3, 4}, {1, 1, 1, 1}, {1, 2, 3, 4, 5}, true},   // fewer roads first
      {{1, 1, 1}, {9, 2, 3, 4}, {2, 1, 1}, {1, 2, 3, 4}, true},         // road 0 before node 0
      {{1, 1, 1}, {2, 2, 3, 4}, {1, 1, 1}, {1, 2, 3, 4}, false},        // then node 0
      {{3000000000u, 1, 1}, {1, 2, 3, 4}, {1, 1, 1}, {1, 2, 3, 4}, true},  // signed
      {{1, 1, 1}, {1, 2, 3, 4}, {1, 1, 1}, {1, 2, 3, 5}, true},         // the last node decides
      {{1, 1, 1}, {1, 2, 3, 4}, {1, 1, 1}, {1, 2, 3, 4}, false},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(CompareRestrictionChains(chain(c.xr, c.xn), chain(c.yr, c.yn)), c.less) << c.xr[0] << " " << c.xn[0];
  }
}

// West-east road 1 (n1 - n2) into a crossing: road 2 on east to n3, road 3
// north to n4, road 4 south to n5 (its point order runs from n2 to n5).
std::string Crossing(const std::string& lanes1, const std::string& more = "") {
  return RoadText({1, {{0, 0}, {2, 0}}, {"0,1", "1,2"}, "RouteParam=4,2,0,0,0,0,0,0,0,0,0,0", lanes1}) +
         RoadText({2, {{2, 0}, {4, 0}}, {"0,2", "1,3"}}) + RoadText({3, {{2, 0}, {2, 2}}, {"0,2", "1,4"}}) +
         RoadText({4, {{2, 0}, {2, -2}}, {"0,2", "1,5"}, "RouteParam=4,2,0,0,0,0,0,0,0,0,0,0",
                   "TurnLanesBackward=slight_left|through|right\n"}) +
         more;
}

std::string LaneText(const TLaneConnection& c) {
  char text[96];
  std::snprintf(text, sizeof text, "%u>%u>%u r%u>%u %02x %u %d %d", c.FromNode, c.ViaNode, c.ToNode, c.EntryRoad,
                c.ExitRoad, c.Lanes, c.ExitLanes, c.EntryBias, c.ExitBias);
  return text;
}

std::vector<std::string> LaneTexts(const TRoadGraph& g) {
  std::vector<std::string> texts;
  for (const TLaneConnection& c : g.LaneConnections) texts.push_back(LaneText(c));
  return texts;
}

TEST(RoadGraph, TurnLanesOfTheRoads) {
  TGraphFixture f(Crossing("TurnLanes=left|through|right;merge_to_left\n"));
  ASSERT_TRUE(f.built) << f.log;
  EXPECT_EQ(f.log, "");
  // Eastward on road 1: left lane to the north, middle and right lanes on
  // (the merge counts as through), right lane south; the U-turn finds no
  // reverse lane. Northward on road 4 (against
  // its points): the slight-left lane has no exit of its own and joins the
  // through lanes (lanes 0-1 to the north); the right lane turns east.
  EXPECT_EQ(LaneTexts(f.graph), (std::vector<std::string>{
                                    "1>2>3 r1>2 21 0 0 1",
                                    "1>2>4 r1>3 10 0 0 1",
                                    "1>2>5 r1>4 12 0 0 1",
                                    "5>2>3 r4>2 12 0 0 0",
                                    "5>2>4 r4>3 20 0 0 0",
                                }));
  EXPECT_NE(f.graph.FindLaneConnection(5, 2, 4, 4, 3), nullptr);
  EXPECT_EQ(f.graph.FindLaneConnection(5, 2, 1, 4, 1), nullptr);
}

// Eastward on road 1 into node 2, with a turn lane of every direction and
// an exit for each: the U-turn, sharp, plain and slight turns both ways and
// straight on. Each exit takes the one lane of its direction.
TEST(RoadGraph, TurnLanesOfEveryDirection) {
  std::string body = RoadText({1, {{0, 0}, {2, 0}}, {"0,1", "1,2"}, "RouteParam=4,2,0,0,0,0,0,0,0,0,0,0",
                               "TurnLanes=reverse|sharp_left|left|slight_left|through|slight_right|right|sharp_right\n"});
  const std::vector<std::pair<double, double>> ends = {{4, 0},   {2, 2},    {2, -2}, {3, 0.6},
                                                       {3, -0.6}, {1, 0.4}, {1, -0.4}};
  for (size_t i = 0; i < ends.size(); i++) {
    const uint32_t road = static_cast<uint32_t>(i + 2), far = static_cast<uint32_t>(i + 3);
    body += RoadText({road, {{2, 0}, ends[i]}, {"0,2", "1," + std::to_string(far)}});
  }
  TGraphFixture f(body);
  ASSERT_TRUE(f.built) << f.log;
  EXPECT_EQ(f.log, "");
  EXPECT_EQ(LaneTexts(f.graph), (std::vector<std::string>{
                                    "1>2>1 r1>1 10 0 0 0",  // reverse
                                    "1>2>3 r1>2 14 0 0 0",  // through
                                    "1>2>4 r1>3 12 0 0 0",  // left
                                    "1>2>5 r1>4 16 0 0 0",  // right
                                    "1>2>6 r1>5 13 0 0 0",  // slight left
                                    "1>2>7 r1>6 15 0 0 0",  // slight right
                                    "1>2>8 r1>7 11 0 0 0",  // sharp left
                                    "1>2>9 r1>8 17 0 0 0",  // sharp right
                                }));
}

TEST(RoadGraph, LaneConnectionRecords) {
  // Entry lanes 1 and 3 (0 and 2) only: a gap. Road 2 gives no lane count
  // and receives one; road 3 has one lane but the record uses two.
  TGraphFixture f(Crossing("TurnLanes=left|through|right\n",
                           "[POLYLINE]\nType=0x04\nRoadID=9\nRouteParam=4,2\nTrafficLanes=1,0,0,1\nData0=" +
                               P(0, 5) + "," + P(1, 5) + "\nNod1=0,40\nNod2=1,41\n[END]\n" +
                               LaneRecord("1,2,3", "1,2", "(1,1),(3,2),(3,1)") +
                               LaneRecord("1,2,4", "1,3", "(1,1),(2,2),(3,3),(4,4),(5,5),(6,6),(7,7),(8,8),"
                                                          "(9,9),(10,10),(11,11),(12,12),(13,13),(14,14),(15,15),(16,16)") +
                               LaneRecord("40,41,5", "9,4", "(1,2)") + LaneRecord("41,40,7", "9,9", "(2,2)") +
                               LaneRecord("1,2,5", "1,4", "(17,1)")));
  ASSERT_TRUE(f.built) << f.log;
  EXPECT_EQ(f.log,
            "T: Bad lanes connection: 1 -> 2 -> 3 [46.000000, 8.002000]\n"
            "T: Wrong lanes count: roadId = 1, nodes 1 -> 2 -> 4 [46.000000, 8.002000]\n"
            "T: Wrong lanes count: roadId = 9, nodes 41 -> 40 -> 7 [46.005000, 8.000000]\n");
  // The record wins over the derived connection of the same key.
  const TLaneConnection* c = f.graph.FindLaneConnection(1, 2, 3, 1, 2);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(LaneText(*c), "1>2>3 r1>2 20 2 1 -1");
  EXPECT_EQ(FindRoadById(f.map, 2)->LanesForward, 2);
  // Sixteen lanes do not fit a nibble: the count stays at 15.
  EXPECT_EQ(LaneText(*f.graph.FindLaneConnection(1, 2, 4, 1, 3)), "1>2>4 r1>3 f0 16 0 0");
  EXPECT_EQ(FindRoadById(f.map, 3)->LanesForward, 16);
  // Against road 9's points: its backward count is the one checked.
  EXPECT_EQ(FindRoadById(f.map, 9)->LanesBackward, 1);
  // A record whose pairs were all out of range connects nothing.
  EXPECT_EQ(LaneText(*f.graph.FindLaneConnection(1, 2, 5, 1, 4)), "1>2>5 r1>4 12 0 0 0");
}

TEST(RoadGraph, BadTurnLanes) {
  TGraphFixture f(Crossing("TurnLanes=left|through|left\n"));
  EXPECT_TRUE(f.built);
  EXPECT_EQ(f.log, "T: Bad lanes connection: roadId = 1, [46.000000, 8.002000]\n");
}

TEST(RoadGraph, WalkLinksFollowsTheOnlyWayOn) {
  // A 15 m link east, then the only way on turns north: over 30 m the path
  // turns 90 degrees left. With a second way on the walk stops at the node.
  std::string body = RoadText({1, {{0, 0}, {0.2, 0}}, {"0,1", "1,2"}}) +
                     RoadText({2, {{0.2, 0}, {0.2, 1}}, {"0,2", "1,3"}});
  TGraphFixture one(body);
  EXPECT_EQ(WalkLinks(one.graph, one.map, 1, 2, 1, 30, 90), -90);
  EXPECT_EQ(WalkLinks(one.graph, one.map, 1, 2, 1, 10, 90), 0);
  TGraphFixture two(body + RoadText({3, {{0.2, 0}, {0.2, -1}}, {"0,2", "1,4"}}));
  EXPECT_EQ(WalkLinks(two.graph, two.map, 1, 2, 1, 30, 90), 0);
  // Against the points of road 2, turning right onto road 1's reverse.
  EXPECT_EQ(WalkLinks(one.graph, one.map, 3, 2, 2, 300, 180), 90);
}

TEST(RoadGraph, WalkLinksEndsOnARingWithoutLength) {
  // Two one-way links between the same point: the walk never uses up its
  // distance and must still end.
  TGraphFixture f(RoadText({1, {{0, 0}, {0, 0}}, {"0,1", "1,2"}, kOneWay}) +
                  RoadText({2, {{0, 0}, {0, 0}}, {"0,2", "1,1"}, kOneWay}));
  ASSERT_TRUE(f.built) << f.log;
  EXPECT_EQ(WalkLinks(f.graph, f.map, 1, 2, 1, 30, 90), 0);
}

TEST(RoadGraph, NodeIndexBeyondThePoints) {
  // The loader keeps the index as read; the graph takes the last point.
  TGraphFixture f(RoadText({1, {{0, 0}, {1, 0}, {2, 0}}, {"0,1", "7,2"}}));
  ASSERT_EQ(f.graph.Nodes.Size(), 2u);
  EXPECT_EQ(f.graph.FindNode(2)->Point, DegreesToGeoPoint(8.002, 46));
  EXPECT_NEAR(f.graph.Links[0].Metres(), 154.6, 2);
}

TEST(RoadGraph, LongLinksSaturate) {
  std::vector<std::pair<double, double>> points;
  for (int i = 0; i < 200; i++) points.emplace_back(0, i % 2 ? 34000 : -126000);  // latitude +/-80
  TGraphFixture f(RoadText({1, points, {"0,1", "199,2"}, "RouteParam=0,0"}));
  ASSERT_EQ(f.graph.Links.Size(), 1u);
  const TRoadLink& link = f.graph.Links[0];
  EXPECT_EQ(link.Metres(), kLinkLengthMask);
  EXPECT_FALSE(link.OneWay());
  EXPECT_EQ(LinkDistanceCost(link), kMaxLinkCost);
  EXPECT_EQ(LinkTimeCost(link, 5), kMaxLinkCost);
}

TEST(RoadGraph, LinkCosts) {
  struct {
    uint32_t length;
    uint8_t speed;
    uint32_t distance, time;
  } cases[] = {
      {1000, 60, 1000, 960},            // 1000 m at 60 km/h: 60 s = 960 sixteenths
      {0, 60, 1, 1},                    // never 0
      {1, 130, 1, 1},                   // 576 / 1300 truncates to 0
      {kLinkOneWay | 100, 5, 100, 1152},  // the one-way bit is no length
      {8000000, 5, 8000000, 92160000},  // beyond 32 bits on the way
  };
  for (const auto& c : cases) {
    TRoadLink link{1, 2, 3, c.length};
    EXPECT_EQ(LinkDistanceCost(link), c.distance) << c.length;
    EXPECT_EQ(LinkTimeCost(link, c.speed), c.time) << c.length;
  }
}

// n roads from spokes into hub node 1.
std::string Hub(int n) {
  std::string text;
  for (int i = 0; i < n; i++) {
    text += RoadText({static_cast<uint32_t>(100 + i), {{0, 0}, {1, i * 0.01}}, {"0,1", "1," + std::to_string(1000 + i)}});
  }
  return text;
}

TEST(RoadGraph, AdjacentRoadLimit) {
  TGraphFixture ok(Hub(255));
  EXPECT_TRUE(ok.built);
  EXPECT_EQ(ok.log, "");
  TGraphFixture bad(Hub(256));
  EXPECT_FALSE(bad.built);
  EXPECT_EQ(bad.log, "T: Error: too many adjacent roads (node id 1)\n");
}

TEST(RoadGraph, RoadThroughANodeTwice) {
  TGraphFixture f(RoadText({9, {{0, 0}, {1, 0}, {2, 0}}, {"0,7", "1,8", "2,7"}}) +
                  RoadText({3000000000u, {{0, 1}, {1, 1}, {2, 1}}, {"0,3000000000", "1,8", "2,3000000000"}}));
  EXPECT_FALSE(f.built);
  EXPECT_EQ(f.log,
            "T: Error: duplicate node id 7, road 9, [46.000000 8.002000]\n"
            "T: Error: duplicate node id -1294967296, road -1294967296, [46.001000 8.002000]\n");
}

// One id on two roads (here a two-way road and a one-way road of type
// 0x0a elsewhere): the map cannot be routed, whichever road a look-up finds.
TEST(RoadGraph, DuplicateRoadIds) {
  TGraphFixture f(RoadText({10, {{0, 0}, {1, 0}}, {"0,1", "1,2"}}) +
                  RoadText({10, {{0, 2}, {1, 2}}, {"0,3", "1,4"}, kOneWay, "", "0x0a"}) +
                  RoadText({11, {{0, 4}, {1, 4}}, {"0,5", "1,6"}}) +
                  RoadText({3000000000u, {{0, 5}, {1, 5}}, {"0,7", "1,8"}}) +
                  RoadText({3000000000u, {{0, 6}, {1, 6}}, {"0,9", "1,10"}}) +
                  RoadText({3000000000u, {{0, 7}, {1, 7}}, {"0,11", "1,12"}}));
  EXPECT_FALSE(f.built);
  EXPECT_EQ(f.log, "T: Error: duplicate road id 3000000000\nT: Error: duplicate road id 10\n");
  TGraphFixture once(RoadText({10, {{0, 0}, {1, 0}}, {"0,1", "1,2"}}) +
                     RoadText({11, {{0, 2}, {1, 2}}, {"0,3", "1,4"}, kOneWay, "", "0x0a"}));
  EXPECT_TRUE(once.built);
  EXPECT_EQ(once.log, "");
}

TEST(RoadGraph, AllChecksRunBeforeTheVerdict) {
  TGraphFixture f(Hub(256) + RoadText({9, {{0, 0}, {1, 0}, {2, 0}}, {"0,7", "1,8", "2,7"}}) +
                  Restrict("7,99,8,2", "9,9,9"));
  EXPECT_FALSE(f.built);
  EXPECT_EQ(f.log,
            "T: Error: too many adjacent roads (node id 1)\n"
            "T: Bad restriction (7, 2)\n"
            "T: Error: duplicate node id 7, road 9, [46.000000 8.002000]\n");
  f.graph.Free();
  EXPECT_TRUE(f.graph.Roads.Empty() && f.graph.Nodes.Empty() && f.graph.LinksByTo.Empty());
}

TEST(RoadGraph, WriterGivesUpAMapThatCannotBeRouted) {
  CMap map;
  ASSERT_EQ(PolskiTest::LoadText(map, PolskiTest::kHeader + RoadText({9, {{0, 0}, {1, 0}, {2, 0}},
                                                                      {"0,7", "1,8", "2,7"}})),
            nullptr);
  CConverterConfig config;
  CMapWriter writer;
  CMapRoutingWriter routing;
  writer.routing = &routing;
  std::string path = TestUtil::MakeTempDir("roadgraph_writer") + "map.qx";
  TestUtil::CStdoutCapture capture;
  EXPECT_FALSE(WriteMapFile(writer, map, path, config, true, nullptr));
  EXPECT_EQ(TestUtil::MaskTimestamps(capture.Finish()),
            "T: Error: duplicate node id 7, road 9, [46.000000 8.002000]\n");
  EXPECT_FALSE(TestUtil::FileExists(path));
}

}  // namespace
