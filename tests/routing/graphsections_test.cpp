// Pieces of the routing data of road records: the turn classes and marks
// at every boundary of their rules, the lane-change codes of every rule,
// the lane byte of an exit, the packed segment length, road references
// without a road record, and the node table's pair limit; the edge marks
// of the CH graphs as written, shortcuts next to parallel edges.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "routing/graphsections.h"
#include "tests/routing/gridmaps.h"
#include "tests/routing/qxroutes.h"
#include "tests/routing/sectiontest.h"

using namespace SectionTest;

namespace {

TTurnEntry Leg(int angle, uint32_t roadClass = 2, bool allowed = true, bool arrival = false) {
  TTurnEntry e{};
  e.angle = angle;
  e.roadClass = roadClass;
  e.allowed = allowed;
  e.arrival = arrival;
  return e;
}

// Classifies legs[which] among the legs (legs[0] is the arrival leg).
std::pair<uint32_t, uint32_t> Classify(std::vector<TTurnEntry> legs, size_t which) {
  CReallocArray<TTurnEntry> list;
  for (const TTurnEntry& e : legs) list.PushBack(e);
  ClassifyTurn(list[which], list);
  return {list[which].turnClass, list[which].mark};
}

uint32_t ClassOf(int angle, int otherAngle = 150) {
  return Classify({Leg(90, 2, true, true), Leg(angle), Leg(otherAngle)}, 1).first;
}

TEST(ClassifyTurn, ClassBoundaries) {
  EXPECT_EQ(ClassOf(0), TurnStraight);
  // |d| = 20: straight while no other leg lies as close, else a slight turn.
  EXPECT_EQ(ClassOf(20), TurnStraight);
  EXPECT_EQ(ClassOf(-20), TurnStraight);
  EXPECT_EQ(ClassOf(20, -20), TurnSlightRight);
  EXPECT_EQ(ClassOf(-20, 19), TurnSlightLeft);
  EXPECT_EQ(ClassOf(21), TurnSlightRight);
  EXPECT_EQ(ClassOf(-21), TurnSlightLeft);
  // 60 and 120.
  EXPECT_EQ(ClassOf(59), TurnSlightRight);
  EXPECT_EQ(ClassOf(60), TurnRight);
  EXPECT_EQ(ClassOf(-59), TurnSlightLeft);
  EXPECT_EQ(ClassOf(-60), TurnLeft);
  EXPECT_EQ(ClassOf(119), TurnRight);
  EXPECT_EQ(ClassOf(120), TurnSharpRight);
  EXPECT_EQ(ClassOf(-119), TurnLeft);
  EXPECT_EQ(ClassOf(-120), TurnSharpLeft);
  // 170 and 180.
  EXPECT_EQ(ClassOf(169), TurnSharpRight);
  EXPECT_EQ(ClassOf(170), TurnU);
  EXPECT_EQ(ClassOf(-169), TurnSharpLeft);
  EXPECT_EQ(ClassOf(-170), TurnU);
  EXPECT_EQ(ClassOf(180), TurnU);
  EXPECT_EQ(ClassOf(-180), TurnU);
  // A lone leg besides the arrival: nothing else is as close, so a small
  // angle is straight.
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(15), Leg(3, 2, false)}, 1).first, TurnStraight);
}

