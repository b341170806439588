// Road attributes: the routing keys of a polyline, table by table.
#include <gtest/gtest.h>

#include <vector>

#include "polski/objects.h"
#include "polski/roadattributes.h"
#include "polski_testutil.h"

using namespace PolskiFormat;

namespace {

const char* kTwoPoints = "Data0=(1,2),(1,3)\n";

// Parses a polyline from key lines; null routing means "not routable".
struct TParsedRoad {
  PolskiTest::CPairSource source;
  CPolylineSection section;
  bool ok = false;
  explicit TParsedRoad(const std::string& text) {
    source.Feed(section, text);
    ok = section.Parse();
  }
  const TRoadAttributes* road() { return ok ? section.Polyline()->Routing : nullptr; }
};

std::vector<uint8_t> Bytes(const CReallocArray<uint8_t>& a) { return std::vector<uint8_t>(a.begin(), a.end()); }

TEST(RoadAttributes, RouteParam) {
  struct TCase {
    const char* line;
    uint8_t speed, roadClass, oneWay, toll;
    std::vector<uint8_t> access;
  };
  const TCase cases[] = {
      {"RouteParam=3,2,1,0,0,0,1", 3, 2, 1, 0, {0, 0, 1, 0, 0, 0, 0, 0}},
      {"RouteParams=3,3,1,0,0,0,0,0,0,0,0,0", 3, 3, 1, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"RouteParams=0,0,0,0,1,1,1,1,1,0,0,1", 0, 0, 0, 0, {1, 1, 1, 1, 1, 0, 0, 1}},
      {"routeparam=4,1,0,1,0,0,0,0,0,0,0,1", 4, 1, 0, 1, {0, 0, 0, 0, 0, 0, 0, 1}},
      {"RouteParam=", 255, 255, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"RouteParam=2", 2, 255, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"RouteParam=300,2,7,-1", 300 & 0xFF, 2, 1, 1, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"RouteParam= 1 , 2 ,1", 1, 2, 1, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.line);
    TParsedRoad r(std::string(kTwoPoints) + "RoadId=1\n" + c.line);
    ASSERT_NE(r.road(), nullptr);
    EXPECT_EQ(r.road()->SpeedClass, c.speed);
    EXPECT_EQ(r.road()->RoadClass, c.roadClass);
    EXPECT_EQ(r.road()->OneWay, c.oneWay);
    EXPECT_EQ(r.road()->Toll, c.toll);
    EXPECT_EQ(std::vector<uint8_t>(r.road()->AccessDenied, r.road()->AccessDenied + 8), c.access);
  }
  // A longer key that merely begins with "RouteParam" is not routing data.
  TParsedRoad other(std::string(kTwoPoints) + "RoadId=1\nRouteParamX=3,2");
  EXPECT_EQ(other.road()->SpeedClass, 255);
}

TEST(RoadAttributes, IdsAndScalars) {
  struct TCase {
    const char* lines;
    bool routable;
    uint32_t id;
    uint8_t legalSpeed, ext, forward, backward;
  };
  const TCase cases[] = {
      {"RoadId=7", true, 7, 0, 0, 0, 0},
      {"RoadID=3000000000", true, 3000000000u, 0, 0, 0, 0},  // above 2^31, kept unsigned
      {"RoadId=-1", false, 0, 0, 0, 0, 0},
      {"RoadId=4294967296", false, 0, 0, 0, 0, 0},
      {"RoadId=", true, 0, 0, 0, 0, 0},
      {"RoadId=1\nLegalSpeed=50", true, 1, 50, 0, 0, 0},
      {"RoadId=1\nLegalSpeed=300", true, 1, 300 & 0xFF, 0, 0, 0},
      {"RoadId=1\nRouteParamExt=5", true, 1, 0, 1, 0, 0},
      {"RoadId=1\nRouteParamExt=0", true, 1, 0, 0, 0, 0},
      {"RoadId=1\nTrafficLanes=2,0,0,1", true, 1, 0, 0, 2, 1},
      {"RoadId=1\nTrafficLanes=1,0,0,1,0,0", true, 1, 0, 0, 1, 1},
      {"RoadId=1\nTrafficLanes=2,0,0,1\nTurnLanes=left|through|right", true, 1, 0, 0, 3, 1},
      {"RoadId=1\nTrafficLanes=2,0,0,1\nTurnLanes=left|bogus", true, 1, 0, 0, 2, 1},
      {"RoadId=1\nTurnLanesBackward=none|none", true, 1, 0, 0, 0, 2},
      {"RoadId=1\nTurnLanesForward=left", true, 1, 0, 0, 1, 0},
      {"RoadId=1\nTurnLanesLeft=left|right", true, 1, 0, 0, 0, 0},
      {"LegalSpeed=50", false, 0, 0, 0, 0, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.lines);
    TParsedRoad r(std::string(kTwoPoints) + c.lines);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.road() != nullptr, c.routable);
    if (!c.routable) continue;
    EXPECT_EQ(r.road()->RoadId, c.id);
    EXPECT_EQ(r.road()->LegalSpeed, c.legalSpeed);
    EXPECT_EQ(r.road()->RouteParamExt, c.ext);
    EXPECT_EQ(r.road()->LanesForward, c.forward);
    EXPECT_EQ(r.road()->LanesBackward, c.backward);
  }
}

