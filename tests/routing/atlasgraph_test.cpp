// The atlas graph's contraction on graphs built by hand: after both
// orderings every route between two nodes costs, in an upward query over
// the edges as the file lists them, what a plain search over the base edges
// finds, under the area rule; the core holds the top ranks; shortcuts
// carry the marks of the edges they replace.
#include <gtest/gtest.h>

#include <algorithm>
#include <queue>
#include <random>
#include <vector>

#include "routing/atlasgraph.h"
#include "support/testutil.h"
#include "tests/routing/atlasroutes.h"

using ZorvaneMap::AtlasNodeKey;
using ZorvaneMap::CAtlasGraph;
using ZorvaneMap::TAtlasEdge;
using AtlasRoutes::CStateSearch;
using AtlasRoutes::kNone;
using AtlasRoutes::TArcs;

namespace {

using TestUtil::kEmulated;

// A map edge as section 10 stores it.
std::vector<uint8_t> MapEdge(uint32_t cost, uint32_t marks, bool bit30, uint32_t via) {
  std::vector<uint8_t> b;
  for (uint32_t v : {cost << 2 | marks, bit30 ? 1u : 0u, via}) {
    for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return b;
}

// The reference (every base edge) and the contracted graph as the file
// lists it: an edge at its lower-ranked end, at both ends between core
// nodes; forward searches take the out edges listed at a node, backward
// ones the in edges.
struct TViews {
  TArcs base, up, down;
  std::vector<bool> area;
};

TViews ViewsOf(const CAtlasGraph& g) {
  const size_t n = g.nodes.Size();
  const int32_t coreStart = static_cast<int32_t>(n - g.coreCount);
  TViews v;
  v.base.resize(n);
  v.up.resize(n);
  v.down.resize(n);
  for (const auto& node : g.nodes) v.area.push_back(node.IsArea());
  for (size_t i = 0; i < g.edges.Size(); i++) {
    const TAtlasEdge& e = g.edges[i];
    const uint32_t cost = CH::EdgeCost(e.word);
    const bool bit30 = (e.word & CH::kEdgeLeavesArea) != 0;
    if (i < g.baseEdges) v.base[e.from].push_back({e.to, cost, bit30});
    const int32_t rf = g.nodes[e.from].rank, rt = g.nodes[e.to].rank;
    const bool bothCore = rf >= coreStart && rt >= coreStart;
    if (rf < rt || bothCore) v.up[e.from].push_back({e.to, cost, bit30});
    if (rt < rf || bothCore) v.down[e.to].push_back({e.from, cost, bit30});
  }
  return v;
}

// Checks every pair (from a sample of sources when there are many) against
// the reference.
void ExpectRoutesKept(const CAtlasGraph& g, uint32_t sources, std::mt19937& rng) {
  const TViews v = ViewsOf(g);
  const uint32_t n = static_cast<uint32_t>(g.nodes.Size());
  CStateSearch ref(v.base, v.area), forward(v.up, v.area), backward(v.down, v.area);
  for (uint32_t k = 0; k < sources; k++) {
    const uint32_t s = sources >= n ? k % n : static_cast<uint32_t>(rng() % n);
    ref.Run(s, false);
    forward.Run(s, false);
    for (uint32_t t = 0; t < n; t++) {
      backward.Run(t, true);
      ASSERT_EQ(forward.Meet(backward), ref.Best(t)) << "from " << s << " to " << t;
    }
  }
}

// A random grid cut into two maps at its middle column, with the core
// edges of each map and joins across the cut; some nodes are area nodes,
// some edges between them carry bit 30; the outer columns hold start and
// exit nodes.
void BuildGrid(CAtlasGraph& g, uint32_t width, uint32_t height, uint32_t seed, bool areas) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<uint32_t> cost(1, 40);
  auto mapOf = [&](uint32_t x) { return x < width / 2 ? 0u : 1u; };
  auto pos = [&](uint32_t x, uint32_t y) { return 16 + 64 * (y * width + x); };
  std::vector<uint32_t> index(width * height);
  // Keys ascending: map 0's nodes, then map 1's, each by position.
  for (uint32_t m = 0; m < 2; m++) {
    for (uint32_t y = 0; y < height; y++) {
      for (uint32_t x = 0; x < width; x++) {
        if (mapOf(x) != m) continue;
        const bool area = areas && rng() % 3 == 0;
        const bool start = x == 0 && y % 2 == 0;
        index[y * width + x] = static_cast<uint32_t>(g.nodes.Size());
        g.AddNode(AtlasNodeKey(m, pos(x, y)), static_cast<uint8_t>((start ? 1 : 0) | (area ? 4 : 0)));
        if (x + 1 == width && y % 2) g.nodes.Back().role |= ZorvaneMap::kAtlasExitNode;
      }
    }
  }
  auto link = [&](uint32_t a, uint32_t b) {
    const uint32_t i = index[a], j = index[b];
    const bool bothArea = g.nodes[i].IsArea() && g.nodes[j].IsArea();
    for (int dir = 0; dir < 2; dir++) {
      if (rng() % 5 == 0) continue;  // some one-way
      const uint32_t from = dir ? j : i, to = dir ? i : j;
      const bool bit30 = bothArea && rng() % 4 == 0;
      if (mapOf(a % width) != mapOf(b % width)) {
        g.AddJoin(from, to, cost(rng), rng() % 2 == 0);
      } else {
        g.AddLoadedEdge(from, to, MapEdge(cost(rng), rng() % 4, bit30, 0).data());
      }
    }
  };
  for (uint32_t y = 0; y < height; y++) {
    for (uint32_t x = 0; x < width; x++) {
      if (x + 1 < width) link(y * width + x, y * width + x + 1);
      if (y + 1 < height) link(y * width + x, (y + 1) * width + x);
    }
  }
  g.baseEdges = g.edges.Size();
}

}  // namespace