TEST(ClassifyTurn, MarkRules) {
  // The arrival leg and |d| = 180 always carry the mark, even at a plain
  // continuation.
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(5)}, 0), std::make_pair(uint32_t{TurnU}, 1u));
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(180)}, 1), std::make_pair(uint32_t{TurnU}, 1u));
  // Exactly two legs: no mark, whatever the angle.
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(100)}, 1).second, 0u);
  // Above 75 degrees: marked.
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(76), Leg(150, 2, false)}, 1).second, 1u);
  // No other allowed leg: not marked (the third leg is not allowed).
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(75), Leg(10, 2, false)}, 1).second, 0u);
  // Equal classes: t = |d| x 620 / 256; at 30 degrees t = 72.
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(30), Leg(72)}, 1).second, 1u);
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(30), Leg(-73)}, 1).second, 0u);
  // x outranks the others: t = |d| / 2.
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(30, 3), Leg(15, 2)}, 1).second, 1u);
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(30, 3), Leg(16, 2)}, 1).second, 0u);
  // Another leg outranks x: 120 when x ranks below the arrival road, else
  // 80; half of it below 20 degrees.
  EXPECT_EQ(Classify({Leg(90, 3, true, true), Leg(30, 1), Leg(120, 4)}, 1).second, 1u);
  EXPECT_EQ(Classify({Leg(90, 3, true, true), Leg(30, 1), Leg(121, 4)}, 1).second, 0u);
  EXPECT_EQ(Classify({Leg(90, 1, true, true), Leg(30, 1), Leg(80, 4)}, 1).second, 1u);
  EXPECT_EQ(Classify({Leg(90, 1, true, true), Leg(30, 1), Leg(81, 4)}, 1).second, 0u);
  EXPECT_EQ(Classify({Leg(90, 3, true, true), Leg(19, 1), Leg(60, 4)}, 1).second, 1u);
  EXPECT_EQ(Classify({Leg(90, 3, true, true), Leg(19, 1), Leg(61, 4)}, 1).second, 0u);
  EXPECT_EQ(Classify({Leg(90, 1, true, true), Leg(-19, 1), Leg(40, 4)}, 1).second, 1u);
  EXPECT_EQ(Classify({Leg(90, 1, true, true), Leg(-19, 1), Leg(41, 4)}, 1).second, 0u);
  // The arrival leg is no "other leg": only it besides x leaves no mark.
  EXPECT_EQ(Classify({Leg(90, 2, true, true), Leg(30), Leg(0, 2, false), Leg(0, 2, false)}, 1).second, 0u);
}

TEST(PackSegmentLength, MantissaAndExponent) {
  EXPECT_EQ(PackSegmentLength(0), 0);
  EXPECT_EQ(PackSegmentLength(1), 128 << 4);
  EXPECT_EQ(PackSegmentLength(100), 3200 << 4 | 2);        // 12800 >> 2
  EXPECT_EQ(PackSegmentLength(4095.0 / 128), 4095 << 4);   // the largest without exponent
  EXPECT_EQ(PackSegmentLength(4096.0 / 128), 2048 << 4 | 1);
  // The top of the field: 4095 x 2^15 / 128 m, about 1048 km.
  EXPECT_EQ(PackSegmentLength(4095.0 * 32768 / 128), 4095 << 4 | 15);
  EXPECT_EQ(PackSegmentLength(4096.0 * 32768 / 128 - 0.01), 4095 << 4 | 15);
  // Longer links (a 2,000 km ferry line) saturate instead of wrapping the
  // exponent; values no integer holds do too.
  EXPECT_EQ(PackSegmentLength(2000000), 4095 << 4 | 15);
  EXPECT_EQ(PackSegmentLength(1e30), 4095 << 4 | 15);
  EXPECT_EQ(PackSegmentLength(std::numeric_limits<double>::infinity()), 4095 << 4 | 15);
  EXPECT_EQ(PackSegmentLength(std::nan("")), 4095 << 4 | 15);
}

