// Golden bytes of a tiny atlas. Two maps encoded here from the record
// tables (section 3 road records, section 10 node records, section 11
// trees; tests/mapfile/routingencoder.h) make an atlas graph small enough
// to follow by hand: map A's start node a0 leads to its border node a1,
// which meets map B's start node b0 at the join point J; b0's link leaves
// B unmatched (an exit). B also holds a sink s with 255 in edges from c1 ..
// c255. The expected file is written here from the atlas file's tables.
// The same maps with b0 at J in B's Time tree only show what the atlas
// stores when the match there holds the other metric alone.
//
// The contraction, followed by hand:
//   first ordering and core selection: the route a0 -> a1 -> b0 is the
//     only one between the entry a0 and the exit b0: the core is {a0, b0};
//   second ordering: s first (priority -255, rank 0), then c1 .. c255 (now
//     edgeless, priority 0, in key order: ranks 1 .. 255), then a1 (a
//     shortcut a0 -> b0 is needed, priority 1999: rank 256); the core in key
//     order takes ranks 257 and 258.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <vector>

#include "routing/atlas.h"
#include "tests/mapfile/routingencoder.h"
#include "tests/routing/atlasreader.h"

using namespace routingtest;

namespace {

constexpr int32_t kX = 8 << 23, kY = 46 << 23;
const TGeoPoint kA0{kX, kY}, kA1{kX + 5000, kY}, kJ{kX + 10000, kY}, kB1{kX + 20000, kY + 3000};
constexpr uint32_t kLinkA0 = 100;        // cost of a0's link, on the edge a0 -> a1
constexpr uint32_t kDistanceA1 = 250;    // a1's link in metres (A's tree)
constexpr uint32_t kTimeA1 = 40;         // a1's link in Time (behind its record)
constexpr uint32_t kTimeB0 = 30, kDistanceB0 = 180;
constexpr uint32_t kSinkCost = 7;
constexpr uint32_t kSources = 255;

struct TMap {
  std::string path;
  std::array<uint8_t, 16> id;
  std::vector<uint32_t> positions;  // section 10 records
};

// Section 5 with one empty level tree whose root rectangle is the bounds.
Bytes LevelTree(int32_t west, int32_t east, int32_t south, int32_t north) {
  CBytes b;
  for (int32_t v : {west, east, south, north}) b.I32(v);
  b.U32(0);  // no entries, nothing more
  return b.b;
}

// Section 3: a u32, then the road record at the next 4-aligned offset.
uint32_t AddRoad(CTestImage& image, const TRoad& road) {
  image.Begin(3);
  image.U32(0);
  const uint32_t record = image.Pos();
  const TEncodedRoad encoded = EncodeRoad(record, road);
  image.b.insert(image.b.end(), encoded.bytes.begin(), encoded.bytes.end());
  image.End(3);
  return record;
}

TRoad RoadThrough(uint32_t id, const std::vector<TGeoPoint>& points) {
  TRoad r;
  r.roadId = id;
  r.entries.emplace_back();
  for (uint16_t i = 0; i < points.size(); i++) {
    r.nodePoints.push_back(i);
    r.entries.back().push_back({points[i].x, points[i].y});
  }
  return r;
}

TMap Save(const CTestImage& image, const std::string& path, std::vector<uint32_t> positions) {
  image.Save(path, false);
  TMap m;
  m.path = path;
  const std::string bytes = TestUtil::ReadFile(path);
  std::copy(bytes.begin() + 8, bytes.begin() + 24, m.id.begin());
  m.positions = std::move(positions);
  return m;
}

// Map A: road J0 -> J1 -> J; a0 = link 0 (a start node), a1 = link 1 (a
// border node); both graphs are the same records.
TMap WriteMapA(const std::string& dir) {
  CTestImage image;
  image.AddSection(5, LevelTree(kA0.x, kJ.x, kY, kY));
  const uint32_t road = AddRoad(image, RoadThrough(11, {kA0, kA1, kJ}));
  std::vector<TChNode> nodes(2);
  nodes[0].road = road;
  nodes[0].link = 0;
  nodes[0].flags = 1;
  nodes[0].out.push_back(TChEdge{kLinkA0, 1, 1, false, -1});
  nodes[1].road = road;
  nodes[1].link = 1;
  nodes[1].endExternal = true;
  nodes[1].cost = kTimeA1;
  nodes[1].in.push_back(TChEdge{kLinkA0, 1, 0, false, -1});
  const uint32_t start = image.AlignedEnd();
  TChSection ch = EncodeChSection(start, nodes, 2, 0, 2, 0);
  image.AddSection(10, ch.bytes);
  const uint32_t a0 = ch.positions[0], a1 = ch.positions[1];
  image.AddSection(11, CTreeEncoder::Encode({
                           {kA0.x, kA0.y, TreeWord(a0, 0, false)},
                           {kA0.x, kA0.y, TreeWord(a0, 1, false)},
                           {kJ.x, kJ.y, TreeWord(a1, 0, true), kDistanceA1},
                           {kJ.x, kJ.y, TreeWord(a1, 1, true), kTimeA1},
                       }));
  return Save(image, dir + "a.qx", ch.positions);
}

// Map B: road J -> B1 with b0 = link 0 (start node and border node, type
// 0x0a); s and c1 .. c255 on no road, each c with an edge to s. Without
// `distanceAtJ` the tree lists b0's start at J for the Time graph only.
TMap WriteMapB(const std::string& dir, bool distanceAtJ = true) {
  CTestImage image;
  image.AddSection(5, LevelTree(kJ.x, kB1.x, kY, kB1.y));
  const uint32_t road = AddRoad(image, RoadThrough(12, {kJ, kB1}));
  std::vector<TChNode> nodes(2 + kSources);
  nodes[0].road = road;
  nodes[0].flags = 1 | 2;
  nodes[0].endExternal = true;
  nodes[0].cost = kTimeB0;
  for (uint32_t i = 0; i < kSources; i++) {
    nodes[1].in.push_back(TChEdge{kSinkCost, 0, static_cast<int32_t>(2 + i), false, -1});
    nodes[2 + i].out.push_back(TChEdge{kSinkCost, 0, 1, false, -1});
  }
  const uint32_t start = image.AlignedEnd();
  TChSection ch = EncodeChSection(start, nodes, 2 + kSources, 0, 2 + kSources, 0);
  image.AddSection(10, ch.bytes);
  const uint32_t b0 = ch.positions[0];
  std::vector<TTreeEntry> tree = {
      {kJ.x, kJ.y, TreeWord(b0, 1, false, 1)},
      {kB1.x, kB1.y, TreeWord(b0, 0, true), kDistanceB0},
      {kB1.x, kB1.y, TreeWord(b0, 1, true), kTimeB0},
  };
  if (distanceAtJ) tree.insert(tree.begin(), {kJ.x, kJ.y, TreeWord(b0, 0, false, 1)});
  image.AddSection(11, CTreeEncoder::Encode(tree));
  return Save(image, dir + "b.qx", ch.positions);
}

struct TBuilt {
  bool ok;
  std::string log;
  std::string file;  // its bytes
};

// The atlas of the two maps, listed in this order.
TBuilt BuildBoth(const TMap& first, const TMap& second, const std::string& outName) {
  const std::string out = TestUtil::MakeTempDir(outName);
  CReallocArray<std::string> list;
  list.PushBack(first.path);
  list.PushBack(second.path);
  CAtlasBuilder builder;
  TestUtil::CStdoutCapture capture;
  TBuilt r;
  r.ok = BuildAtlas(builder, out, list, nullptr);
  r.log = TestUtil::MaskTimestamps(capture.Finish());
  std::vector<uint8_t> ids;
  for (const TMap* m : first.id < second.id ? std::vector<const TMap*>{&first, &second}
                                            : std::vector<const TMap*>{&second, &first}) {
    ids.insert(ids.end(), m->id.begin(), m->id.end());
  }
  if (r.ok) r.file = TestUtil::ReadFile(out + AtlasFileName(ids.data(), 2));
  return r;
}

// ---- the expected file, from the tables ----

struct TEdgeOut {
  uint32_t cost, marks;
  std::string other;  // node name
  bool below, bit30;
  std::string via;    // an atlas shortcut's via node; else viaWord
  uint32_t viaWord;
};

struct TNodeOut {
  TNodeOut(std::string name, uint32_t map, uint32_t position) : name(std::move(name)), map(map), position(position) {}
  std::string name;
  uint32_t map, position;
  bool entry = false, exit = false, area = false, type0a = false;
  TGeoPoint entryPoint{}, exitPoint{};
  uint32_t exitCost = 0;
  std::vector<TEdgeOut> in, out;
};

uint32_t RecordSize(const TNodeOut& n) {
  uint32_t head = 8 + (n.in.size() >= 255 ? 2 : 0) + (n.out.size() >= 255 ? 2 : 0);
  head = (head + 3) / 4 * 4;
  return head + (n.entry ? 8 : 0) + (n.exit ? 12 : 0) + 12 * static_cast<uint32_t>(n.in.size() + n.out.size());
}

// One graph at the writer's position; the nodes in rank order.
void WriteGraph(CBytes& w, uint32_t maps, const std::vector<TNodeOut>& nodes, std::map<std::string, uint32_t>& at) {
  const uint32_t first = w.Pos() + 4 * maps + 8 * static_cast<uint32_t>(nodes.size()) + 4;
  uint32_t p = first;
  for (const TNodeOut& n : nodes) {
    at[n.name] = p;
    p += RecordSize(n);
  }
  for (uint32_t m = 0; m < maps; m++) {
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (const TNodeOut& n : nodes)
      if (n.map == m) pairs.push_back({n.position, at[n.name]});
    std::sort(pairs.begin(), pairs.end());
    w.U32(static_cast<uint32_t>(pairs.size()));
    for (auto [position, offset] : pairs) {
      w.U32(position);
      w.U32(offset);
    }
  }
  w.U32(p - first);
  for (const TNodeOut& n : nodes) {
    EXPECT_EQ(w.Pos(), at[n.name]);
    w.U32(n.position | (n.entry ? 1 : 0) | (n.exit ? 2 : 0));
    w.U16((n.area ? 1 : 0) | (n.type0a ? 2 : 0) | n.map << 2);
    const uint32_t in = static_cast<uint32_t>(n.in.size()), out = static_cast<uint32_t>(n.out.size());
    w.U8(std::min<uint32_t>(in, 255));
    w.U8(std::min<uint32_t>(out, 255));
    if (in >= 255) w.U16(in);
    if (out >= 255) w.U16(out);
    w.Align4();
    if (n.entry) {
      w.I32(n.entryPoint.x);
      w.I32(n.entryPoint.y);
    }
    if (n.exit) {
      w.I32(n.exitPoint.x);
      w.I32(n.exitPoint.y);
      w.U32(n.exitCost);
    }
    for (const std::vector<TEdgeOut>* list : {&n.in, &n.out}) {
      for (const TEdgeOut& e : *list) {
        w.U32(e.cost << 2 | e.marks);
        w.U32(at.at(e.other) | (e.below ? 2 : 0) | (e.bit30 ? 1 : 0));
        w.U32(e.via.empty() ? e.viaWord : at.at(e.via) | 1);
      }
    }
  }
}

}  // namespace