void CheckRandomGrids(bool areas) {
  const uint32_t seeds = kEmulated ? 3 : 12;
  for (uint32_t seed = 1; seed <= seeds; seed++) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    CAtlasGraph g;
    BuildGrid(g, 8 + seed % 4, 6 + seed % 3, seed, areas);
    ASSERT_TRUE(g.Contract(nullptr));
    ASSERT_EQ(g.CheckContracted(), nullptr);
    std::mt19937 rng(seed);
    ExpectRoutesKept(g, 1000, rng);
  }
}

TEST(AtlasGraph, ContractionKeepsEveryRouteOnRandomGrids) { CheckRandomGrids(false); }

// Area nodes and bit-30 edges: routes may use area nodes only at their
// start and end.
TEST(AtlasGraph, ContractionKeepsEveryRouteWithAreaNodes) { CheckRandomGrids(true); }

TEST(AtlasGraph, CoreHoldsTheTopRanksAndEveryTerminal) {
  CAtlasGraph g;
  BuildGrid(g, 10, 8, 7, true);
  ASSERT_TRUE(g.Contract(nullptr));
  const int32_t coreStart = static_cast<int32_t>(g.nodes.Size() - g.coreCount);
  uint32_t starts = 0, exits = 0;
  for (const auto& n : g.nodes) {
    starts += (n.role & ZorvaneMap::kAtlasStartNode) != 0;
    exits += (n.role & ZorvaneMap::kAtlasExitNode) != 0;
    // Entry and exit nodes are core nodes.
    if (n.role) {
      EXPECT_GE(n.rank, coreStart);
    }
  }
  EXPECT_EQ(g.entryCount, starts);
  EXPECT_EQ(g.exitCount, exits);
  EXPECT_GT(g.coreCount, starts + exits - 1);
  EXPECT_LT(g.coreCount, g.nodes.Size());
}

TEST(AtlasGraph, WithoutTerminalsEverythingIsOrderedOnce) {
  CAtlasGraph g;
  for (uint32_t i = 0; i < 5; i++) g.AddNode(AtlasNodeKey(0, 16 + 16 * i), 0);
  for (uint32_t i = 0; i + 1 < 5; i++) g.AddLoadedEdge(i, i + 1, MapEdge(3, 0, false, 0).data());
  g.baseEdges = g.edges.Size();
  ASSERT_TRUE(g.Contract(nullptr));
  EXPECT_EQ(g.coreCount, 0u);
  EXPECT_EQ(g.CheckContracted(), nullptr);
  std::mt19937 rng(1);
  ExpectRoutesKept(g, 5, rng);
}