// A registered road reference whose link no written record carries: the
// offset is 0, the bits already in the second word stay, and one warning
// names the road.
TEST(PatchTileGraphRefs, ReferenceWithoutARecord) {
  TRoadGraph roads;
  PolskiFormat::CMap map;
  CGraphSectionWriter w(roads, map);
  CMemStream image;
  image.WriteU32(0xdeadbeef);
  image.WriteU32(0x00fe0000);
  image.WriteU32(0xdeadbeef);
  image.WriteU32(0);
  image.WriteU32(0xdeadbeef);
  image.WriteU32(0);
  w.RefsToFill.PushBack(TLinkPlace{{1, 2, 7}, 0});
  w.RefsToFill.PushBack(TLinkPlace{{2, 1, 7}, 8});
  w.RefsToFill.PushBack(TLinkPlace{{2, 3, 8}, 16});
  w.RoadLinks.PushBack(TRoadLinkRef{{2, 3, 8}, 400, 5, 1});
  w.RoadLinks.PushBack(TRoadLinkRef{{2, 3, 8}, 800, 6, 0});  // a later one of the same link does not count
  TestUtil::CStdoutCapture capture;
  PatchTileGraphRefs(w, image);
  EXPECT_EQ(TestUtil::MaskTimestamps(capture.Finish()),
            "T: Road without a record in the routing graph (RoadId = 7)\n");
  const uint8_t* d = image.Data();
  auto u32 = [d](size_t p) { return d[p] | d[p + 1] << 8 | d[p + 2] << 16 | static_cast<uint32_t>(d[p + 3]) << 24; };
  EXPECT_EQ(u32(0), 0u);
  EXPECT_EQ(u32(4), 0x00fe0000u);
  EXPECT_EQ(u32(8), 0u);
  EXPECT_EQ(u32(16), 400u);
  EXPECT_EQ(u32(20), 1u << 16 | 5);
}

// Through the writer: a road drawn only on the top level has no record in
// any level tree; the roads that meet it write their references to it as 0.
TEST(PatchTileGraphRefs, RoadOnlyOnTheTopLevel) {
  TRoad top{2, {{1, 0}, {2, 0}}, {"0,11", "1,12"}};
  top.data = "Data1";
  TWritten w = WriteRouted(Roads({{1, {{0, 0}, {1, 0}}, {"0,10", "1,11"}}, top}), "toponly");
  EXPECT_TRUE(w.ok) << w.log;
  EXPECT_NE(w.log.find("T: Road without a record in the routing graph (RoadId = 2)\n"), std::string::npos) << w.log;
}

// Section 8 counts a node's pairs in a byte: 255 roads at one node pass,
// 256 give the map up with a clear message instead of a wrapped count.
TEST(WriteGraphNodeTable, PairLimit) {
  for (int roads : {255, 256}) {
    std::vector<TRoad> list;
    for (int i = 0; i < roads; i++) list.push_back(TRoad{static_cast<uint32_t>(i + 1), {{0, 0}, {1, i}}, {"0,77"}});
    TWritten w = WriteRouted(Roads(list), "pairs" + std::to_string(roads));
    if (roads == 255) {
      EXPECT_TRUE(w.ok) << w.log;
    } else {
      EXPECT_FALSE(w.ok);
      EXPECT_NE(w.log.find("T: Too many roads at one node (node id 77)\n"), std::string::npos) << w.log;
      EXPECT_FALSE(TestUtil::FileExists(w.path));
    }
  }
}

// ---- Lane-change codes ----

