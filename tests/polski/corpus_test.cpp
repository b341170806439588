// The real maps of the shared corpus load completely: what the loader keeps
// plus what the rules drop equals an independent count from the raw text.
// The sanitizer build runs this too (no crash, no leak).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "polski/map.h"
#include "polski_testutil.h"

using namespace PolskiFormat;

namespace {

// Counts taken from the raw text with plain string matching, independent of
// the loader. The corpus files use "[END" closers, "DataN=" geometry keys,
// "RoadID=" ids, "NodN=" route nodes and "TraffPoints="/"TraffRoads=".
struct TRawCounts {
  size_t sections[4] = {};          // POI, POLYLINE, POLYGON, Restrict
  size_t withGeometry[3] = {};      // POI, POLYLINE, POLYGON with a DataN key
  size_t routable = 0;              // polylines with geometry and RoadID
  size_t routableSinglePoint = 0;   // ... whose first entry has one point
  size_t restrictions = 0;          // with two or more TraffPoints
  size_t polylinePoints = 0;        // "(" in the DataN values of polylines
  size_t polygonPoints = 0;
  size_t routeNodes = 0;            // NodN keys of routable polylines
  size_t traffRoads = 0;            // values of kept restrictions
  size_t extraParts = 0;            // parts a split adds: first run length - 1
  size_t splitLogs = 0;             // polylines with two equal levels in a row
};

TRawCounts CountRaw(const std::string& path) {
  TRawCounts c;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  int kind = -1;  // index into sections, -1 outside
  bool geometry = false, roadId = false;
  size_t firstPoints = 0, nodes = 0, points = 0, traffPoints = 0, traffRoads = 0;
  std::vector<int> levels;
  auto close = [&]() {
    if (kind < 0) return;
    c.sections[kind]++;
    if (kind < 3 && geometry) c.withGeometry[kind]++;
    if (kind == 1 && geometry) {
      c.polylinePoints += points;
      if (roadId) {
        if (firstPoints > 1) {
          c.routable++;
          c.routeNodes += nodes;
        } else {
          c.routableSinglePoint++;
        }
      }
      size_t firstRun = 1;
      while (firstRun < levels.size() && levels[firstRun] == levels[0]) firstRun++;
      c.extraParts += firstRun - 1;
      for (size_t i = 1; i < levels.size(); i++) {
        if (levels[i] == levels[i - 1]) {
          c.splitLogs++;
          break;
        }
      }
    }
    if (kind == 2) c.polygonPoints += points;
    if (kind == 3 && traffPoints >= 2) {
      c.restrictions++;
      c.traffRoads += traffRoads;
    }
    kind = -1;
  };
  auto commaValues = [](const std::string& s, size_t from) {
    return s.size() > from ? static_cast<size_t>(std::count(s.begin() + from, s.end(), ',')) + 1 : 0;
  };
  while (std::getline(in, line)) {
    if (line.rfind("[END", 0) == 0) {
      close();
    } else if (line[0] == '[') {
      close();
      const char* names[] = {"[POI]", "[POLYLINE]", "[POLYGON]", "[Restrict]"};
      for (int i = 0; i < 4; i++) {
        if (line == names[i]) kind = i;
      }
      geometry = roadId = false;
      firstPoints = nodes = points = traffPoints = traffRoads = 0;
      levels.clear();
    } else if (kind >= 0 && line.rfind("Data", 0) == 0 && line.size() > 5 && isdigit(line[4])) {
      size_t n = static_cast<size_t>(std::count(line.begin(), line.end(), '('));
      if (!geometry) firstPoints = n;
      geometry = true;
      points += n;
      levels.push_back(std::atoi(line.c_str() + 4));
    } else if (line.rfind("RoadID=", 0) == 0) {
      roadId = true;
    } else if (line.rfind("Nod", 0) == 0 && line.size() > 3 && isdigit(line[3])) {
      nodes++;
    } else if (line.rfind("TraffPoints=", 0) == 0) {
      traffPoints = commaValues(line, 12);
    } else if (line.rfind("TraffRoads=", 0) == 0) {
      traffRoads = commaValues(line, 11);
    }
  }
  close();
  return c;
}

size_t CountPoints(const CReallocArray<CMapObject*>& objects, bool polygons) {
  size_t n = 0;
  for (const CMapObject* o : objects) {
    const auto& geometry = polygons ? static_cast<const CPolygon*>(o)->Geometry : static_cast<const CPolyline*>(o)->Geometry;
    for (const TDataLevel& e : geometry) n += e.Points.Size();
  }
  return n;
}

struct TCorpusMap {
  const char* file;
  size_t poi, polyline, polygon, restrict, routable;  // the corpus README's table
  uint8_t utf8;
};

class Corpus : public ::testing::TestWithParam<TCorpusMap> {};

TEST_P(Corpus, LoadsEveryObject) {
  const TCorpusMap& m = GetParam();
  std::string gz = TestUtil::SharedPath(std::string("corpus/") + m.file + ".gz");
  if (gz.empty()) GTEST_SKIP() << "corpus not present";
  std::string path = TestUtil::Gunzip(gz, TestUtil::MakeTempDir(std::string("corpus_") + m.file));
  TRawCounts raw = CountRaw(path);
  ASSERT_EQ(raw.sections[0], m.poi);
  ASSERT_EQ(raw.sections[1], m.polyline);
  ASSERT_EQ(raw.sections[2], m.polygon);
  ASSERT_EQ(raw.sections[3], m.restrict);
  ASSERT_EQ(raw.routable, m.routable);

  CMap map;
  ASSERT_EQ(map.LoadFile(path.c_str(), nullptr), nullptr);
  EXPECT_EQ(map.Utf8Labels, m.utf8);
  EXPECT_EQ(map.LevelCount(), 6u);

  // Loaded plus dropped equals the raw count. The only drops the rules make
  // in these files would be objects without geometry and restrictions with
  // fewer than two points: there are none.
  EXPECT_EQ(map.POIs.Size() + (raw.sections[0] - raw.withGeometry[0]), raw.sections[0]);
  EXPECT_EQ(map.Polylines.Size() + (raw.sections[1] - raw.withGeometry[1]), raw.sections[1]);
  EXPECT_EQ(map.Polygons.Size() + (raw.sections[2] - raw.withGeometry[2]), raw.sections[2]);
  EXPECT_EQ(map.Restrictions.Size() + (raw.sections[3] - raw.restrictions), raw.sections[3]);
  EXPECT_EQ(raw.sections[0], raw.withGeometry[0]);
  EXPECT_EQ(raw.sections[3], raw.restrictions);
  // Every routable road is kept (none has a single-point first entry).
  EXPECT_EQ(map.RoadAttributes.Size(), raw.routable);
  EXPECT_EQ(raw.routableSinglePoint, 0u);
  EXPECT_TRUE(map.Lanes.Empty());

  EXPECT_EQ(CountPoints(map.Polylines, false), raw.polylinePoints);
  EXPECT_EQ(CountPoints(map.Polygons, true), raw.polygonPoints);
  size_t nodes = 0, traffRoads = 0;
  for (const TRoadAttributes* r : map.RoadAttributes) nodes += r->Nodes.Size();
  for (const TRestriction* r : map.Restrictions) traffRoads += r->TraffRoads.Size();
  EXPECT_EQ(nodes, raw.routeNodes);
  EXPECT_EQ(traffRoads, raw.traffRoads);

  // Records: sorted by id, each the record of exactly one polyline.
  std::set<const TRoadAttributes*> owned;
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    if (map.Polyline(i)->Routing) {
      EXPECT_TRUE(owned.insert(map.Polyline(i)->Routing).second);
    }
  }
  EXPECT_EQ(owned.size(), map.RoadAttributes.Size());
  for (size_t i = 0; i < map.RoadAttributes.Size(); i++) {
    EXPECT_TRUE(owned.count(map.RoadAttributes[i]));
    if (i > 0) {
      EXPECT_LE(map.RoadAttributes[i - 1]->RoadId, map.RoadAttributes[i]->RoadId);
    }
  }