TEST(RoadAttributes, TurnLanes) {
  struct TCase {
    const char* text;
    uint32_t count;
    std::vector<uint8_t> codes;
  };
  const TCase cases[] = {
      {"", 1, {}},
      {"left", 1, {3}},
      {"LEFT", 1, {3}},
      {"left|through;right", 2, {3, 11, 1, 6}},
      {"left|", 2, {3, 11}},
      {"left;;right", 1, {3, 6}},
      {"left right", 1, {3, 6}},
      {"none|through|slight_left|sharp_left|slight_right|sharp_right|reverse", 7, {0, 11, 1, 11, 2, 11, 4, 11, 5, 11, 7, 11, 8}},
      {"merge_to_left|merge_to_right", 2, {10, 11, 9}},
      {"leftx", 0, {}},
      {"left|bogus", 0, {}},
      {"slight", 0, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    CReallocArray<uint8_t> lanes;
    lanes.PushBack(99);
    EXPECT_EQ(ParseTurnLanes(c.text, lanes), c.count);
    EXPECT_EQ(Bytes(lanes), c.codes);
  }
  TParsedRoad r(std::string(kTwoPoints) + "RoadId=1\nTurnLanes=left\nTurnLanesBackward=right|through");
  EXPECT_EQ(Bytes(r.road()->TurnLanesForward), std::vector<uint8_t>({3}));
  EXPECT_EQ(Bytes(r.road()->TurnLanesBackward), std::vector<uint8_t>({6, 11, 1}));
}

TEST(RoadAttributes, Speed) {
  TParsedRoad r(std::string(kTwoPoints) + "RoadId=1\nSpeed=1,2|3,4|,7|5||300,1");
  const TRoadAttributes* road = r.road();
  const uint8_t expected[][2] = {{1, 2}, {3, 4}, {0, 7}, {5, 0}, {0, 0}, {300 & 0xFF, 1}, {0, 0}};
  for (size_t i = 0; i < 7; i++) {
    EXPECT_EQ(road->SpeedPairs[i][0], expected[i][0]) << i;
    EXPECT_EQ(road->SpeedPairs[i][1], expected[i][1]) << i;
  }
  EXPECT_EQ(road->SpeedPairs[23][0], 0);
}

TEST(RoadAttributes, RouteNodes) {
  struct TNode {
    uint32_t index, id;
    uint8_t bound, part;
  };
  struct TCase {
    const char* lines;
    bool ok;  // the polyline parses
    std::vector<TNode> nodes;
  };
  const TCase cases[] = {
      {"Nod1=0,1234,0", true, {{0, 1234, 0, 0}}},  // the real-world form
      {"Nod0=1,4294967295,1\nNod1=0,3000000000", true, {{1, 0xFFFFFFFF, 1, 0}, {0, 3000000000u, 0, 0}}},
      {"Nod=1,2,7", true, {{1, 2, 1, 0}}},
      {"Nod2=5", true, {}},  // one number: ignored
      {"Nod2=a,b", true, {}},
      {"Nodes1=(0,100),(5,200,1)", true, {{0, 100, 0, 1}, {5, 200, 1, 1}}},
      {"Nodes=(1,2)", true, {{1, 2, 0, 0}}},
      {"Nodes2=(1,2,)", true, {{1, 2, 0, 2}}},
      {"Nodes1=(0,100", false, {}},
      {"Nodes1=(0,100)x", false, {}},
      {"Nodes1=(0,100),", false, {}},
      {"Nodes1=(0)", false, {}},
      {"Nodes1=", false, {}},
      {"Nodesx=(1,2)", false, {}},
      {"Nodes-1=(1,2)", false, {}},
      {"Nodes256=(1,2)", false, {}},  // parts are counted in a byte
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.lines);
    TParsedRoad r(std::string(kTwoPoints) + "RoadId=1\n" + c.lines);
    ASSERT_EQ(r.ok, c.ok);
    if (!c.ok) continue;
    const TRoadAttributes* road = r.road();
    ASSERT_EQ(road->Nodes.Size(), c.nodes.size());
    for (size_t i = 0; i < c.nodes.size(); i++) {
      EXPECT_EQ(road->Nodes[i].PointIndex, c.nodes[i].index);
      EXPECT_EQ(road->Nodes[i].NodeId, c.nodes[i].id);
      EXPECT_EQ(road->Nodes[i].Bound, c.nodes[i].bound);
      EXPECT_EQ(road->Nodes[i].PartIndex, c.nodes[i].part);
    }
  }
}