// A straight run W(1) -> B(2) -> F(3) on roads 10 and 20, with nIn lanes on
// road 10 and nOut on road 20; at F road 30 goes on east to 6, road 40
// turns left to 4, road 50 right to 5. atB: the lane pairs of a lane
// connection 10 -> 20 at B ("" for none); atF: per leg road at F, the lane
// pairs of a connection from road 20.
uint32_t LaneCode(int nIn, int nOut, const std::string& atB, const std::vector<std::pair<int, std::string>>& atF) {
  auto lanes = [](int n) { return "TrafficLanes=" + std::to_string(n) + ",0,0," + std::to_string(n) + "\n"; };
  std::vector<TRoad> roads = {{10, {{-1, 0}, {0, 0}}, {"0,1", "1,2"}}, {20, {{0, 0}, {1, 0}}, {"0,2", "1,3"}},
                              {30, {{1, 0}, {2, 0}}, {"0,3", "1,6"}}, {40, {{1, 0}, {1, 1}}, {"0,3", "1,4"}},
                              {50, {{1, 0}, {1, -1}}, {"0,3", "1,5"}}};
  roads[0].extra = lanes(nIn);
  roads[1].extra = lanes(nOut);
  std::string text = Roads(roads);
  if (!atB.empty()) text += LaneRecord("1,2,3", "10,20", atB);
  for (const auto& [road, pairs] : atF) {
    const int far = road == 30 ? 6 : road == 40 ? 4 : 5;
    text += LaneRecord("2,3," + std::to_string(far), "20," + std::to_string(road), pairs);
  }
  PolskiFormat::CMap map;
  EXPECT_EQ(PolskiTest::LoadText(map, text), nullptr);
  TRoadGraph graph;
  TestUtil::CStdoutCapture capture;
  EXPECT_TRUE(BuildRoadGraph(graph, map));
  capture.Finish();
  CGraphSectionWriter w(graph, map);
  CReallocArray<TTurnEntry> legs;
  CollectTurnEntries(w, 1, 2, 10, legs);
  for (const TTurnEntry& x : legs) {
    if (x.road == 20) {
      EXPECT_EQ(x.turnClass, TurnStraight);
      return LaneChangeCode(w, 1, 2, 10, x);
    }
  }
  ADD_FAILURE() << "no leg onto road 20";
  return 99;
}

TEST(LaneChangeCode, WithoutLaneConnections) {
  EXPECT_EQ(LaneCode(0, 3, "", {}), 0u);  // a road without a lane count
  EXPECT_EQ(LaneCode(2, 2, "", {}), 0u);
  EXPECT_EQ(LaneCode(3, 2, "", {}), 4u);  // one lane ends
  EXPECT_EQ(LaneCode(3, 1, "", {}), 6u);  // more end
}

// A lane connection at B: its distinct exit lanes w against nIn, and the
// differences of the pairs on the highest and lowest lanes.
TEST(LaneChangeCode, ConnectionAtTheJunction) {
  // nIn < w: lanes are added; the entry lanes' difference says on which side.
  EXPECT_EQ(LaneCode(1, 3, "(1,1),(1,2),(1,3)", {}), 3u);  // difference 0, e = 2
  EXPECT_EQ(LaneCode(2, 3, "(1,1),(2,2),(2,3)", {}), 2u);  // the highest entry lane splits
  EXPECT_EQ(LaneCode(2, 3, "(1,1),(1,2),(2,3)", {}), 1u);  // the lowest does
  // nIn >= w: no code while the exit road has as many lanes as the
  // connection's entry lanes; else the exit lanes' difference decides.
  EXPECT_EQ(LaneCode(3, 2, "(1,1),(2,2)", {}), 0u);
  EXPECT_EQ(LaneCode(3, 3, "(1,1),(2,1),(3,2)", {}), 0u);  // whatever the difference
  EXPECT_EQ(LaneCode(3, 1, "(1,1),(2,1),(3,1)", {}), 6u);  // difference 0, e = -2
  EXPECT_EQ(LaneCode(3, 2, "(1,1),(2,1),(3,2)", {}), 4u);  // two pairs end on the lowest exit lane
  EXPECT_EQ(LaneCode(3, 2, "(1,1),(2,2),(3,2)", {}), 5u);  // two on the highest
}

