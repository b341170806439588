// Map objects: type composition, common keys, geometry and rings, entry
// points, and the three object sections.
#include <gtest/gtest.h>

#include "polski/objects.h"
#include "polski/roadattributes.h"
#include "polski_testutil.h"

using namespace PolskiFormat;

namespace {

// Squares as .mp point lists ((lat,lon) pairs).
const char* kOuter = "(0,0),(0,10),(10,10),(10,0)";
const char* kInner = "(2,2),(2,4),(4,4),(4,2)";
const char* kOther = "(20,20),(20,30),(30,30),(30,20)";

template <class TSection>
std::unique_ptr<TSection> Parsed(PolskiTest::CPairSource& source, const std::string& text, bool* ok) {
  auto section = std::make_unique<TSection>();
  source.Feed(*section, text);
  *ok = section->Parse();
  return section;
}

TEST(MapObjects, TypeComposition) {
  struct TCase {
    const char* text;
    int32_t type;
  };
  const TCase cases[] = {
      {"Type=0x2F06", 0x2F06},
      {"Type=0x2F\nSubType=0x06", 0x2F06},
      {"Type=0x2f\nSubType=6", 0x2F06},
      {"Type=0x10\nSubType=0", 0x10},
      {"Type=010", 8},
      {"Type=22", 22},
      {"Type=5\nMarine=Y", 0x10500},
      {"Type=0x2F\nSubType=0x06\nMarine=1", 0x12F06},
      {"Type=5\nMarine=N", 5},
      {"Type=1\nType=0x20", 0x20},  // a later key overrides
      {"Type=x", 0},
      {"", 0},
      {"Type=0xFFFFFFFF\nSubType=1", static_cast<int32_t>(0xFFFFFF01u)},  // saturated, then shifted in 32 bits
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    PolskiTest::CPairSource source;
    CSection* section = nullptr;
    CPOISection poi;
    section = &source.Feed(poi, c.text);
    CMapObject object;
    ASSERT_TRUE(ParseCommonKeys(*section, object));
    EXPECT_EQ(object.Type, c.type);
  }
}

TEST(MapObjects, CommonKeys) {
  PolskiTest::CPairSource source;
  CPOISection section;
  source.Feed(section,
              "Label=Main~[0x1d]Alt Road\nStreetDesc=S~[0x1f]1\nCityName=C\nRegionName=R\nCountryName=K\n"
              "Phone=1~[0x1e]2\nFax=F\nEmail=E\nWEBPAGE=W\nText=a\nText=b\nEndLevel=3\nCityIdx=2\nDontFind=Y\n"
              "City=Y\nZip=1234");
  CMapObject o;
  ASSERT_TRUE(ParseCommonKeys(section, o));
  EXPECT_EQ(o.Label, "Main Road");
  EXPECT_EQ(o.StreetDesc, "S 1");
  EXPECT_EQ(o.CityName, "C");
  EXPECT_EQ(o.RegionName, "R");
  EXPECT_EQ(o.CountryName, "K");
  EXPECT_EQ(o.Phone, "1~[0x1e]2");  // as read
  EXPECT_EQ(o.Fax, "F");
  EXPECT_EQ(o.Email, "E");
  EXPECT_EQ(o.Webpage, "W");
  EXPECT_EQ(o.Text, "a\nb");
  EXPECT_EQ(o.EndLevel, 3);
  EXPECT_EQ(o.CityIndex, 1);
  EXPECT_EQ(o.DontFind, 1);

  CMapObject defaults;
  EXPECT_EQ(defaults.Type, 0);
  EXPECT_EQ(defaults.EndLevel, 255);
  EXPECT_EQ(defaults.CityIndex, -1);
  EXPECT_EQ(defaults.DontFind, 0);
}

TEST(MapObjects, CommonKeyValues) {
  struct TCase {
    const char* text;
    bool ok;
    int32_t endLevel;
    int32_t cityIndex;
    uint8_t dontFind;
  };
  const TCase cases[] = {
      {"CityIdx=1", true, 255, 0, 0},     {"CityIdx=0", false, 0, 0, 0},   {"CityIdx=-1", false, 0, 0, 0},
      {"CityIdx=x", false, 0, 0, 0},      {"CityIdx=2 ", false, 0, 0, 0},  {"CityIdx=", false, 0, 0, 0},
      {"EndLevel=", true, 0, -1, 0},      {"EndLevel=x", true, 0, -1, 0},  {"EndLevel=-2", true, -2, -1, 0},
      {"EndLevel=99999999999", true, INT32_MAX, -1, 0},
      {"DontFind=y", true, 255, -1, 0},   {"DontFind=1", true, 255, -1, 0}, {"DontFind=Y ", true, 255, -1, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    PolskiTest::CPairSource source;
    CPOISection section;
    source.Feed(section, c.text);
    CMapObject o;
    ASSERT_EQ(ParseCommonKeys(section, o), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(o.EndLevel, c.endLevel);
    EXPECT_EQ(o.CityIndex, c.cityIndex);
    EXPECT_EQ(o.DontFind, c.dontFind);
  }
  for (const char* key : {"Type", "endlevel", "Label", "CountryName", "RegionName", "City", "CityIdx", "StreetDesc",
                          "Phone", "Fax", "Email", "WebPage", "Text", "DontFind"}) {
    EXPECT_TRUE(IsCommonKey(key)) << key;
  }
  for (const char* key : {"CityName", "SubType", "Data0", "Label ", "Labels"}) EXPECT_FALSE(IsCommonKey(key)) << key;
}

TEST(Geometry, PointLists) {
  struct TCase {
    const char* value;
    size_t count;
  };
  const TCase cases[] = {
      {"(1,2),(3,4)", 2},
      {"( 1,\t2),(3, 4)", 2},  // blanks before a number only
      {"(1 ,2)", 0},
      {"(1,2 )", 0},
      {"(1,2) ,(3,4)", 1},
      {"(1,2), (3,4)", 1},
      {"(1,2),,(3,4)", 1},
      {"(1,2)(3,4)", 2},
      {"(1,2", 0},
      {" (1,2)", 0},
      {"", 0},
      {"(1,2),(x,3),(4,5)", 1},
      {"(90,180),(-90,-180)", 2},  // the limits themselves are fine
      {"(1,2),(90.0001,0),(3,4)", 1},
      {"(0,180.5)", 0},
      {"(nan,1)", 0},
      {"(1,inf)", 0},
      {"(1e300,1)", 0},
      {"(-1e-300,1)", 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.value);
    CReallocArray<TPointD> points;
    ParsePointList(c.value, points);
    EXPECT_EQ(points.Size(), c.count);
  }
  CReallocArray<TPointD> points;
  ParsePointList("(47.1275781,9.5387175),(-1.5,2)", points);
  ASSERT_EQ(points.Size(), 2u);
  EXPECT_EQ(points[0].y, 47.1275781);  // latitude first in the text
  EXPECT_EQ(points[0].x, 9.5387175);
  EXPECT_EQ(points[1].y, -1.5);
  ParsePointList("(3,4)", points);  // appends
  EXPECT_EQ(points.Size(), 3u);
}

TEST(Geometry, EntryPoints) {
  struct TCase {
    const char* value;
    bool ok;
    const char* text;
  };
  const TCase cases[] = {
      {"(1,2)", true, ""},          {"(1,2),gate", true, "gate"}, {"(1,2),", true, ""},
      {"(1,2),a,b", true, "a,b"},   {"(1,2)gate", false, ""},    {"(1,2", false, ""},
      {"gate", false, ""},          {"(100,2)", false, ""},      {"", false, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.value);
    TEntryPoint e;
    ASSERT_EQ(ParseEntryPoint(c.value, &e), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(e.Text, c.text);
    EXPECT_EQ(e.Position.y, 1);
    EXPECT_EQ(e.Position.x, 2);
  }
}

TEST(Geometry, KeyLevels) {
  const std::pair<const char*, int32_t> cases[] = {
      {"Data0", 0},     {"data3", 3},      {"ORIGIN2", 2},   {"Origin0", 0},  {"Data255", 255},
      {"Data256", -1},  {"Data2000000000", -1}, {"Data", -1}, {"Datax", -1},   {"Data-1", -1},
      {"Database", -1}, {"Origin", -1},    {"Label", -1},    {"Dat0", -1},
  };
  for (const auto& [key, level] : cases) EXPECT_EQ(GeometryKeyLevel(key), level) << key;
}

TEST(POISection, Parse) {
  PolskiTest::CPairSource source;
  bool ok;
  auto s = Parsed<CPOISection>(source,
                               "Type=0x2F06\nData0=(1.5,2.5)\nOrigin1=(3,4),(5,6)\nData2=garbage\nData3=(91,0)\n"
                               "HouseNumber=12a\nHighway=A1\nOvernightParking=y\nEntryPoint=(1,2),gate\n"
                               "EntryPoint=(1,2)x\nOpeningHours=Mo-Fr 08:00-18:00",
                               &ok);
  ASSERT_TRUE(ok);
  auto* poi = static_cast<CPOI*>(s->GetObject());
  EXPECT_EQ(poi->Type, 0x2F06);
  ASSERT_EQ(poi->Points.Size(), 4u);
  EXPECT_EQ(poi->Points[0].Level, 0);
  EXPECT_EQ(poi->Points[0].y, 1.5);
  EXPECT_EQ(poi->Points[0].x, 2.5);
  EXPECT_EQ(poi->Points[1].Level, 1);  // further pairs ignored
  EXPECT_EQ(poi->Points[1].y, 3);
  // Values without a readable pair still place a point, at zero.
  EXPECT_EQ(poi->Points[2].Level, 2);
  EXPECT_EQ(poi->Points[2].x, 0);
  EXPECT_EQ(poi->Points[3].y, 0);
  EXPECT_EQ(poi->HouseNumber, "12a");
  EXPECT_EQ(poi->Highway, "A1");
  EXPECT_EQ(poi->OvernightParking, 1);
  ASSERT_EQ(poi->EntryPoints.Size(), 1u);
  EXPECT_EQ(poi->EntryPoints[0].Text, "gate");
  EXPECT_EQ(poi->OpeningHours.Size(), 1u);
  EXPECT_TRUE(s->IsOwnKey("highway"));
  EXPECT_FALSE(s->IsOwnKey("Background"));

  // Failures; the object built so far is freed with the section.
  for (const char* text : {"Type=1", "Type=1\nData=(1,2)", "Type=1\nData300=(1,2)", "CityIdx=0\nData0=(1,2)"}) {
    Parsed<CPOISection>(source, text, &ok);
    EXPECT_FALSE(ok) << text;
  }
}

struct TRing {
  uint8_t level;
  const char* points;
};

std::string RingsText(std::initializer_list<TRing> rings) {
  std::string text = "Type=0x4C\n";
  for (const TRing& r : rings) text += "Data" + std::to_string(r.level) + "=" + r.points + "\n";
  return text;
}

TEST(PolygonSection, RingOrderAndHoles) {
  struct TExpect {
    uint8_t level;
    uint8_t hole;
    const char* firstPoint;  // identifies the ring
  };
  struct TCase {
    const char* name;
    std::initializer_list<TRing> rings;
    std::initializer_list<TExpect> expected;
  };
  const TCase cases[] = {
      {"levels 1, 0, 0", {{1, kOuter}, {0, kInner}, {0, kOther}}, {{0, 0, kOther}, {0, 0, kInner}, {1, 0, kOuter}}},
      {"outer then inner", {{0, kOuter}, {0, kInner}}, {{0, 0, kOuter}, {0, 1, kInner}}},
      {"inner then outer", {{0, kInner}, {0, kOuter}}, {{0, 0, kOuter}, {0, 1, kInner}}},
      {"outer, hole, outer", {{0, kOuter}, {0, kInner}, {0, kOther}},
       {{0, 0, kOther}, {0, 0, kOuter}, {0, 1, kInner}}},
      {"empty ring lies inside", {{0, kOuter}, {0, ""}}, {{0, 0, kOuter}, {0, 1, ""}}},
      {"different levels never hole", {{0, kOuter}, {1, kInner}}, {{0, 0, kOuter}, {1, 0, kInner}}},
      {"level 200 sorts as negative", {{0, kOuter}, {200, kOther}}, {{200, 0, kOther}, {0, 0, kOuter}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    PolskiTest::CPairSource source;
    bool ok;
    auto s = Parsed<CPolygonSection>(source, RingsText(c.rings), &ok);
    ASSERT_TRUE(ok);
    auto* polygon = static_cast<CPolygon*>(s->GetObject());
    ASSERT_EQ(polygon->Geometry.Size(), c.expected.size());
    size_t i = 0;
    for (const TExpect& e : c.expected) {
      const TDataLevel& ring = polygon->Geometry[i++];
      EXPECT_EQ(ring.Level, e.level);
      EXPECT_EQ(ring.IsHole, e.hole);
      CReallocArray<TPointD> expectedPoints;
      ParsePointList(e.firstPoint, expectedPoints);
      ASSERT_EQ(ring.Points.Size(), expectedPoints.Size());
      if (!expectedPoints.Empty()) {
        EXPECT_EQ(ring.Points[0].y, expectedPoints[0].y);
      }
    }
  }
}

TEST(PolygonSection, Keys) {
  PolskiTest::CPairSource source;
  bool ok;
  auto s = Parsed<CPolygonSection>(
      source, "Type=0x13\nData0=(1,2),(1,3),(2,3)\nBackground=Y\nHouseNumber=5\nEntryPoint=(1,2),II\n"
              "OpeningHours=24/7\nHighway=ignored",
      &ok);
  ASSERT_TRUE(ok);
  auto* polygon = static_cast<CPolygon*>(s->GetObject());
  EXPECT_EQ(polygon->Background, 1);
  EXPECT_EQ(polygon->HouseNumber, "5");
  ASSERT_EQ(polygon->EntryPoints.Size(), 1u);
  EXPECT_EQ(polygon->EntryPoints[0].Text, "II");
  EXPECT_EQ(polygon->OpeningHours.Size(), 1u);
  Parsed<CPolygonSection>(source, "Type=0x13\nLabel=x", &ok);
  EXPECT_FALSE(ok);
  Parsed<CPolygonSection>(source, "Type=0x13\nData0=", &ok);
  EXPECT_TRUE(ok);  // an entry without points is still an entry
}

TEST(PolylineSection, Geometry) {
  PolskiTest::CPairSource source;
  bool ok;
  auto s = Parsed<CPolylineSection>(source, "Type=0x6\nData1=(1,2),(3,4)\nData0=\nData1=(5,6)", &ok);
  ASSERT_TRUE(ok);
  CPolyline* polyline = s->Polyline();
  ASSERT_EQ(polyline->Geometry.Size(), 3u);  // in key order, not sorted
  EXPECT_EQ(polyline->Geometry[0].Level, 1);
  EXPECT_EQ(polyline->Geometry[0].Points.Size(), 2u);
  EXPECT_EQ(polyline->Geometry[1].Level, 0);
  EXPECT_EQ(polyline->Geometry[1].Points.Size(), 0u);
  EXPECT_EQ(polyline->Routing, nullptr);
  EXPECT_TRUE(s->IsOwnKey("Nod12"));
  EXPECT_TRUE(s->IsOwnKey("RouteParam"));
  EXPECT_FALSE(s->IsOwnKey("LegalSpeed"));
  Parsed<CPolylineSection>(source, "Type=0x6", &ok);
  EXPECT_FALSE(ok);
  // A failing polyline frees its routing record with it.
  Parsed<CPolylineSection>(source, "Type=0x6\nRoadId=5\nData0=(1,2),(3,4)\nNodes1=(0,1", &ok);
  EXPECT_FALSE(ok);
}

TEST(Geometry, Rectangles) {
  auto entry = [](uint8_t level, const char* points) {
    TDataLevel e;
    e.Level = level;
    ParsePointList(points, e.Points);
    return e;
  };
  const int32_t u = kGeoUnitsPerDegree;
  CGeoRect r = GetPointsRect(entry(0, "(1,2),(-1,3),(0,2.5)"));
  EXPECT_EQ(r, (CGeoRect{2 * u, 3 * u, -u, u}));
  EXPECT_TRUE(GetPointsRect(entry(0, "")).IsEmpty());
  // Across the +/-180 meridian the span runs east from 179 to -179.
  r = GetPointsRect(entry(0, "(0,179),(0,-179)"));
  EXPECT_EQ(r.x1, 179 * u);
  EXPECT_EQ(r.x2, -179 * u);

  CReallocArray<TDataLevel> geometry;
  geometry.PushBack(entry(0, "(0,0),(1,1)"));
  geometry.PushBack(entry(0, "(5,5)"));
  geometry.PushBack(entry(1, "(9,9)"));
  size_t position = 0;
  EXPECT_EQ(GetLevelRunRect(geometry, position), (CGeoRect{0, 5 * u, 0, 5 * u}));
  EXPECT_EQ(position, 1u);
  position = 2;
  EXPECT_EQ(GetLevelRunRect(geometry, position), (CGeoRect{9 * u, 9 * u, 9 * u, 9 * u}));
  EXPECT_EQ(position, 2u);
}

}  // namespace
