// Malformed road data through the whole map write with routing (run in the
// sanitizer build too): every case ends in a clear message and a map given
// up, or a written map that the file checker passes, never a crash.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/mapfile/qxtest.h"
#include "tests/routing/sectiontest.h"

using namespace SectionTest;

namespace {

void ExpectGivenUp(const TWritten& w, const std::string& message) {
  EXPECT_FALSE(w.ok);
  EXPECT_NE(w.log.find(message), std::string::npos) << w.log;
  EXPECT_FALSE(TestUtil::FileExists(w.path));
}

void ExpectWritten(const TWritten& w) {
  ASSERT_TRUE(w.ok) << w.log;
  EXPECT_EQ(qxtest::RunChecker(w.path), "");
}

TEST(MalformedRoads, BadRouteNodeIndexes) {
  // Past the road's points, and going back.
  ExpectGivenUp(WriteRouted(Roads({{1, {{0, 0}, {1, 0}}, {"0,1", "5,2"}}}), "past"),
                "T: Wrong node point index (RoadId = 1)\n");
  ExpectGivenUp(WriteRouted(Roads({{1, {{0, 0}, {1, 0}, {2, 0}}, {"0,1", "2,2", "1,3"}}}), "back"),
                "T: Wrong node point index (RoadId = 1)\n");
}

TEST(MalformedRoads, DuplicateRoadIds) {
  // Two roads of one id, apart from each other or sharing a node: the road
  // graph refuses them (a look-up by id could not tell them apart).
  ExpectGivenUp(WriteRouted(Roads({{7, {{0, 0}, {1, 0}}, {"0,1", "1,2"}},
                                   {7, {{0, 2}, {1, 2}, {2, 2}}, {"0,3", "1,4", "2,5"}},
                                   {8, {{1, 0}, {1, 2}}, {"0,2", "1,4"}}}),
                            "dupapart"),
                "T: Error: duplicate road id 7\n");
  ExpectGivenUp(
      WriteRouted(Roads({{7, {{0, 0}, {1, 0}}, {"0,1", "1,2"}}, {7, {{1, 0}, {2, 0}}, {"0,2", "1,3"}}}), "dupshared"),
      "Error: duplicate node id 2, road 7");
}

TEST(MalformedRoads, ZeroLengthLinks) {
  // Links of no length at both ends of a road (the arrival bearing has no
  // point beyond the road's end), and a cycle of such links between two
  // roads: turn walks and lengths stay finite.
  ExpectWritten(WriteRouted(Roads({{1, {{0, 0}, {1, 0}, {2, 0}}, {"0,1", "0,2", "2,3", "2,4"}},
                                   {2, {{2, 0}, {2, 1}}, {"0,4", "1,5"}},
                                   {3, {{0, 5}, {0, 5}}, {"0,10", "1,11"}},
                                   {4, {{0, 5}, {0, 5}}, {"0,11", "1,10"}},
                                   {5, {{0, 5}, {1, 5}}, {"0,10", "1,12"}}}),
                            "zero"));
}

TEST(MalformedRoads, TooManyRoadsAtOneNode) {
  std::vector<TRoad> roads;
  for (int i = 0; i < 300; i++) {
    roads.push_back(TRoad{static_cast<uint32_t>(i + 1), {{0, 0}, {1, i}}, {"0,99", "1," + std::to_string(1000 + i)}});
  }
  ExpectGivenUp(WriteRouted(Roads(roads), "adjacent"), "Error: too many adjacent roads (node id 99)");
}

TEST(MalformedRoads, LinkOf2000Kilometres) {
  // A ferry line of about 2,000 km: its packed length saturates.
  TWritten w = WriteRouted(Roads({{1, {{0, 0}, {26000, 0}}, {"0,1", "1,2"}}, {2, {{26000, 0}, {26001, 0}}, {"0,2", "1,3"}}}),
                           "long");
  ExpectWritten(w);
}

// The format's limits give the map up with their texts.
TEST(FormatLimits, RoadTooBigForItsBlockOffsets) {
  // 9000 points put the first segment block more than 0xffff bytes after
  // the record's start.
  TRoad road{1, {}, {"0,1", "8999,2"}};
  for (int i = 0; i < 9000; i++) road.points.push_back({i * 0.01, 0});
  ExpectGivenUp(WriteRouted(Roads({road}), "bigroad"), "T: Too big road (RoadId = 1)\n");
}

TEST(FormatLimits, ExternalNodeWithTooManyCHNodes) {
  // Each two-way road at a boundary node lists two CH nodes there in each
  // graph, 24 bytes: 42 roads fit the 1024 bytes of a reference list, 43
  // do not.
  for (int n : {42, 43}) {
    std::vector<TRoad> roads;
    for (int i = 0; i < n; i++) {
      roads.push_back(TRoad{static_cast<uint32_t>(i + 1), {{0, 0}, {1, i}}, {"0,500,1", "1," + std::to_string(1000 + i)}});
    }
    TWritten w = WriteRouted(Roads(roads), "external" + std::to_string(n));
    if (n == 42) {
      ExpectWritten(w);
    } else {
      ExpectGivenUp(w, "T: Too many CH-nodes connected to external node\n");
    }
  }
}

}  // namespace