// The road gains lanes without a connection at B: the lanes of the
// connections at the next junction F say which side the new lanes turn to
// (road 40 turns left, 50 right, 30 goes straight on).
TEST(LaneChangeCode, GainedLanesByTheNextJunction) {
  // One lane more: the side with more single-sided lanes, on a tie the
  // side more lanes serve, on a tie again the left.
  EXPECT_EQ(LaneCode(2, 3, "", {{40, "(1,1)"}, {50, "(2,1),(3,1)"}}), 2u);
  EXPECT_EQ(LaneCode(2, 3, "", {{40, "(1,1)"}, {50, "(2,1)"}}), 1u);
  EXPECT_EQ(LaneCode(2, 3, "", {{50, "(1,1),(2,1)"}, {30, "(2,1)"}, {40, "(3,1)"}}), 2u);
  EXPECT_EQ(LaneCode(2, 3, "", {}), 1u);
  // Two lanes more.
  EXPECT_EQ(LaneCode(1, 3, "", {{40, "(1,1)"}, {50, "(3,1)"}}), 3u);  // left-only and right-only lanes
  EXPECT_EQ(LaneCode(1, 3, "", {{40, "(1,1)"}}), 1u);
  EXPECT_EQ(LaneCode(1, 3, "", {{50, "(3,1)"}}), 2u);
  EXPECT_EQ(LaneCode(1, 3, "", {{40, "(1,1)"}, {50, "(1,1)"}}), 3u);  // a lane that turns both ways
  EXPECT_EQ(LaneCode(1, 3, "", {{40, "(1,1)"}, {30, "(1,1)"}}), 1u);  // left and straight on
  EXPECT_EQ(LaneCode(1, 3, "", {{50, "(1,1)"}, {30, "(1,1)"}}), 2u);  // right and straight on
  EXPECT_EQ(LaneCode(1, 3, "", {{30, "(1,1)"}}), 3u);                  // straight on only
  EXPECT_EQ(LaneCode(1, 3, "", {}), 3u);
}

// ---- Lane byte of an exit ----

// A plain node B(2) between road 10 from W(1), three lanes each way, and
// road 20 on to E(3), two lanes each way. Returns road 10's forward count
// byte and its exit items at B, as (road record, word).
std::pair<uint8_t, std::vector<std::pair<uint32_t, uint32_t>>> ExitsAtB(const std::string& more,
                                                                         uint32_t* road20) {
  std::vector<TRoad> roads = {{10, {{-1, 0}, {0, 0}}, {"0,1", "1,2"}}, {20, {{0, 0}, {1, 0}}, {"0,2", "1,3"}}};
  roads[0].extra = "TrafficLanes=3,0,0,3\n";
  roads[1].extra = "TrafficLanes=2,0,0,2\n";
  TWritten w = WriteRouted(Roads(roads) + more, "lanebyte");
  EXPECT_TRUE(w.ok) << w.log;
  std::pair<uint8_t, std::vector<std::pair<uint32_t, uint32_t>>> result{};
  if (!w.ok) return result;
  QxRoutes::CImage img(w.bytes);
  for (const QxRoutes::TRoadRecord& r : QxRoutes::ReadRoads(img)) {
    if (r.roadId == 20) *road20 = r.record;
    if (r.roadId != 10) continue;
    result.first = r.blocks.at(0).forward;
    for (const QxRoutes::TItem& it : r.blocks.at(0).items[0]) result.second.push_back({it.record, it.word});
  }
  return result;
}

// The one exit at B, onto road 20 at link 0 along its points (bit 16): no
// mark (the node has two legs), straight on (class 0), one lane ends
// (code 4 in bits 21-23), and the lane byte in bits 24-31: the lane
// connection's range byte when there is one; otherwise the arriving lane
// count in bits 28-31 only when no other leg, turning back included, is
// allowed.
TEST(ExitLaneByte, TurningBackCountsAsAnotherLeg) {
  const std::string noUTurn = Restrict("1,2,1", "10,10");
  const std::string lanes = LaneRecord("1,2,3", "10,20", "(2,1),(3,2)");  // entry lanes 2-3: 2 << 4 | 1
  struct TCase {
    std::string more;
    uint8_t forward;  // bit 7 U-turn allowed, one exit, no entry at W
    uint32_t word;
  };
  const TCase cases[] = {
      {"", 0x81, 1u << 16 | 4u << 21},
      {noUTurn, 0x01, 1u << 16 | 4u << 21 | 0x30u << 24},
      // Road 20 has lanes for both of the connection's entry lanes: code 0.
      {lanes, 0x81, 1u << 16 | 0x21u << 24},
      {noUTurn + lanes, 0x01, 1u << 16 | 0x21u << 24},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.more);
    uint32_t road20 = 0;
    const auto [forward, items] = ExitsAtB(c.more, &road20);
    EXPECT_EQ(forward, c.forward);
    const std::vector<std::pair<uint32_t, uint32_t>> want = {{road20, c.word}};
    EXPECT_EQ(items, want);
  }
}

