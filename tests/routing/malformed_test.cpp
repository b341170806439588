// Malformed road data through the whole map write with routing (run in the
// sanitizer build too): every case ends in a clear message and a map given
// up, or a written map that the file checker passes, never a crash. The
// format's limits likewise; one that no small map reaches is driven
// through a hand-made CH graph.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mapfile/text.h"
#include "tests/mapfile/qxtest.h"
#include "tests/routing/sectiontest.h"

using namespace SectionTest;
using ZorvaneMap::WriteZeros;

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

// Two CH nodes, 0 of rank 0 below 1 of rank 1, and parallel edges of cost 7
// between them: every edge is stored at node 0, as outgoing (0 -> 1) or
// incoming (1 -> 0).
void TwoNodeGraph(CH::CGeoMapGraph& g, uint32_t outgoing, uint32_t incoming) {
  g.nodes.Reserve(2);  // the edges point into the array
  for (uint32_t i = 0; i < 2; i++) {
    CH::TGeoMapNode n;
    n.link = TRoadLink{10 + i, 11 + i, 100 + i, 50};
    n.direction = 1;
    n.startExternal = n.endExternal = 0;
    n.rank = static_cast<int32_t>(i);
    g.nodes.PushBack(n);
  }
  g.edges.Reserve(size_t{outgoing} + incoming);
  for (uint32_t k = 0; k < outgoing + incoming; k++) {
    CH::TChEdge e;
    e.from = &g.nodes[k < outgoing ? 0 : 1];
    e.to = &g.nodes[k < outgoing ? 1 : 0];
    e.word = CH::MakeEdgeWord(7, false, false);
    e.via = nullptr;
    g.edges.PushBack(e);
  }
}

// The text WriteChGraph throws for the graph, or "" when it writes it.
std::string ChGraphLimitText(uint32_t outgoing, uint32_t incoming, CMemStream& out) {
  TRoadGraph roads;
  PolskiFormat::CMap map;
  CGraphSectionWriter writer(roads, map);
  CH::CGeoMapGraph g;
  TwoNodeGraph(g, outgoing, incoming);
  uint32_t coreCount = 0, corePosition = 0;
  TestUtil::CStdoutCapture capture;  // the graph's statistics line
  try {
    WriteChGraph(writer, g, roads, CH::kMetricDistance, out, &coreCount, &corePosition);
  } catch (const char* text) {
    return text;
  }
  return "";
}

// The routing part of a map write with section 10 replaced, while `overfull`
// is set, by a graph whose node 0 has more edges than a count holds.
class COverfullChRouting : public CMapRoutingWriter {
 public:
  bool WriteChGraphs(CMemStream& image, const bool* stop) override {
    if (!overfull) return CMapRoutingWriter::WriteChGraphs(image, stop);
    CH::CGeoMapGraph g;
    TwoNodeGraph(g, 0x10000, 0);
    uint32_t coreCount = 0, corePosition = 0;
    WriteChGraph(*sections, g, roads, CH::kMetricDistance, image, &coreCount, &corePosition);
    return true;
  }
  bool overfull = true;
};

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

// The edge counts of a node record: a byte up to 254, else 255 and a u16;
// 0xffff is the most a u16 holds, one more gives the map up.
TEST(FormatLimits, NodeEdgeCountsAtTheirLimit) {
  struct TCase {
    uint32_t outgoing, incoming;
  };
  for (TCase c : {TCase{255, 254}, TCase{0xffff, 0}, TCase{0, 0xffff}, TCase{0xffff, 0xffff}}) {
    SCOPED_TRACE(std::to_string(c.outgoing) + " out, " + std::to_string(c.incoming) + " in");
    CMemStream out;
    WriteZeros(out, 16);
    ASSERT_EQ(ChGraphLimitText(c.outgoing, c.incoming, out), "");
    // Node 0 at 16: two u32 to fill later, flags 0, not an exit, the escaped
    // counts with their u16s (incoming first), zeros to a multiple of 4.
    std::vector<uint8_t> want(8, 0);
    want.push_back(0);
    want.push_back(0);
    want.push_back(c.incoming >= 255 ? 255 : static_cast<uint8_t>(c.incoming));
    want.push_back(c.outgoing >= 255 ? 255 : static_cast<uint8_t>(c.outgoing));
    auto u16 = [&want](uint32_t v) { want.push_back(v & 0xff), want.push_back(v >> 8 & 0xff); };
    auto u32 = [&](uint32_t v) { u16(v & 0xffff), u16(v >> 16); };
    if (c.incoming >= 255) u16(c.incoming);
    if (c.outgoing >= 255) u16(c.outgoing);
    while (want.size() % 4) want.push_back(0);
    // Node 1 follows the edges, 12 bytes each: cost 7 << 2, node 1's record
    // (the other end of every edge), no via node.
    const uint32_t node1 = 16 + static_cast<uint32_t>(want.size()) + 12 * (c.incoming + c.outgoing);
    for (uint32_t k = 0; k < c.incoming + c.outgoing; k++) u32(7 << 2), u32(node1), u32(0);
    for (int i = 0; i < 12; i++) want.push_back(0);  // node 1: no edges stored there
    ASSERT_EQ(out.Size(), 16 + want.size());
    const uint8_t* written = out.Data() + 16;
    const size_t differs = static_cast<size_t>(std::mismatch(want.begin(), want.end(), written).first - want.begin());
    EXPECT_EQ(differs, want.size()) << "first difference at byte " << 16 + differs;
  }
  for (TCase c : {TCase{0x10000, 0}, TCase{0, 0x10000}, TCase{0x10000, 0xffff}}) {
    CMemStream out;
    EXPECT_EQ(ChGraphLimitText(c.outgoing, c.incoming, out), "Too much CH-node edges")
        << c.outgoing << " out, " << c.incoming << " in";
  }
}

// Through the map writer: the map is given up with the text, no file is
// left, and the next map of the run is written.
TEST(FormatLimits, NodeWithTooManyCHEdges) {
  const std::string text = Roads({{1, {{0, 0}, {1, 0}}, {"0,1", "1,2"}}, {2, {{1, 0}, {2, 0}}, {"0,2", "1,3"}}});
  PolskiFormat::CMap map;
  const char* error = PolskiTest::LoadText(map, text);
  ASSERT_EQ(error, nullptr) << error;
  CConverterConfig config;
  CMapWriter writer;
  COverfullChRouting routing;
  writer.routing = &routing;
  const std::string dir = TestUtil::MakeTempDir("routing_overfull");
  for (bool overfull : {true, false}) {
    routing.overfull = overfull;
    TWritten w;
    w.path = dir + (overfull ? "overfull.qx" : "next.qx");
    TestUtil::CStdoutCapture capture;
    w.ok = WriteMapFile(writer, map, w.path, config, false, nullptr);
    w.log = TestUtil::MaskTimestamps(capture.Finish());
    if (overfull) {
      ExpectGivenUp(w, "T: Too much CH-node edges\n");
    } else {
      ExpectWritten(w);
    }
  }
}

}  // namespace
