// Pieces of the routing data of road records: the turn classes and marks
// at every boundary of their rules, the packed segment length, road
// references without a road record, and the node table's pair limit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "routing/graphsections.h"
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

}  // namespace
