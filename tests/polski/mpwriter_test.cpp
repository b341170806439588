#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <string>
#include <vector>

#include "polski/map.h"
#include "polski/mpwriter.h"
#include "polski_testutil.h"

using namespace PolskiFormat;

namespace {

// Runs a writer into a temp file and returns what it wrote.
template <class F>
std::string Written(F write) {
  std::string path = TestUtil::MakeTempDir("mpwriter") + "out.txt";
  FILE* f = std::fopen(path.c_str(), "wb");
  write(f);
  std::fclose(f);
  return TestUtil::ReadFile(path);
}

CPolyline* FirstPolyline(CMap& map, const std::string& body) {
  const char* error = PolskiTest::LoadText(map, std::string(PolskiTest::kHeader) + body);
  EXPECT_EQ(error, nullptr) << error;
  return map.Polylines.Empty() ? nullptr : map.Polyline(0);
}

// The whole map as .mp text: a header with the level table, then every object and restriction.
std::string WriteMap(const CMap& map) {
  return Written([&](FILE* f) {
    std::fprintf(f, "[IMG ID]\r\nName=%s\r\nCodePage=%s\r\n", map.Header->Name.c_str(), map.Header->CodePage.c_str());
    for (size_t i = 0; i < map.Header->Levels.Size(); i++) std::fprintf(f, "Level%zu=%u\r\n", i, map.Header->Levels[i]);
    std::fputs("[END-IMG ID]\r\n", f);
    for (size_t i = 0; i < map.POIs.Size(); i++) {
      std::fputs("[POI]\r\n", f);
      WritePOI(f, *map.POI(i));
      std::fputs("[END]\r\n", f);
    }
    for (size_t i = 0; i < map.Polylines.Size(); i++) {
      std::fputs("[POLYLINE]\r\n", f);
      WritePolyline(f, *map.Polyline(i), true);
      std::fputs("[END]\r\n", f);
    }
    for (size_t i = 0; i < map.Polygons.Size(); i++) {
      std::fputs("[POLYGON]\r\n", f);
      WritePolygon(f, *map.Polygon(i));
      std::fputs("[END]\r\n", f);
    }
    for (const TRestriction* r : map.Restrictions) {
      std::fputs("[Restrict]\r\n", f);
      WriteRestriction(f, *r);
      std::fputs("[END-Restrict]\r\n", f);
    }
  });
}

// Coordinates are written with six decimals.
void ExpectSamePoint(double a, double b, const char* what) { EXPECT_LE(std::fabs(a - b), 5.000001e-7) << what; }

void ExpectSameObject(const CMapObject& a, const CMapObject& b) {
  EXPECT_EQ(a.Type, b.Type);
  EXPECT_EQ(a.EndLevel, b.EndLevel);
  EXPECT_EQ(a.Label, b.Label);
  EXPECT_EQ(a.CountryName, b.CountryName);
  EXPECT_EQ(a.RegionName, b.RegionName);
  EXPECT_EQ(a.CityName, b.CityName);
  EXPECT_EQ(a.StreetDesc, b.StreetDesc);
}

void ExpectSameGeometry(const CReallocArray<TDataLevel>& a, const CReallocArray<TDataLevel>& b) {
  ASSERT_EQ(a.Size(), b.Size());
  for (size_t i = 0; i < a.Size(); i++) {
    EXPECT_EQ(a[i].Level, b[i].Level);
    EXPECT_EQ(a[i].IsHole, b[i].IsHole);
    ASSERT_EQ(a[i].Points.Size(), b[i].Points.Size());
    for (size_t k = 0; k < a[i].Points.Size(); k++) {
      ExpectSamePoint(a[i].Points[k].x, b[i].Points[k].x, "x");
      ExpectSamePoint(a[i].Points[k].y, b[i].Points[k].y, "y");
    }
  }
}

void ExpectSameRoad(const TRoadAttributes* a, const TRoadAttributes* b) {
  ASSERT_EQ(a == nullptr, b == nullptr);
  if (!a) return;
  EXPECT_EQ(a->RoadId, b->RoadId);
  EXPECT_EQ(a->RouteParamExt, b->RouteParamExt);
  if (a->SpeedClass != 255 && a->RoadClass != 255) {
    EXPECT_EQ(a->SpeedClass, b->SpeedClass);
    EXPECT_EQ(a->RoadClass, b->RoadClass);
    EXPECT_EQ(a->OneWay, b->OneWay);
    EXPECT_EQ(a->Toll, b->Toll);
    for (int i = 0; i < 8; i++) EXPECT_EQ(a->AccessDenied[i], b->AccessDenied[i]) << i;
  }
  EXPECT_EQ(std::memcmp(a->SpeedPairs, b->SpeedPairs, sizeof a->SpeedPairs), 0);
  ASSERT_EQ(a->Nodes.Size(), b->Nodes.Size());
  for (size_t i = 0; i < a->Nodes.Size(); i++) {
    EXPECT_EQ(a->Nodes[i].PointIndex, b->Nodes[i].PointIndex);
    EXPECT_EQ(a->Nodes[i].NodeId, b->Nodes[i].NodeId);
    EXPECT_EQ(a->Nodes[i].Bound, b->Nodes[i].Bound);
  }
}

// Rings in a canonical order: loading reorders the rings of one level (each
// moves in front of the ones before it unless it lies inside its neighbour),
// so a reload may list them in another order.
std::vector<std::string> RingKeys(const CReallocArray<TDataLevel>& rings) {
  std::vector<std::string> keys;
  for (const TDataLevel& ring : rings) {
    std::string key = std::to_string(ring.Level) + (ring.IsHole ? "h" : "o");
    char buf[64];
    for (const TPointD& p : ring.Points) {
      std::snprintf(buf, sizeof buf, "(%.6f,%.6f)", p.y, p.x);
      key += buf;
    }
    keys.push_back(key);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

// Load, write, load again: everything the writer writes comes back.
void ExpectRoundTrip(const std::string& path) {
  CMap first;
  ASSERT_EQ(first.LoadFile(path.c_str(), nullptr), nullptr) << path;
  DropEmptyObjects(first);
  CMap second;
  std::string copy = TestUtil::MakeTempDir("mpwriter_copy") + "copy.mp";
  TestUtil::WriteFile(copy, WriteMap(first));
  ASSERT_EQ(second.LoadFile(copy.c_str(), nullptr), nullptr) << copy;
  EXPECT_EQ(first.Utf8Labels, second.Utf8Labels);
  ASSERT_EQ(first.POIs.Size(), second.POIs.Size());
  ASSERT_EQ(first.Polylines.Size(), second.Polylines.Size());
  ASSERT_EQ(first.Polygons.Size(), second.Polygons.Size());
  ASSERT_EQ(first.Restrictions.Size(), second.Restrictions.Size());
  for (size_t i = 0; i < first.POIs.Size(); i++) {
    const CPOI &a = *first.POI(i), &b = *second.POI(i);
    ExpectSameObject(a, b);
    EXPECT_EQ(a.HouseNumber, b.HouseNumber);
    EXPECT_EQ(a.Highway, b.Highway);
    EXPECT_EQ(a.OvernightParking, b.OvernightParking);
    ASSERT_EQ(a.Points.Size(), b.Points.Size());
    for (size_t k = 0; k < a.Points.Size(); k++) {
      EXPECT_EQ(a.Points[k].Level, b.Points[k].Level);
      ExpectSamePoint(a.Points[k].x, b.Points[k].x, "poi x");
      ExpectSamePoint(a.Points[k].y, b.Points[k].y, "poi y");
    }
  }
  for (size_t i = 0; i < first.Polylines.Size(); i++) {
    SCOPED_TRACE("polyline " + std::to_string(i));
    ExpectSameObject(*first.Polyline(i), *second.Polyline(i));
    ExpectSameGeometry(first.Polyline(i)->Geometry, second.Polyline(i)->Geometry);
    ExpectSameRoad(first.Polyline(i)->Routing, second.Polyline(i)->Routing);
  }
  for (size_t i = 0; i < first.Polygons.Size(); i++) {
    SCOPED_TRACE("polygon " + std::to_string(i));
    const CPolygon &a = *first.Polygon(i), &b = *second.Polygon(i);
    ExpectSameObject(a, b);
    EXPECT_EQ(a.HouseNumber, b.HouseNumber);
    EXPECT_EQ(a.Background, b.Background);
    EXPECT_EQ(RingKeys(a.Geometry), RingKeys(b.Geometry));
  }
  for (size_t i = 0; i < first.Restrictions.Size(); i++) {
    const TRestriction &a = *first.Restrictions[i], &b = *second.Restrictions[i];
    EXPECT_EQ(a.NodeId, b.NodeId);
    ASSERT_EQ(a.TraffPoints.Size(), b.TraffPoints.Size());
    ASSERT_EQ(a.TraffRoads.Size(), b.TraffRoads.Size());
    for (size_t k = 0; k < a.TraffPoints.Size(); k++) EXPECT_EQ(a.TraffPoints[k], b.TraffPoints[k]);
    for (size_t k = 0; k < a.TraffRoads.Size(); k++) EXPECT_EQ(a.TraffRoads[k], b.TraffRoads[k]);
  }
}

}  // namespace

TEST(MpWriter, ObjectLines) {
  CMap map;
  std::string body =
      "[POI]\nType=0x2f06\nLabel=Cafe\nCityName=Vaduz\nEndLevel=1\nHouseNumber=12\nPhone=123\n"
      "Data0=(47.1,9.5)\nData1=(47.2,9.6)\n[END]\n"
      "[POLYGON]\nType=0x4e\nBackground=Y\nData0=(1,2),(1,3),(2,3)\n[END]\n"
      "[POLYLINE]\nType=0x6\nLabel=Main\nData0=(1,2),(1.5,2.5)\n[END]\n";
  ASSERT_EQ(PolskiTest::LoadText(map, std::string(PolskiTest::kHeader) + body), nullptr);
  EXPECT_EQ(Written([&](FILE* f) { WritePOI(f, *map.POI(0)); }),
            "Type=0x2f06\r\nLabel=Cafe\r\nCityName=Vaduz\r\nEndLevel=1\r\nHouseNumber=12\r\n"
            "Data0=(47.100000,9.500000)\r\nData1=(47.200000,9.600000)\r\n");
  EXPECT_EQ(Written([&](FILE* f) { WritePolygon(f, *map.Polygon(0)); }),
            "Type=0x4e\r\nBackground=Y\r\nData0=(1.000000,2.000000),(1.000000,3.000000),(2.000000,3.000000)\r\n");
  // Without a routing record no routing line at all.
  EXPECT_EQ(Written([&](FILE* f) { WritePolyline(f, *map.Polyline(0), true); }),
            "Type=0x6\r\nLabel=Main\r\nData0=(1.000000,2.000000),(1.500000,2.500000)\r\n");
}

TEST(MpWriter, RoadLines) {
  CMap map;
  CPolyline* road = FirstPolyline(map,
                                  "[POLYLINE]\nType=0x1\nData0=(1,2),(1,3),(1,4)\nRoadId=3000000000\n"
                                  "RouteParam=3,2,1,0,0,0,1,0,0,0,0,1\nRouteParamExt=1\nSpeed=5\n"
                                  "Nod1=0,4294967290,0\nNod2=2,7,1\n[END]\n");
  ASSERT_TRUE(road && road->Routing);
  std::string bars;
  for (int i = 0; i < 23; i++) bars += "|,";
  EXPECT_EQ(Written([&](FILE* f) { WritePolyline(f, *road, true); }),
            "Type=0x1\r\nData0=(1.000000,2.000000),(1.000000,3.000000),(1.000000,4.000000)\r\n"
            "RoadId=-1294967296\r\nRouteParam=3,2,1,0,0,0,1,0,0,0,0,1\r\nRouteParamExt=1\r\nSpeed=5," +
                bars + "\r\nNod1=0,-6,0\r\nNod2=2,7,1\r\n");
  // The speed line only when asked for.
  EXPECT_EQ(Written([&](FILE* f) { WritePolyline(f, *road, false); }).find("Speed="), std::string::npos);

  CMap unset;
  CPolyline* noClass = FirstPolyline(unset, "[POLYLINE]\nType=0x1\nData0=(1,2),(1,3)\nRoadId=5\nNod1=0,1,0\nNod2=1,2,0\n[END]\n");
  ASSERT_TRUE(noClass && noClass->Routing);
  std::string text = Written([&](FILE* f) { WritePolyline(f, *noClass, true); });
  EXPECT_NE(text.find("RoadId=5\r\n"), std::string::npos);
  EXPECT_EQ(text.find("RouteParam"), std::string::npos);
  EXPECT_EQ(text.find("Speed="), std::string::npos);
}

TEST(MpWriter, Restrictions) {
  TRestriction r;
  r.TraffPoints.PushBack(3000000000u);
  r.TraffPoints.PushBack(0);
  r.TraffPoints.PushBack(9);
  r.TraffRoads.PushBack(4000000000u);
  r.TraffRoads.PushBack(1);
  EXPECT_EQ(Written([&](FILE* f) { EXPECT_TRUE(WriteRestriction(f, r)); }),
            "TraffPoints=-1294967296,0,9\r\nTraffRoads=-294967296,1\r\n");
  r.NodeId = 77;
  EXPECT_EQ(Written([&](FILE* f) { WriteRestriction(f, r); }).substr(0, 8), "Nod=77\r\n");
  // An id that would print as -1 cannot be read back: nothing is written.
  r.TraffRoads.PushBack(0xFFFFFFFFu);
  EXPECT_EQ(Written([&](FILE* f) { EXPECT_FALSE(WriteRestriction(f, r)); }), "");
}

TEST(MpWriter, RoundTripOfTheFixtureMap) {
  ExpectRoundTrip(std::string(ORLUMO_SOURCE_DIR) + "/tests/polski/data/fixture.mp");
}

TEST(MpWriter, RoundTripOfTheRealMaps) {
  std::string corpus = TestUtil::SharedPath("corpus");
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus is not here";
  std::string dir = TestUtil::MakeTempDir("mpwriter_corpus");
  for (const char* name : {"li2013.mp.gz", "li2013-cp1252.mp.gz", "monaco-2016.mp.gz", "andorra-2020.mp.gz"}) {
    SCOPED_TRACE(name);
    ExpectRoundTrip(TestUtil::Gunzip(corpus + "/" + name, dir));
  }
}