TEST(AtlasGolden, TwoMapsOneJoinOneShortcutAndANodeWith255InEdges) {
  const std::string dir = TestUtil::MakeTempDir("atlas_golden_in");
  const TMap a = WriteMapA(dir), b = WriteMapB(dir);
  const bool aFirst = a.id < b.id;
  const uint32_t ia = aFirst ? 0 : 1, ib = 1 - ia;

  CBytes w;
  for (char c : std::string("qx atlas")) w.U8(static_cast<uint8_t>(c));
  w.U16(5);
  w.U16(2);
  for (const TMap* m : aFirst ? std::vector<const TMap*>{&a, &b} : std::vector<const TMap*>{&b, &a}) {
    for (uint8_t c : m->id) w.U8(c);
  }
  std::vector<TTreeEntry> tree;
  for (uint32_t metric : {0u, 1u}) {
    // Distance joins a1 -> b0 with a1's metres from A's tree; Time with the
    // word behind a1's record. S of the join: bit 2 of b0's reference.
    const uint32_t join = metric == 0 ? kDistanceA1 : kTimeA1;
    std::vector<TNodeOut> nodes;
    TNodeOut s{"s", ib, b.positions[1]};
    for (uint32_t i = 0; i < kSources; i++) {
      const std::string c = "c" + std::to_string(i);
      s.in.push_back({kSinkCost, 0, c, false, false, "", 0});
    }
    nodes.push_back(s);
    for (uint32_t i = 0; i < kSources; i++) nodes.emplace_back("c" + std::to_string(i), ib, b.positions[2 + i]);
    TNodeOut a1{"a1", ia, a.positions[1]};
    a1.in.push_back({kLinkA0, 1, "a0", false, false, "", 0});
    a1.out.push_back({join, 2, "b0", false, false, "", 0});
    nodes.push_back(a1);
    TNodeOut a0{"a0", ia, a.positions[0]};
    a0.entry = true;
    a0.entryPoint = kA0;
    TNodeOut b0{"b0", ib, b.positions[0]};
    b0.exit = true;
    b0.type0a = true;
    b0.exitPoint = kB1;
    b0.exitCost = kTimeB0;
    // The shortcut joins two core nodes: listed at both ends, U of the map
    // edge and S of the join.
    const TEdgeOut out{kLinkA0 + join, 3, "b0", !aFirst, false, "a1", 0};
    const TEdgeOut in{kLinkA0 + join, 3, "a0", aFirst, false, "a1", 0};
    a0.out.push_back(out);
    b0.in.push_back(in);
    if (aFirst) {
      nodes.push_back(a0);
      nodes.push_back(b0);
    } else {
      nodes.push_back(b0);
      nodes.push_back(a0);
    }
    std::map<std::string, uint32_t> at;
    WriteGraph(w, 2, nodes, at);
    tree.push_back({kA0.x, kA0.y, at["a0"] / 4 << 3 | metric << 1});
    tree.push_back({kB1.x, kB1.y, at["b0"] / 4 << 3 | 1 << 2 | metric << 1 | 1, kTimeB0});
  }
  const Bytes treeBytes = CTreeEncoder::Encode(tree);
  w.b.insert(w.b.end(), treeBytes.begin(), treeBytes.end());

  const TBuilt r = BuildBoth(b, a, "atlas_golden_out");
  ASSERT_TRUE(r.ok) << r.log;
  EXPECT_NE(r.log.find("T: Distance graph: 259 (1, 1, 2), 257, 1, 1\n"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("T: Time graph: 259 (1, 1, 2), 257, 1, 1\n"), std::string::npos) << r.log;
  const std::string& got = r.file;
  ASSERT_EQ(got.size(), w.b.size());
  for (size_t i = 0; i < got.size(); i++) {
    ASSERT_EQ(static_cast<uint8_t>(got[i]), w.b[i]) << "byte " << i;
  }
}

// The maps again, but B's tree node at J holds b0's start for the Time
// graph only: in Distance a1 meets no start node of its metric there and
// becomes an exit node (not a dead end), b0 an entry node; the Time graph
// joins them as before.
TEST(AtlasGolden, AMatchOfTheOtherMetricOnlyLeavesTheBorderNodeAnExit) {
  const std::string dir = TestUtil::MakeTempDir("atlas_othermetric_in");
  const TMap a = WriteMapA(dir), b = WriteMapB(dir, false);
  const uint32_t ia = a.id < b.id ? 0 : 1, ib = 1 - ia;
  const TBuilt r = BuildBoth(a, b, "atlas_othermetric_out");
  ASSERT_TRUE(r.ok) << r.log;
  EXPECT_NE(r.log.find("T: Distance graph: 259 (2, 2, "), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("T: Time graph: 259 (1, 1, 2), 257, 1, 1\n"), std::string::npos) << r.log;
  const AtlasReader::TAtlas atlas = AtlasReader::Read(std::vector<uint8_t>(r.file.begin(), r.file.end()));
  for (uint32_t metric : {0u, 1u}) {
    SCOPED_TRACE(metric);
    const AtlasReader::TGraph& g = atlas.graphs[metric];
    auto node = [&](uint32_t map, uint32_t position) -> const AtlasReader::TNode& {
      for (const AtlasReader::TNode& n : g.nodes)
        if (n.map == map && n.position == position) return n;
      ADD_FAILURE() << "no node " << map << ":" << position;
      return g.nodes.at(0);
    };
    const AtlasReader::TNode &a1 = node(ia, a.positions[1]), &b0 = node(ib, b.positions[0]);
    // Edges of a1 to map B: the join (b0 ranks above a1), or none.
    std::vector<uint32_t> joins;
    for (const AtlasReader::TEdge& e : a1.out)
      if (g.nodes[g.at.at(e.other)].map == ib) joins.push_back(e.cost);
    if (metric == 0) {
      EXPECT_TRUE(joins.empty());
      EXPECT_TRUE(a1.exit);
      EXPECT_EQ(std::make_pair(a1.exitX, a1.exitY), std::make_pair(kJ.x, kJ.y));
      EXPECT_EQ(a1.exitCost, kTimeA1);
      EXPECT_TRUE(b0.entry);
      EXPECT_EQ(std::make_pair(b0.entryX, b0.entryY), std::make_pair(kJ.x, kJ.y));
    } else {
      EXPECT_EQ(joins, std::vector<uint32_t>{kTimeA1});
      EXPECT_FALSE(a1.exit);
      EXPECT_FALSE(b0.entry);
    }
    EXPECT_TRUE(b0.exit);
  }
  // The atlas's tree: a1's exit at J in Distance only, with its Time cost.
  uint32_t a1Exits = 0;
  for (const AtlasReader::TTreeRef& t : atlas.tree) {
    if ((t.word & 1) && t.x == kJ.x && t.y == kJ.y) {
      a1Exits++;
      EXPECT_EQ(t.word >> 1 & 1, 0u);
      EXPECT_EQ(t.second, kTimeA1);
    }
  }
  EXPECT_EQ(a1Exits, 1u);
}