  // The post-load steps: nothing is empty, and no polyline of these maps has
  // two parts on one level (the split has its own tests).
  DropEmptyObjects(map);
  EXPECT_EQ(map.Polylines.Size(), raw.withGeometry[1]);
  TestUtil::CStdoutCapture capture;
  SplitMultiLevelPolylines(map);
  std::string log = capture.Finish();
  EXPECT_EQ(map.Polylines.Size(), raw.withGeometry[1] + raw.extraParts);
  size_t logs = 0;
  for (size_t at = 0; (at = log.find("Multi polyline at [", at)) != std::string::npos; at++) logs++;
  EXPECT_EQ(logs, raw.splitLogs);
  EXPECT_EQ(map.RoadAttributes.Size(), raw.routable);  // the split lines are not roads
}

INSTANTIATE_TEST_SUITE_P(Maps, Corpus,
                         ::testing::Values(TCorpusMap{"li2013.mp", 967, 2605, 4022, 1359, 2441, 1},
                                           TCorpusMap{"li2013-cp1252.mp", 967, 2605, 4022, 1359, 2441, 0},
                                           TCorpusMap{"monaco-2016.mp", 1085, 2091, 23550, 805, 1961, 1},
                                           TCorpusMap{"andorra-2020.mp", 2765, 4310, 5068, 1928, 3670, 1}),
                         [](const auto& info) {
                           std::string name = info.param.file;
                           name.resize(name.size() - 3);
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