TEST(RoadAttributes, HouseNumbers) {
  struct TCase {
    const char* value;
    THouseNumbers expected;
  };
  const TCase cases[] = {
      {"0,E,1,9,O,2,10", {0, 1, 9, 1, 2, 10, 2}},
      // The 13-field form: zip, city, region and country fields are not read.
      {"3,O,1,9,E,2,10,-1,-1,-1,-1,-1,-1", {3, 1, 9, 2, 2, 10, 1}},
      {"1,B,-1,-1,N,-1,-1", {1, 0xFFFFFFFF, 0xFFFFFFFF, 3, 0xFFFFFFFF, 0xFFFFFFFF, 0}},
      {"2, e ,4,6", {2, 4, 6, 0, 0, 0, 0}},  // parity letters are upper case
      {"", {0, 0, 0, 0, 0, 0, 0}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.value);
    TParsedRoad r(std::string(kTwoPoints) + "RoadId=1\nNumbers1=" + c.value);
    ASSERT_EQ(r.road()->Numbers.Size(), 1u);
    const THouseNumbers& n = r.road()->Numbers[0];
    EXPECT_EQ(n.PointIndex, c.expected.PointIndex);
    EXPECT_EQ(n.LeftStart, c.expected.LeftStart);
    EXPECT_EQ(n.LeftEnd, c.expected.LeftEnd);
    EXPECT_EQ(n.LeftParity, c.expected.LeftParity);
    EXPECT_EQ(n.RightStart, c.expected.RightStart);
    EXPECT_EQ(n.RightEnd, c.expected.RightEnd);
    EXPECT_EQ(n.RightParity, c.expected.RightParity);
  }
  TParsedRoad two(std::string(kTwoPoints) + "RoadId=1\nNumbers1=0,E,1,9,O,2,10\nnumbers2=1,N,0,0,N,0,0");
  EXPECT_EQ(two.road()->Numbers.Size(), 2u);
}