// ---- Edge marks of section 10 ----

struct TMarkCheck {
  size_t shortcuts = 0;
  // Shortcuts whose via record holds parallel halves of other marks, so
  // that taking the first edge between the right records could be wrong.
  size_t decisive = 0;
  // Shortcuts with pairs of halves of equal cost sums but other marks: the
  // written marks are then only checked to be one of theirs.
  size_t ambiguous = 0;
};

// Checks the marks of every edge of both graphs from the records alone: a
// plain edge has bit 1 when the to-record's road has type 0x0a and bit 0
// when the two records are one link in both directions; a shortcut has the
// OR of its halves. The halves (from -> via, via -> to) are stored at the
// via record, which ranks below both ends; among parallel ones they are a
// pair whose costs add up to the shortcut's.
TMarkCheck CheckEdgeMarks(const TWritten& w) {
  TMarkCheck check;
  QxRoutes::CImage img(w.bytes);
  QxRoutes::TChSection s = QxRoutes::ReadChSection(img);
  EXPECT_EQ(s.records.size() % 2, 0u);  // the same nodes in both graphs
  auto record = [&s](uint32_t pos) -> const QxRoutes::TChRecord& { return s.records.at(s.at.at(pos)); };
  for (const QxRoutes::TChRecord& host : s.records) {
    for (bool incoming : {true, false}) {
      for (const QxRoutes::TEdge& e : incoming ? host.in : host.out) {
        const QxRoutes::TChRecord& from = incoming ? record(e.other) : host;
        const QxRoutes::TChRecord& to = incoming ? host : record(e.other);
        const std::string where = "edge " + std::to_string(from.pos) + " -> " + std::to_string(to.pos);
        if (!e.via) {
          const bool sameLink = from.roadRecord == to.roadRecord && (from.linkWord & 0xffff) == (to.linkWord & 0xffff) &&
                                from.linkWord != to.linkWord;
          EXPECT_EQ(e.marks, (to.flags & 2) | (sameLink ? 1 : 0)) << where;
          continue;
        }
        check.shortcuts++;
        const QxRoutes::TChRecord& via = record(e.via);
        std::set<uint8_t> matching, any;
        for (const QxRoutes::TEdge& a : via.in) {
          if (a.other != from.pos) continue;
          for (const QxRoutes::TEdge& b : via.out) {
            if (b.other != to.pos) continue;
            any.insert(static_cast<uint8_t>(a.marks | b.marks));
            if (a.cost + b.cost == e.cost) matching.insert(static_cast<uint8_t>(a.marks | b.marks));
          }
        }
        EXPECT_TRUE(matching.count(e.marks)) << where << " via " << via.pos << " marks " << int{e.marks};
        if (matching.size() > 1) check.ambiguous++;
        if (any.size() > 1) check.decisive++;
      }
    }
  }
  return check;
}

