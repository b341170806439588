// The three cleaning passes over the real maps of the shared corpus.
#include "polski/cleaning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "support/testutil.h"

using namespace PolskiFormat;

namespace {

// The number at the end of the log line that starts with `prefix`.
long long Counter(const std::string& log, const std::string& prefix) {
  size_t at = log.find("\n" + prefix);
  if (at == std::string::npos) return -1;
  return std::atoll(log.c_str() + at + 1 + prefix.size());
}

// The statistics add up: vertices in = out + deleted, and per level
// input + added - deleted = output.
void ExpectCountsAddUp(const std::string& log) {
  long long in = Counter(log, "Input polygon vertex count\t: "), out = Counter(log, "Output polygon vertex count\t: ");
  long long equal = Counter(log, "Equal consequent vertices deleted: "), jitters = Counter(log, "Jitters deleted: ");
  EXPECT_GE(out, 0);
  EXPECT_EQ(in, out + equal + 2 * jitters);
  size_t at = log.find("Level\tinput\tadded\tdeleted\toutput\n");
  ASSERT_NE(at, std::string::npos);
  int rows = 0;
  for (at = log.find('\n', at) + 1; at < log.size(); at = log.find('\n', at) + 1) {
    long long level, input, added, deleted, output;
    if (std::sscanf(log.c_str() + at, "%lld:\t%lld\t%lld\t%lld\t%lld", &level, &input, &added, &deleted, &output) != 5) {
      break;
    }
    EXPECT_EQ(level, rows++);
    EXPECT_EQ(input + added - deleted, output) << "level " << level;
  }
  EXPECT_GE(rows, 2);
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Routing records and polylines still point at each other one to one.
void ExpectConsistentRoads(const CMap& map) {
  size_t roads = 0;
  CReallocArray<TRoadAttributes*> records;
  records.Assign(map.RoadAttributes.data, map.RoadAttributes.Size());
  std::sort(records.begin(), records.end());
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const TRoadAttributes* road = map.Polyline(i)->Routing;
    if (!road) continue;
    roads++;
    EXPECT_TRUE(std::binary_search(records.begin(), records.end(), road));
  }
  EXPECT_EQ(roads, map.RoadAttributes.Size());
  for (size_t i = 1; i < map.RoadAttributes.Size(); i++) {
    EXPECT_LE(map.RoadAttributes[i - 1]->RoadId, map.RoadAttributes[i]->RoadId);
  }
}

// A small map read by the loader: what each pass leaves behind.
TEST(CleaningFixture, PassesOnALoadedMap) {
  CMap map;
  std::string path = std::string(ORLUMO_SOURCE_DIR) + "/tests/polski/data/cleaning/passes.mp";
  ASSERT_EQ(map.LoadFile(path.c_str(), nullptr), nullptr);
  ASSERT_EQ(map.Polylines.Size(), 5u);
  TestUtil::CStdoutCapture capture;
  RemoveJitters(map);
  RemoveDuplicates(map);
  Generalize(map);
  std::string log = TestUtil::MaskTimestamps(capture.Finish());
  DropEmptyObjects(map);

  EXPECT_NE(log.find("Equal consequent vertices deleted: 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Jitters deleted: 1\n"), std::string::npos) << log;
  EXPECT_EQ(map.Polygon(0)->Geometry[0].Points.Size(), 4u);

  // Roads 1 and 2 are equal: the labelled one stays, the restriction follows.
  EXPECT_NE(log.find("Restrictions fixed: 1\n"), std::string::npos) << log;
  ASSERT_EQ(map.Polylines.Size(), 4u);
  EXPECT_EQ(map.Polyline(0)->Label, "Main Street");
  EXPECT_EQ(map.Restrictions[0]->TraffRoads[0], 1u);
  ASSERT_EQ(map.RoadAttributes.Size(), 2u);
  EXPECT_EQ(map.RoadAttributes[0]->RoadId, 1u);
  EXPECT_EQ(map.RoadAttributes[1]->RoadId, 3u);
  EXPECT_EQ(map.POIs.Size(), 1u);
  EXPECT_EQ(map.POI(0)->Phone, "555");

  // The line shown up to level 2 gets levels 1 and 2, its near-straight
  // middle gone; the line with an empty first entry is left as it was.
  const CPolyline& shown = *map.Polyline(2);
  ASSERT_EQ(shown.Geometry.Size(), 3u);
  EXPECT_EQ(shown.Geometry[0].Points.Size(), 4u);
  EXPECT_EQ(shown.Geometry[2].Level, 2);
  EXPECT_EQ(shown.Geometry[2].Points.Size(), 2u);
  EXPECT_EQ(map.Polyline(3)->Geometry.Size(), 1u);
  EXPECT_NE(log.find("Level\tinput\tadded\tdeleted\toutput\n"), std::string::npos);
}

class CleaningCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(CleaningCorpus, AllPassesRun) {
  std::string gz = TestUtil::SharedPath(std::string("corpus/") + GetParam());
  if (gz.empty()) GTEST_SKIP() << "corpus not found";
  std::string path = TestUtil::Gunzip(gz, TestUtil::MakeTempDir(std::string("cleaning_") + GetParam()));
  CMap map;
  ASSERT_EQ(map.LoadFile(path.c_str(), nullptr), nullptr);
  size_t polygons = map.Polygons.Size(), polylines = map.Polylines.Size(), pois = map.POIs.Size();

  g_Log.timestamps = false;
  TestUtil::CStdoutCapture capture;
  auto start = std::chrono::steady_clock::now();
  RemoveJitters(map);
  double jitters = Seconds(start);
  start = std::chrono::steady_clock::now();
  RemoveDuplicates(map);
  double duplicates = Seconds(start);
  start = std::chrono::steady_clock::now();
  Generalize(map);
  double generalize = Seconds(start);
  DropEmptyObjects(map);
  std::string log = "\n" + capture.Finish();
  g_Log.timestamps = true;
  std::printf("%s: jitters %.3f s, duplicates %.3f s, generalization %.3f s\n", GetParam(), jitters, duplicates,
              generalize);

  ExpectCountsAddUp(log);
  EXPECT_NE(log.find("Deleting duplicates"), std::string::npos);
  EXPECT_LE(map.Polygons.Size(), polygons);
  EXPECT_LE(map.Polylines.Size(), polylines);
  EXPECT_LE(map.POIs.Size(), pois);
  ExpectConsistentRoads(map);
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    EXPECT_EQ(map.Polyline(i)->EndLevel, 255);
    for (const TDataLevel& e : map.Polyline(i)->Geometry) EXPECT_GE(e.Points.Size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Maps, CleaningCorpus,
                         ::testing::Values("li2013.mp.gz", "li2013-cp1252.mp.gz", "monaco-2016.mp.gz",
                                           "andorra-2020.mp.gz"),
                         [](const auto& info) {
                           std::string name = info.param;
                           name = name.substr(0, name.find('.'));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