TEST(RoadAttributes, HeightLevels) {
  struct TLevel {
    uint32_t index;
    int16_t level;
    uint8_t part;
  };
  struct TCase {
    const char* lines;
    bool ok;
    std::vector<TLevel> levels;
  };
  const TCase cases[] = {
      {"HLevel0=(0,1),(1,-1)", true, {{0, 1, 0}, {1, -1, 0}}},
      {"HLevel2=(1,99999)", true, {{1, static_cast<int16_t>(99999 & 0xFFFF), 2}}},
      {"HLevel0=(1,2xyz)", true, {{1, 2, 0}}},
      {"HLevel0=", true, {}},
      {"HLevel0=(0,1)\nHLevel1=(1,2)x", true, {}},  // a bad item clears earlier keys too
      {"HLevel0=(0,1)\nHLevel1=(1)", true, {}},
      {"HLevel0=(0,1)\nHLevel1=(1,2", true, {}},
      {"HLevel=(0,1)", false, {}},
      {"HLevelA=(0,1)", false, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.lines);
    TParsedRoad r(std::string(kTwoPoints) + "RoadId=1\n" + c.lines);
    ASSERT_EQ(r.ok, c.ok);
    if (!c.ok) continue;
    ASSERT_EQ(r.road()->HLevels.Size(), c.levels.size());
    for (size_t i = 0; i < c.levels.size(); i++) {
      EXPECT_EQ(r.road()->HLevels[i].PointIndex, c.levels[i].index);
      EXPECT_EQ(r.road()->HLevels[i].Level, c.levels[i].level);
      EXPECT_EQ(r.road()->HLevels[i].PartIndex, c.levels[i].part);
    }
  }
}

TEST(RoadAttributes, KeepingTheRoad) {
  struct TCase {
    const char* lines;
    bool routable;
  };
  const TCase cases[] = {
      {"Data0=(1,2),(1,3)\nRoadId=1", true},
      {"Data0=(1,2)\nRoadId=1", false},               // a single point
      {"Data0=\nData0=(1,2),(1,3)\nRoadId=1", false},  // the first entry decides
      {"Data0=(1,2),(1,3)\nRouteParam=1,1", false},    // no id
      {"Data0=(1,2),(1,3)\nRoadId=1\nHLevel0=(1,1)", true},
      {"Data0=(1,2),(1,3)\nRoadId=1\nHLevel0=(2,1)", false},  // index equal to the point count
      {"Data1=(1,2),(1,3),(1,4)\nRoadId=1\nNod1=9,1", true},  // node indexes are not checked here
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.lines);
    TParsedRoad r(c.lines);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.road() != nullptr, c.routable);
    if (c.routable) {
      const CReallocArray<TPointD>& first = r.section.Polyline()->Geometry[0].Points;
      ASSERT_EQ(r.road()->FirstLevelPoints.Size(), first.Size());
      EXPECT_EQ(r.road()->FirstLevelPoints[1].x, first[1].x);
    }
  }
}

TEST(RoadAttributes, EstimatedSpeed) {
  struct TCase {
    uint8_t speedClass, roadClass, kmh;
  };
  const TCase cases[] = {{255, 255, 5}, {9, 9, 130}, {0, 0, 5}, {0, 4, 15}, {1, 4, 30},
                         {3, 2, 60},    {7, 0, 110}, {7, 4, 130}, {2, 1, 35}};
  for (const TCase& c : cases) {
    TRoadAttributes road;
    road.SpeedClass = c.speedClass;
    road.RoadClass = c.roadClass;
    EXPECT_EQ(EstimateRoadSpeed(road), c.kmh) << int(c.speedClass) << "," << int(c.roadClass);
  }
}

// Route-node indexes are kept as read; the accessors never read past the points.
TEST(RoadAttributes, NodePointAccess) {
  TRoadAttributes road;
  for (int i = 0; i < 6; i++) road.FirstLevelPoints.PushBack({double(i), 0});
  for (uint32_t index : {0u, 5u, 5u}) road.Nodes.PushBack({index, 1, 0, 0});
  EXPECT_TRUE(HasValidNodeIndexes(road));
  EXPECT_EQ(GetRoadNodePoint(road, 1)->x, 5);
  road.Nodes.PushBack({4, 1, 0, 0});
  EXPECT_FALSE(HasValidNodeIndexes(road));  // 0, 5, 5, 4 goes backwards
  road.Nodes[3].PointIndex = 6;
  EXPECT_FALSE(HasValidNodeIndexes(road));
  EXPECT_EQ(GetRoadNodePoint(road, 3), nullptr);
  EXPECT_EQ(GetRoadNodePoint(road, 4), nullptr);
  road.Nodes[3].PointIndex = 0xFFFFFFFF;
  EXPECT_EQ(GetRoadNodePoint(road, 3), nullptr);
}

}  // namespace