// A one-way run U, then R1 or R2 side by side from B to C, then W, then X,
// from a boundary node at A to one at E: U and X are the core. R1 is short
// and of type 0x0a, R2 a longer detour of an ordinary road: once R1 and R2
// are contracted U has two edges to W, of other costs and marks (the one
// over R1 has bit 1 and is a restricted edge, so it witnesses nothing for
// routes that avoid such roads). W's contraction then makes a shortcut of
// each with W -> X: two shortcuts U -> X via W, each with the marks of its
// own half, 2 over R1, 0 over R2.
TEST(ChGraphMarks, ShortcutsOverParallelEdgesKeepTheirOwnHalves) {
  const std::string oneWay = "RouteParam=4,2,1,0,0,0,0,0,0,0,0,0";
  TRoad r1{2, {{1, 0}, {2, 0}}, {"0,2", "1,3"}, oneWay};
  r1.type = "0x0a";
  TWritten w = WriteRouted(Roads({{1, {{0, 0}, {1, 0}}, {"0,1,1", "1,2"}, oneWay},
                                  r1,
                                  {3, {{1, 0}, {1.5, 1}, {2, 0}}, {"0,2", "2,3"}, oneWay},
                                  {4, {{2, 0}, {3, 0}}, {"0,3", "1,4"}, oneWay},
                                  {5, {{3, 0}, {4, 0}}, {"0,4", "1,5,1"}, oneWay}}),
                           "parallelhalves");
  ASSERT_TRUE(w.ok) << w.log;
  const TMarkCheck check = CheckEdgeMarks(w);
  EXPECT_GT(check.decisive, 0u);
  EXPECT_EQ(check.ambiguous, 0u);

  // Per graph: the two shortcuts U -> X via W, stored at both core records.
  QxRoutes::CImage img(w.bytes);
  QxRoutes::TChSection s = QxRoutes::ReadChSection(img);
  std::map<uint32_t, uint32_t> roadOf;  // road record -> road id
  for (const QxRoutes::TRoadRecord& r : QxRoutes::ReadRoads(img)) roadOf[r.record] = r.roadId;
  ASSERT_EQ(s.records.size(), 10u);
  for (size_t graph = 0; graph < 2; graph++) {
    SCOPED_TRACE(graph ? "Time" : "Distance");
    std::map<uint32_t, const QxRoutes::TChRecord*> byRoad;
    for (size_t i = 5 * graph; i < 5 * graph + 5; i++) byRoad[roadOf.at(s.records[i].roadRecord)] = &s.records[i];
    ASSERT_EQ(byRoad.size(), 5u);
    const QxRoutes::TChRecord &u = *byRoad[1], &wr = *byRoad[4], &x = *byRoad[5];
    std::multiset<std::pair<uint8_t, uint32_t>> atU, atX;  // marks, cost
    for (const QxRoutes::TEdge& e : u.out)
      if (e.other == x.pos && e.via == wr.pos) atU.insert({e.marks, e.cost});
    for (const QxRoutes::TEdge& e : x.in)
      if (e.other == u.pos && e.via == wr.pos) atX.insert({e.marks, e.cost});
    ASSERT_EQ(atU.size(), 2u);
    EXPECT_EQ(atU, atX);
    // The cheaper one runs over R1.
    EXPECT_EQ(atU.begin()->first, 0);
    EXPECT_EQ(atU.rbegin()->first, 2);
    EXPECT_GT(atU.begin()->second, atU.rbegin()->second);
  }
}

// The same rules over generated grids with many type 0x0a roads, U-turns,
// restrictions and chains (whose bypasses have halves too).
TEST(ChGraphMarks, EveryShortcutOfGeneratedGrids) {
  size_t shortcuts = 0, decisive = 0;
  for (uint32_t seed = 1; seed <= 4; seed++) {
    GridMaps::TGridOptions o;
    o.w = 6, o.h = 6, o.slowPercent = 40, o.bound = seed % 2 == 0;
    TWritten w = WriteRouted(GridMaps::Grid(seed, o), "markgrid" + std::to_string(seed));
    ASSERT_TRUE(w.ok) << w.log;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const TMarkCheck check = CheckEdgeMarks(w);
    shortcuts += check.shortcuts;
    decisive += check.decisive;
  }
  EXPECT_GT(shortcuts, 500u);
  EXPECT_GT(decisive, 0u);
}

}  // namespace
