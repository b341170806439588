// Post-load steps: the address check, dropping empty objects and splitting
// polylines with several parts on one level.
#include <gtest/gtest.h>

#include <vector>

#include "polski/map.h"
#include "polski_testutil.h"

using namespace PolskiFormat;

namespace {

// Entry i of a built polyline has the points (x = i, y = 0) and (i, 1).
CPolyline* AddLine(CMap& map, std::initializer_list<uint8_t> levels) {
  CPolyline* line = new CPolyline;
  map.Polylines.PushBack(line);
  line->Type = 0x6;
  line->Label = "Road";
  line->CityIndex = 0;
  double i = 0;
  for (uint8_t level : levels) {
    TDataLevel* entry = line->Geometry.EmplaceBack();
    entry->Level = level;
    entry->Points.PushBack({i, 0});
    entry->Points.PushBack({i, 1});
    i++;
  }
  return line;
}

// Gives a line a routing record; records must be added in id order.
TRoadAttributes* AddRoad(CMap& map, CPolyline* line, uint32_t id) {
  TRoadAttributes* road = new TRoadAttributes;
  road->RoadId = id;
  road->SpeedClass = 3;
  road->RoadClass = 2;
  road->OneWay = 1;
  road->Toll = 1;
  road->RouteParamExt = 1;
  road->AccessDenied[2] = 1;
  road->SpeedPairs[23][1] = 9;
  road->LegalSpeed = 50;
  road->LanesForward = 2;
  road->TurnLanesForward.PushBack(LaneLeft);
  road->Numbers.PushBack({0, 1, 9, 1, 2, 10, 2});
  road->FirstLevelPoints.Assign(line->Geometry[0].Points.data, line->Geometry[0].Points.Size());
  line->Routing = road;
  map.RoadAttributes.PushBack(road);
  return road;
}

std::vector<double> EntryXs(const CPolyline& line) {
  std::vector<double> xs;
  for (const TDataLevel& e : line.Geometry) xs.push_back(e.Points[0].x);
  return xs;
}

std::vector<uint32_t> Ids(const CMap& map) {
  std::vector<uint32_t> ids;
  for (const TRoadAttributes* r : map.RoadAttributes) ids.push_back(r->RoadId);
  return ids;
}

TEST(AddressCheck, EveryObjectKind) {
  CMap map;
  EXPECT_TRUE(CheckAddressIndexes(map));
  map.Cities.EmplaceBack()->Parent = 0;
  map.Regions.EmplaceBack()->Parent = 0;
  map.Countries.EmplaceBack("A");
  AddLine(map, {0});  // city index 0
  EXPECT_TRUE(CheckAddressIndexes(map));
  map.Polyline(0)->CountryName = "A";
  EXPECT_FALSE(CheckAddressIndexes(map));  // index and name together
  map.Polyline(0)->CountryName.clear();
  map.Polyline(0)->CityIndex = 1;
  EXPECT_FALSE(CheckAddressIndexes(map));
  map.Polyline(0)->CityIndex = -1;
  map.Polyline(0)->CityName = "names alone are fine";
  EXPECT_TRUE(CheckAddressIndexes(map));
  CPolygon* polygon = new CPolygon;
  map.Polygons.PushBack(polygon);
  polygon->CityIndex = -2;  // compared unsigned
  EXPECT_FALSE(CheckAddressIndexes(map));
  polygon->CityIndex = 0;
  polygon->RegionName = "R";
  EXPECT_FALSE(CheckAddressIndexes(map));
}

TEST(DropEmptyObjects, EntriesAndObjects) {
  CMap map;
  CPOI* empty = new CPOI;
  CPOI* kept = new CPOI;
  kept->Points.PushBack({0, 1, 2});
  map.POIs.PushBack(empty);
  map.POIs.PushBack(kept);
  CPolygon* polygon = new CPolygon;
  map.Polygons.PushBack(polygon);
  for (int i = 0; i < 3; i++) {
    TDataLevel* ring = polygon->Geometry.EmplaceBack();
    if (i != 1) ring->Points.PushBack({double(i), 0});
  }
  CPolygon* hollow = new CPolygon;
  hollow->Geometry.EmplaceBack();
  map.Polygons.PushBack(hollow);
  // Two roads share id 5: the record of the dropped line is the one removed.
  CPolyline* a = AddLine(map, {0});
  CPolyline* b = AddLine(map, {0, 0});
  CPolyline* c = AddLine(map, {0});
  TRoadAttributes* ra = AddRoad(map, a, 5);
  AddRoad(map, b, 5);
  TRoadAttributes* rc = AddRoad(map, c, 6);
  for (TDataLevel& e : b->Geometry) e.Points.Clear();
  a->Geometry.EmplaceBack();  // an empty entry behind a full one

  DropEmptyObjects(map);
  ASSERT_EQ(map.POIs.Size(), 1u);
  EXPECT_EQ(map.POIs[0], kept);
  ASSERT_EQ(map.Polygons.Size(), 1u);
  ASSERT_EQ(polygon->Geometry.Size(), 2u);
  EXPECT_EQ(polygon->Geometry[1].Points[0].x, 2);
  ASSERT_EQ(map.Polylines.Size(), 2u);
  EXPECT_EQ(map.Polylines[0], a);
  EXPECT_EQ(map.Polylines[1], c);
  EXPECT_EQ(a->Geometry.Size(), 1u);
  ASSERT_EQ(map.RoadAttributes.Size(), 2u);
  EXPECT_EQ(map.RoadAttributes[0], ra);
  EXPECT_EQ(map.RoadAttributes[1], rc);
}

TEST(SplitPolylines, TwoPartsOnTwoLevels) {
  CMap map;
  CPolyline* source = AddLine(map, {0, 0, 1, 1});
  TRoadAttributes* road = AddRoad(map, source, 7);
  road->Nodes.PushBack({0, 100, 0, 0});
  road->Nodes.PushBack({1, 200, 0, 1});
  road->Nodes.PushBack({1, 300, 1, 0});
  road->Nodes.PushBack({0, 400, 0, 1});
  road->HLevels.PushBack({1, 5, 1});
  road->HLevels.PushBack({0, 6, 0});
  AddRoad(map, AddLine(map, {0}), 9);

  TestUtil::CStdoutCapture capture;
  SplitMultiLevelPolylines(map);
  std::string log = TestUtil::MaskTimestamps(capture.Finish());
  EXPECT_EQ(log, "T: Multi polyline at [0.000000 0.000000]\n");

  ASSERT_EQ(map.Polylines.Size(), 3u);
  EXPECT_EQ(EntryXs(*source), std::vector<double>({0, 2}));
  CPolyline* part = map.Polyline(2);
  EXPECT_EQ(EntryXs(*part), std::vector<double>({1, 3}));
  EXPECT_EQ(part->Geometry[1].Level, 1);
  EXPECT_EQ(part->Type, 0x6);
  EXPECT_EQ(part->Label, "Road");
  EXPECT_EQ(part->CityIndex, 0);

  ASSERT_NE(part->Routing, nullptr);
  const TRoadAttributes& r = *part->Routing;
  EXPECT_EQ(r.RoadId, 10u);
  EXPECT_EQ(Ids(map), std::vector<uint32_t>({7, 9, 10}));
  EXPECT_EQ(map.RoadAttributes.Back(), part->Routing);
  EXPECT_EQ(r.SpeedClass, 3);
  EXPECT_EQ(r.RoadClass, 2);
  EXPECT_EQ(r.OneWay, 1);
  EXPECT_EQ(r.Toll, 1);
  EXPECT_EQ(r.RouteParamExt, 1);
  EXPECT_EQ(r.AccessDenied[2], 1);
  EXPECT_EQ(r.SpeedPairs[23][1], 9);
  EXPECT_EQ(r.LegalSpeed, 0);  // not carried over
  EXPECT_EQ(r.LanesForward, 0);
  EXPECT_TRUE(r.TurnLanesForward.Empty());
  ASSERT_EQ(r.Numbers.Size(), 1u);  // a copy of the house numbers
  EXPECT_EQ(road->Numbers.Size(), 1u);
  ASSERT_EQ(r.FirstLevelPoints.Size(), 2u);
  EXPECT_EQ(r.FirstLevelPoints[0].x, 1);
  // Route nodes and height levels of part 1 moved, part index now 0.
  ASSERT_EQ(r.Nodes.Size(), 2u);
  EXPECT_EQ(r.Nodes[0].NodeId, 200u);
  EXPECT_EQ(r.Nodes[1].NodeId, 400u);
  EXPECT_EQ(r.Nodes[0].PartIndex, 0);
  ASSERT_EQ(r.HLevels.Size(), 1u);
  EXPECT_EQ(r.HLevels[0].Level, 5);
  EXPECT_EQ(r.HLevels[0].PartIndex, 0);
  ASSERT_EQ(road->Nodes.Size(), 2u);
  EXPECT_EQ(road->Nodes[0].NodeId, 100u);
  EXPECT_EQ(road->Nodes[1].NodeId, 300u);
  EXPECT_EQ(road->HLevels.Size(), 1u);
  EXPECT_EQ(road->RoadId, 7u);
  EXPECT_EQ(road->FirstLevelPoints[0].x, 0);
}

TEST(SplitPolylines, LevelPatterns) {
  struct TCase {
    const char* name;
    std::initializer_list<uint8_t> levels;
    std::vector<double> sourceAfter;
    std::vector<std::vector<double>> parts;
    bool logged;
  };
  const TCase cases[] = {
      {"0,1,1: logged, unchanged", {0, 1, 1}, {0, 1, 2}, {}, true},
      {"0,0,1,1,1", {0, 0, 1, 1, 1}, {0, 2, 4}, {{1, 3}}, true},
      {"three parts", {0, 0, 0, 1, 1, 1}, {0, 3}, {{1, 4}, {2, 5}}, true},
      {"first run longest", {0, 0, 0, 1, 1}, {0, 3}, {{1, 4}, {2}}, true},
      {"0,1,0", {0, 1, 0}, {0, 1, 2}, {}, false},
      {"single entry", {0}, {0}, {}, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    CMap map;
    CPolyline* source = AddLine(map, c.levels);
    TestUtil::CStdoutCapture capture;
    SplitMultiLevelPolylines(map);
    EXPECT_EQ(capture.Finish().find("Multi polyline at [") != std::string::npos, c.logged);
    EXPECT_EQ(EntryXs(*source), c.sourceAfter);
    ASSERT_EQ(map.Polylines.Size(), 1 + c.parts.size());
    for (size_t k = 0; k < c.parts.size(); k++) {
      EXPECT_EQ(EntryXs(*map.Polyline(1 + k)), c.parts[k]);
      EXPECT_EQ(map.Polyline(1 + k)->Routing, nullptr);
    }
  }
}

TEST(SplitPolylines, RestrictionsAndLanesMoveWithTheirPart) {
  CMap map;
  CPolyline* source = AddLine(map, {0, 0});
  TRoadAttributes* road = AddRoad(map, source, 7);
  road->Nodes.PushBack({0, 1, 0, 0});
  road->Nodes.PushBack({1, 2, 0, 0});
  road->Nodes.PushBack({0, 3, 0, 1});
  road->Nodes.PushBack({1, 4, 0, 1});
  auto restriction = [&map](std::vector<uint32_t> points, std::vector<uint32_t> roads) {
    TRestriction* r = new TRestriction;
    for (uint32_t p : points) r->TraffPoints.PushBack(p);
    for (uint32_t id : roads) r->TraffRoads.PushBack(id);
    map.Restrictions.PushBack(r);
    return r;
  };
  TRestriction* onPart1 = restriction({3, 4, 9}, {7, 20});
  TRestriction* onPart0 = restriction({1, 2, 9}, {7, 20});
  TRestriction* mixed = restriction({9, 3, 4, 1, 2}, {20, 7, 5, 7});
  TRestriction* short1 = restriction({3, 4}, {7, 7, 7});  // more roads than the points can bound
  TRestriction* same = restriction({3, 3}, {7});           // one node id cannot count twice
  TLanesRecord* lanes = new TLanesRecord;
  lanes->LanePoints[0] = 9;
  lanes->LanePoints[1] = 3;
  lanes->LanePoints[2] = 4;
  lanes->LaneRoads[0] = 20;
  lanes->LaneRoads[1] = 7;
  map.Lanes.PushBack(lanes);

  TestUtil::CStdoutCapture capture;
  SplitMultiLevelPolylines(map);
  capture.Finish();
  uint32_t newId = map.Polyline(1)->Routing->RoadId;
  ASSERT_EQ(newId, 8u);
  auto roads = [](const TRestriction* r) { return std::vector<uint32_t>(r->TraffRoads.begin(), r->TraffRoads.end()); };
  EXPECT_EQ(roads(onPart1), std::vector<uint32_t>({8, 20}));
  EXPECT_EQ(roads(onPart0), std::vector<uint32_t>({7, 20}));
  EXPECT_EQ(roads(mixed), std::vector<uint32_t>({20, 8, 5, 7}));
  EXPECT_EQ(roads(short1), std::vector<uint32_t>({8, 7, 7}));
  EXPECT_EQ(roads(same), std::vector<uint32_t>({7}));
  EXPECT_EQ(lanes->LaneRoads[0], 20u);
  EXPECT_EQ(lanes->LaneRoads[1], 8u);
}

// New ids never reach the unset marker: beyond it, the smallest unused id
// is taken and the list stays sorted.
TEST(SplitPolylines, NewIdsNearTheTop) {
  struct TCase {
    const char* name;
    std::vector<uint32_t> existing;  // ascending; the last one is split twice over
    std::vector<uint32_t> expected;
  };
  const TCase cases[] = {
      {"plain", {3, 9}, {3, 9, 10, 11}},
      {"one below the marker", {1, 0xFFFFFFFD}, {0, 1, 0xFFFFFFFD, 0xFFFFFFFE}},
      {"at the top", {0, 1, 3, 0xFFFFFFFE}, {0, 1, 2, 3, 4, 0xFFFFFFFE}},
      {"duplicates", {0, 0, 1, 0xFFFFFFFE, 0xFFFFFFFE}, {0, 0, 1, 2, 3, 0xFFFFFFFE, 0xFFFFFFFE}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    CMap map;
    CPolyline* line = nullptr;
    for (uint32_t id : c.existing) AddRoad(map, line = AddLine(map, {0}), id);
    TDataLevel* extra = line->Geometry.EmplaceBack();  // three parts on level 0
    extra->Points.PushBack({1, 0});
    line->Geometry.EmplaceBack()->Points.PushBack({2, 0});
    TestUtil::CStdoutCapture capture;
    SplitMultiLevelPolylines(map);
    capture.Finish();
    EXPECT_EQ(Ids(map), c.expected);
    for (size_t i = 0; i < map.Polylines.Size(); i++) ASSERT_NE(map.Polyline(i)->Routing, nullptr);
  }
}

TEST(SplitPolylines, PublicPartOperations) {
  CMap map;
  CPolyline* source = AddLine(map, {0, 0, 0, 1, 1});
  TRoadAttributes* road = AddRoad(map, source, 1);
  road->Nodes.PushBack({0, 1, 0, 2});
  road->Nodes.PushBack({0, 2, 0, 1});
  std::unique_ptr<CPolyline> part(SplitPolylinePart(*source, 2));
  EXPECT_EQ(EntryXs(*part), std::vector<double>({2}));
  std::unique_ptr<TRoadAttributes> partRoad(part->Routing);
  ASSERT_EQ(partRoad->Nodes.Size(), 1u);
  EXPECT_EQ(partRoad->Nodes[0].NodeId, 1u);
  EXPECT_EQ(partRoad->RoadId, 1u);  // the caller gives the new id
  EXPECT_EQ(road->Nodes.Size(), 1u);
  TrimExtraParts(*source, 1);
  EXPECT_EQ(EntryXs(*source), std::vector<double>({0, 2, 3}));
  TrimExtraParts(*source, 5);
  EXPECT_EQ(EntryXs(*source), std::vector<double>({0, 3}));
}

}  // namespace