// Entries without exits (the start nodes alone kept), and exits without
// entries: no route runs between them, so the core is those nodes alone,
// at the top ranks, and every route is kept.
TEST(AtlasGraph, WithoutExitsOrEntriesTheTerminalsAreTheCore) {
  for (uint8_t dropped : {ZorvaneMap::kAtlasExitNode, ZorvaneMap::kAtlasStartNode}) {
    SCOPED_TRACE(testing::Message() << "dropped role " << int{dropped});
    CAtlasGraph g;
    BuildGrid(g, 10, 7, 9, dropped == ZorvaneMap::kAtlasStartNode);
    uint32_t kept = 0;
    for (auto& n : g.nodes) {
      n.role &= static_cast<uint8_t>(~dropped);
      kept += (n.role & (ZorvaneMap::kAtlasStartNode | ZorvaneMap::kAtlasExitNode)) != 0;
    }
    ASSERT_GT(kept, 2u);
    ASSERT_TRUE(g.Contract(nullptr));
    ASSERT_EQ(g.CheckContracted(), nullptr);
    EXPECT_EQ(g.coreCount, kept);
    const int32_t coreStart = static_cast<int32_t>(g.nodes.Size() - g.coreCount);
    for (const auto& n : g.nodes) {
      if (n.role & (ZorvaneMap::kAtlasStartNode | ZorvaneMap::kAtlasExitNode)) {
        EXPECT_GE(n.rank, coreStart);
      }
    }
    std::mt19937 rng(9);
    ExpectRoutesKept(g, 70, rng);
  }
}

// Parallel edges of other costs and marks into the contracted node: each
// shortcut takes the marks of the two edges it was made of, not of another
// edge between the same nodes.
TEST(AtlasGraph, ShortcutMarksAreTheOrOfTheirOwnHalves) {
  CAtlasGraph g;
  // u (start node) -> v -> w (exit node): v is contracted, u and w are core.
  g.AddNode(AtlasNodeKey(0, 16), 1);
  g.AddNode(AtlasNodeKey(0, 64), 0);
  g.AddNode(AtlasNodeKey(1, 16), 0);
  g.nodes[2].role |= ZorvaneMap::kAtlasExitNode;
  g.AddLoadedEdge(0, 1, MapEdge(5, 1, false, 0).data());  // U
  g.AddLoadedEdge(0, 1, MapEdge(3, 2, false, 0).data());  // S
  g.AddJoin(1, 2, 1, false);
  g.baseEdges = g.edges.Size();
  ASSERT_TRUE(g.Contract(nullptr));
  EXPECT_EQ(g.coreCount, 2u);
  EXPECT_EQ(g.nodes[1].rank, 0);
  // The cheaper pair is made first (the in-list holds the later edge
  // first); it then witnesses the dearer one.
  ASSERT_EQ(g.ShortcutCount(), 1u);
  const TAtlasEdge& s = g.edges[g.baseEdges];
  EXPECT_EQ(s.from, 0u);
  EXPECT_EQ(s.to, 2u);
  EXPECT_EQ(s.via, 1u);
  EXPECT_EQ(CH::EdgeCost(s.word), 4u);
  EXPECT_EQ(s.marks, 2);
}

TEST(AtlasGraph, LoadedEdgesKeepTheirWordViaAndMarks) {
  CAtlasGraph g;
  g.AddNode(AtlasNodeKey(3, 100), 4);
  g.AddNode(AtlasNodeKey(3, 200), 0);
  g.AddLoadedEdge(1, 0, MapEdge(0x3fffffff, 3, true, 0x1237).data());
  g.AddJoin(0, 1, 0xffffffff, true);
  const TAtlasEdge& e = g.edges[0];
  EXPECT_EQ(e.from, 1u);
  EXPECT_EQ(e.word, 0x3fffffffu | CH::kEdgeLeavesArea);
  EXPECT_EQ(e.via, 0x1234u);
  EXPECT_EQ(e.marks, 3);
  // A join carries no flag bits, whatever the cost word held.
  EXPECT_EQ(g.edges[1].word, 0x3fffffffu);
  EXPECT_EQ(g.edges[1].marks, 2);
  EXPECT_EQ(g.edges[1].via, 0u);
  EXPECT_TRUE(g.nodes[0].IsArea());
  EXPECT_EQ(g.FindNode(AtlasNodeKey(3, 200)), &g.nodes[1]);
  EXPECT_EQ(g.FindNode(AtlasNodeKey(3, 150)), nullptr);
  EXPECT_TRUE(ZorvaneMap::CompareAtlasNodeKeys(&g.nodes[0], &g.nodes[1]));
  EXPECT_FALSE(ZorvaneMap::CompareAtlasNodeKeys(&g.nodes[1], &g.nodes[0]));
}

TEST(AtlasGraph, StopLeavesTheContractionEarly) {
  CAtlasGraph g;
  BuildGrid(g, 6, 4, 3, false);
  bool stop = true;
  EXPECT_FALSE(g.Contract(&stop));
}
