// The .mp loader: the hand-written fixture map field by field, the error
// texts, and the load loop's edge cases.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "polski/map.h"
#include "polski_testutil.h"

using namespace PolskiFormat;
using PolskiTest::kHeader;
using PolskiTest::LoadText;

namespace {

std::string FixturePath() { return std::string(ORLUMO_SOURCE_DIR) + "/tests/polski/data/fixture.mp"; }

TEST(Loader, FixtureHeaderAndLists) {
  CMap map;
  std::string path = FixturePath();
  ASSERT_EQ(map.LoadFile(path.c_str(), nullptr), nullptr);
  EXPECT_EQ(map.FileName, path);
  const CHeaderSection& h = *map.Header;
  EXPECT_EQ(h.Name, "Fixture Map");
  EXPECT_EQ(h.CodePage, "1251");
  EXPECT_EQ(map.Utf8Labels, 0);
  EXPECT_EQ(h.LblCoding, "9");
  EXPECT_EQ(h.Datum, "W84");
  EXPECT_EQ(h.Copyright, "(c) Fixture makers");
  EXPECT_EQ(h.Revision, "42");
  EXPECT_EQ(h.Country, "Freedonia");
  EXPECT_EQ(h.Region, "West");
  EXPECT_EQ(h.ElevationInFeet, 1);
  EXPECT_EQ(h.LeftSideTraffic, 1);
  ASSERT_EQ(map.LevelCount(), 4u);
  EXPECT_EQ(h.Levels[0], 24);
  EXPECT_EQ(h.Levels[1], 21);
  EXPECT_EQ(h.Levels[2], 0);
  EXPECT_EQ(h.Levels[3], 16);
  EXPECT_TRUE(h.Pairs.Empty());  // they pointed into the file buffer

  ASSERT_EQ(map.Countries.Size(), 2u);
  EXPECT_EQ(map.Countries[0], "Freedonia");
  EXPECT_EQ(map.Countries[1], "Sylvania East");
  ASSERT_EQ(map.Regions.Size(), 2u);
  EXPECT_EQ(map.Regions[0].Name, "West");
  EXPECT_EQ(map.Regions[0].Parent, 0u);
  EXPECT_EQ(map.Regions[1].Name, "Coast");
  EXPECT_EQ(map.Regions[1].Parent, 1u);
  ASSERT_EQ(map.Cities.Size(), 2u);
  EXPECT_EQ(map.Cities[0].Name, "Capital");
  EXPECT_EQ(map.Cities[0].Parent, 0u);
  EXPECT_EQ(map.Cities[1].Name, "Port Town");
  EXPECT_EQ(map.Cities[1].Parent, 1u);
}

TEST(Loader, FixturePoints) {
  CMap map;
  ASSERT_EQ(map.LoadFile(FixturePath().c_str(), nullptr), nullptr);
  // POI, RGN10, RGN20 and the POI that replaced a discarded open one.
  ASSERT_EQ(map.POIs.Size(), 4u);
  const CPOI& p = *map.POI(0);
  EXPECT_EQ(p.Type, 0x2F06);
  EXPECT_EQ(p.Label, "Main Station");
  EXPECT_EQ(p.EndLevel, 2);
  EXPECT_EQ(p.CityIndex, 1);
  EXPECT_EQ(p.StreetDesc, "Harbour Road");
  EXPECT_EQ(p.Phone, "+1 555");
  EXPECT_EQ(p.Fax, "+1 556");
  EXPECT_EQ(p.Email, "a@b.c");
  EXPECT_EQ(p.Webpage, "http://x");
  EXPECT_EQ(p.Text, "first\nsecond");
  EXPECT_EQ(p.DontFind, 1);
  EXPECT_EQ(p.HouseNumber, "12a");
  EXPECT_EQ(p.Highway, "A1");
  EXPECT_EQ(p.OvernightParking, 1);
  ASSERT_EQ(p.Points.Size(), 2u);
  EXPECT_EQ(p.Points[0].Level, 0);
  EXPECT_EQ(p.Points[0].y, 45.5);
  EXPECT_EQ(p.Points[0].x, 10.25);
  EXPECT_EQ(p.Points[1].Level, 1);
  EXPECT_EQ(p.Points[1].y, 45.75);
  EXPECT_EQ(p.Points[1].x, 10.5);
  ASSERT_EQ(p.EntryPoints.Size(), 1u);
  EXPECT_EQ(p.EntryPoints[0].Position.y, 45.51);
  EXPECT_EQ(p.EntryPoints[0].Position.x, 10.26);
  EXPECT_EQ(p.EntryPoints[0].Text, "gate");
  ASSERT_EQ(p.OpeningHours.Size(), 2u);
  EXPECT_EQ(p.OpeningHours[0].Weekdays[0].First, 1);
  EXPECT_EQ(p.OpeningHours[0].Weekdays[0].Last, 5);
  EXPECT_EQ(p.OpeningHours[1].TimeSpans[0].End.Minutes, 780);

  EXPECT_EQ(map.POI(1)->Type, 0x6616);
  EXPECT_EQ(map.POI(1)->Label, "2641");
  EXPECT_EQ(map.POI(2)->Type, 0xB00);
  EXPECT_EQ(map.POI(2)->CityName, "Rotenboden");
  EXPECT_EQ(map.POI(2)->RegionName, "West");
  EXPECT_EQ(map.POI(2)->CountryName, "Freedonia");
  EXPECT_EQ(map.POI(2)->CityIndex, -1);
  EXPECT_EQ(map.POI(2)->Points[0].Level, 1);
  EXPECT_EQ(map.POI(3)->Type, 2);
}

TEST(Loader, FixtureAreas) {
  CMap map;
  ASSERT_EQ(map.LoadFile(FixturePath().c_str(), nullptr), nullptr);
  ASSERT_EQ(map.Polygons.Size(), 2u);
  const CPolygon& a = *map.Polygon(0);
  EXPECT_EQ(a.Type, 0x10500);
  EXPECT_EQ(a.Label, "Lake");
  EXPECT_EQ(a.Background, 1);
  EXPECT_EQ(a.HouseNumber, "7");
  ASSERT_EQ(a.EntryPoints.Size(), 1u);
  EXPECT_EQ(a.EntryPoints[0].Text, "");
  ASSERT_EQ(a.OpeningHours.Size(), 1u);
  EXPECT_EQ(a.OpeningHours[0].TimeSpans[0].End.Minutes, 1440);
  // The hole came first: the outer ring moves in front of it.
  ASSERT_EQ(a.Geometry.Size(), 3u);
  EXPECT_EQ(a.Geometry[0].Level, 0);
  EXPECT_EQ(a.Geometry[0].IsHole, 0);
  EXPECT_EQ(a.Geometry[0].Points[2].x, 10);
  EXPECT_EQ(a.Geometry[1].Level, 0);
  EXPECT_EQ(a.Geometry[1].IsHole, 1);
  EXPECT_EQ(a.Geometry[1].Points[0].x, 2);
  EXPECT_EQ(a.Geometry[2].Level, 1);
  EXPECT_EQ(a.Geometry[2].Points.Size(), 3u);
  EXPECT_EQ(map.Polygon(1)->Type, 0x13);
  EXPECT_EQ(map.Polygon(1)->Geometry.Size(), 1u);
}

TEST(Loader, FixtureLinesAndRoads) {
  CMap map;
  ASSERT_EQ(map.LoadFile(FixturePath().c_str(), nullptr), nullptr);
  ASSERT_EQ(map.Polylines.Size(), 3u);
  const CPolyline& l = *map.Polyline(0);
  EXPECT_EQ(l.Type, 6);
  EXPECT_EQ(l.Label, "Harbour Road");
  EXPECT_EQ(l.CityIndex, 0);
  EXPECT_EQ(l.EndLevel, 1);
  ASSERT_EQ(l.Geometry.Size(), 2u);
  EXPECT_EQ(l.Geometry[0].Points.Size(), 3u);
  EXPECT_EQ(l.Geometry[1].Level, 1);
  ASSERT_NE(l.Routing, nullptr);
  const TRoadAttributes& r = *l.Routing;
  EXPECT_EQ(r.RoadId, 7u);
  EXPECT_EQ(r.SpeedClass, 3);
  EXPECT_EQ(r.RoadClass, 2);
  EXPECT_EQ(r.OneWay, 1);
  EXPECT_EQ(r.Toll, 0);
  const uint8_t access[8] = {0, 0, 1, 0, 0, 0, 0, 1};
  EXPECT_EQ(std::memcmp(r.AccessDenied, access, 8), 0);
  EXPECT_EQ(r.RouteParamExt, 1);
  EXPECT_EQ(r.LanesForward, 2);   // TurnLanes overrides TrafficLanes
  EXPECT_EQ(r.LanesBackward, 1);  // and so does TurnLanesBackward
  ASSERT_EQ(r.TurnLanesForward.Size(), 4u);
  EXPECT_EQ(r.TurnLanesForward[1], LaneSeparator);
  ASSERT_EQ(r.TurnLanesBackward.Size(), 1u);
  EXPECT_EQ(r.TurnLanesBackward[0], LaneNone);
  EXPECT_EQ(r.LegalSpeed, 50);
  EXPECT_EQ(r.SpeedPairs[0][0], 10);
  EXPECT_EQ(r.SpeedPairs[1][1], 40);
  ASSERT_EQ(r.Nodes.Size(), 2u);
  EXPECT_EQ(r.Nodes[0].NodeId, 1000u);
  EXPECT_EQ(r.Nodes[1].PointIndex, 2u);
  EXPECT_EQ(r.Nodes[1].NodeId, 3000000000u);
  EXPECT_EQ(r.Nodes[1].Bound, 1);
  ASSERT_EQ(r.Numbers.Size(), 1u);
  EXPECT_EQ(r.Numbers[0].RightEnd, 10u);
  ASSERT_EQ(r.HLevels.Size(), 1u);
  EXPECT_EQ(r.HLevels[0].PointIndex, 1u);
  ASSERT_EQ(r.FirstLevelPoints.Size(), 3u);
  EXPECT_EQ(r.FirstLevelPoints[2].x, 3);

  EXPECT_EQ(map.Polyline(1)->Type, 0x1d);
  EXPECT_EQ(map.Polyline(1)->Routing, nullptr);
  EXPECT_EQ(map.Polyline(1)->Geometry.Size(), 2u);
  ASSERT_NE(map.Polyline(2)->Routing, nullptr);
  EXPECT_EQ(map.Polyline(2)->Routing->Nodes[1].PartIndex, 1);

  // Sorted by id; each record is the one its polyline points to.
  ASSERT_EQ(map.RoadAttributes.Size(), 2u);
  EXPECT_EQ(map.RoadAttributes[0], map.Polyline(2)->Routing);
  EXPECT_EQ(map.RoadAttributes[1], map.Polyline(0)->Routing);

  ASSERT_EQ(map.Restrictions.Size(), 1u);
  const TRestriction& t = *map.Restrictions[0];
  EXPECT_EQ(t.NodeId, 1000);
  ASSERT_EQ(t.TraffPoints.Size(), 3u);
  EXPECT_EQ(t.TraffPoints[1], 3000000000u);
  ASSERT_EQ(t.TraffRoads.Size(), 2u);
  EXPECT_EQ(t.TraffRoads[1], 3u);
  ASSERT_EQ(map.Lanes.Size(), 1u);
  EXPECT_EQ(map.Lanes[0]->LanePoints[1], 3000000000u);
  EXPECT_EQ(map.Lanes[0]->LaneRoads[0], 7u);
  ASSERT_EQ(map.Lanes[0]->LaneConnections.Size(), 2u);
  EXPECT_EQ(map.Lanes[0]->LaneConnections[0], 0x10);
}

TEST(Loader, ErrorTexts) {
  struct TCase {
    const char* name;
    std::string text;
    const char* error;
  };
  const TCase cases[] = {
      {"empty file", "", "No header"},
      {"objects only", "[POI]\nType=1\nData0=(1,1)\n[END]\n", "No header"},
      {"unclosed header", "[IMG ID]\nName=x\n", "No header"},
      {"region without country index", std::string(kHeader) + "[Countries]\nCountry1=A\n[END]\n"
                                                             "[Regions]\nRegion1=R\n[END]\n",
       "Bad address info"},
      {"city index equal to the region count", std::string(kHeader) + "[Countries]\nCountry1=A\n[END]\n"
                                                                     "[Regions]\nRegion1=R\nCountryIdx1=1\n[END]\n"
                                                                     "[Cities]\nCity1=C\nRegionIdx1=2\n[END]\n",
       "Bad address info"},
      {"POI city index without cities", std::string(kHeader) + "[POI]\nType=1\nCityIdx=1\nData0=(1,1)\n[END]\n",
       "Bad address info"},
      {"POI with index and name", std::string(kHeader) + "[Countries]\nCountry1=A\n[END]\n"
                                                         "[Regions]\nRegion1=R\nCountryIdx1=1\n[END]\n"
                                                         "[Cities]\nCity1=C\nRegionIdx1=1\n[END]\n"
                                                         "[POI]\nType=1\nCityIdx=1\nCityName=C\nData0=(1,1)\n[END]\n",
       "Bad address info"},
      {"failed countries list", std::string(kHeader) + "[Countries]\nCountry2=A\n[END]\n"
                                                       "[Regions]\nRegion1=R\nCountryIdx1=1\n[END]\n",
       "Bad address info"},
      {"valid addresses", std::string(kHeader) + "[Countries]\nCountry1=A\n[END]\n"
                                                 "[Regions]\nRegion1=R\nCountryIdx1=1\n[END]\n"
                                                 "[Cities]\nCity1=C\nRegionIdx1=1\n[END]\n"
                                                 "[POLYLINE]\nType=1\nCityIdx=1\nData0=(1,1)\n[END]\n",
       nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    CMap map;
    const char* error = LoadText(map, c.text);
    if (c.error) {
      ASSERT_NE(error, nullptr);
      EXPECT_STREQ(error, c.error);
      EXPECT_TRUE(map.FileName.empty());
    } else {
      EXPECT_EQ(error, nullptr);
    }
  }
}

TEST(Loader, FilesThatCannotBeRead) {
  std::string dir = TestUtil::MakeTempDir("polski_unreadable");
  std::filesystem::create_directory(dir + "folder.mp");
  for (std::string path : {dir + "folder.mp", dir + "missing.mp", dir, std::string("")}) {
    CMap map;
    EXPECT_STREQ(map.LoadFile(path.c_str(), nullptr), "Error loading file.") << path;
  }
}

TEST(Loader, StopFlag) {
  bool stop = true;
  CMap stopped;
  EXPECT_STREQ(LoadText(stopped, std::string(kHeader), &stop), "No header");
  // Set after the lines were read: the address check still comes first.
  CMap map;
  bool notYet = false;
  ASSERT_EQ(LoadText(map, std::string(kHeader), &notYet), nullptr);
  CMap interrupted;
  interrupted.Header = new CHeaderSection;
  EXPECT_STREQ(interrupted.FinishLoad("x.mp", &stop), "Interrupted by user");
  interrupted.Regions.EmplaceBack();
  EXPECT_STREQ(interrupted.FinishLoad("x.mp", &stop), "Bad address info");
}

TEST(Loader, CodePages) {
  // The header's value, whether the texts are UTF-8, the single-byte code
  // page otherwise (0: unknown, read as Windows-1251 with a warning).
  const struct {
    const char* line;
    uint8_t utf8;
    uint32_t codePage;
  } cases[] = {
      {"", 1, 0},                   {"CodePage=\n", 1, 0},       {"CodePage=utf8\n", 1, 0},
      {"CodePage=UTF8\n", 1, 0},    {"CodePage=65001\n", 1, 0},  {"CodePage=UTF-8\n", 1, 0},
      {"CodePage=utf-8\n", 1, 0},   {"CodePage=1251\n", 0, 1251}, {"CodePage=1252\n", 0, 1252},
      {"CodePage=1250\n", 0, 1250}, {"CodePage=874\n", 0, 874},  {"CodePage=1258\n", 0, 1258},
      {"CodePage= 65001\n", 0, 0}, {"CodePage=1252x\n", 0, 0}, {"CodePage=437\n", 0, 0},
      {"CodePage=utf-16\n", 0, 0}, {"CodePage=99999999991252\n", 0, 0},
  };
  for (const auto& c : cases) {
    CMap map;
    TestUtil::CStdoutCapture capture;
    ASSERT_EQ(LoadText(map, std::string("[IMG ID]\n") + c.line + "[END]\n"), nullptr);
    std::string log = capture.Finish();
    EXPECT_EQ(map.Utf8Labels, c.utf8) << c.line;
    EXPECT_EQ(map.TextTable(), c.utf8 ? nullptr : map.LabelTable) << c.line;
    bool unknown = !c.utf8 && !c.codePage;
    EXPECT_EQ(map.LabelTable, SingleByteCodePage(c.codePage ? c.codePage : 1251)) << c.line;
    std::string warning = "Unknown code page \"" + map.Header->CodePage + "\": texts are read as Windows-1251";
    size_t at = log.find(warning);
    EXPECT_EQ(at != std::string::npos, unknown) << c.line << log;
    if (unknown) {
      EXPECT_EQ(log.find("Unknown code page", at + 1), std::string::npos) << "twice: " << log;
    }
  }
}

TEST(Loader, LineEndsAndByteOrderMark) {
  CMap map;
  ASSERT_EQ(LoadText(map, "\xEF\xBB\xBF[IMG ID]\r\nName=crlf\r\n[END]\r[POI]\rType=1\nData0=(1,1)\r\n[END]"), nullptr);
  EXPECT_EQ(map.Header->Name, "crlf");
  EXPECT_EQ(map.POIs.Size(), 1u);
  // A byte-order mark elsewhere is an ordinary byte.
  CMap late;
  EXPECT_STREQ(LoadText(late, "\n\xEF\xBB\xBF[IMG ID]\nName=x\n[END]\n"), "No header");
}

TEST(Loader, SectionSequences) {
  CMap map;
  ASSERT_EQ(LoadText(map,
                     "[POI]\nType=1\nData0=(1,1)\n[END]\n"
                     "[IMG ID]\nName=first\n[END]\n"
                     "[Countries]\nCountry1=A\nCountry2=B\n[END]\n"
                     "[Countries]\nCountry1=C\n[END]\n"
                     "[POI]\n  Type=2\nData0=(1,1)\n[END]\n"
                     "[IMG ID]\nName=second\n[END]\n"),
            nullptr);
  EXPECT_EQ(map.Header->Name, "second");  // the replaced header is freed
  ASSERT_EQ(map.Countries.Size(), 1u);    // a second list replaces the first
  EXPECT_EQ(map.Countries[0], "C");
  ASSERT_EQ(map.POIs.Size(), 2u);  // objects before the header load normally
  EXPECT_EQ(map.POI(1)->Type, 2);  // blanks before a key are skipped
}

// Whatever a map received before an error stays with it; the destructor
// frees it all (checked by the sanitizer build).
TEST(Loader, ErrorKeepsWhatWasLoaded) {
  CMap map;
  EXPECT_STREQ(LoadText(map, std::string(kHeader) + "[POLYLINE]\nType=1\nRoadId=4\nData0=(1,1),(2,2)\nCityIdx=1\n"
                                                  "[END]\n[Restrict]\nTraffPoints=1,2\n[END]\n"),
               "Bad address info");
  EXPECT_EQ(map.Polylines.Size(), 1u);
  EXPECT_EQ(map.RoadAttributes.Size(), 1u);
  EXPECT_EQ(map.Restrictions.Size(), 1u);
}

TEST(Loader, ClampLevel) {
  CMap map;
  EXPECT_EQ(map.ClampLevel(0), -1);  // no header, no levels
  map.Header = new CHeaderSection;
  EXPECT_EQ(map.ClampLevel(3), -1);
  map.Header->Levels.ResizeZeroed(3);
  const std::pair<int32_t, int32_t> cases[] = {{0, 0}, {2, 2}, {3, 2}, {255, 2}, {INT32_MAX, 2}, {-1, 0}, {INT32_MIN, 0}};
  for (const auto& [level, clamped] : cases) EXPECT_EQ(map.ClampLevel(level), clamped) << level;
}

}  // namespace
