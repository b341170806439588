#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "tests/routing/chtestgraph.h"

using namespace ChTest;
using CH::TChNode;

namespace {

struct TShortcut {
  uint32_t from, to, via, cost;
  bool bit30, bit31;
  bool operator==(const TShortcut&) const = default;
};
std::ostream& operator<<(std::ostream& os, const TShortcut& s) {
  return os << s.from << "->" << s.to << " via " << s.via << " cost " << s.cost << (s.bit30 ? " b30" : "")
            << (s.bit31 ? " b31" : "");
}

std::vector<TShortcut> Shortcuts(const CTestGraph& g) {
  std::vector<TShortcut> out;
  for (size_t i = g.baseEdges; i < g.edges.Size(); i++) {
    const TEdge& e = g.edges[i];
    out.push_back({g.Index(e.from), g.Index(e.to), g.Index(e.via), CH::EdgeCost(e.word),
                   (e.word & CH::kEdgeLeavesArea) != 0, (e.word & CH::kEdgeRestricted) != 0});
  }
  return out;
}

std::vector<int32_t> Ranks(const CTestGraph& g) {
  std::vector<int32_t> r;
  for (const TChNode& n : g.nodes) r.push_back(n.rank);
  return r;
}

// Plain edges {from, to, cost}.
void AddEdges(CTestGraph& g, std::initializer_list<std::array<uint32_t, 3>> edges) {
  for (const auto& e : edges) g.AddEdge(e[0], e[1], e[2]);
}

// Both ways, the same cost.
void AddTwoWay(CTestGraph& g, uint32_t a, uint32_t b, uint32_t cost) {
  g.AddEdge(a, b, cost);
  g.AddEdge(b, a, cost);
}

struct TSimulation {
  int64_t d, h;
};
TSimulation Simulate(CTestGraph& g, CH::TOrderingState& state, uint32_t v) {
  TSimulation s{};
  g.ContractNode(state, g.Node(v), false, &s.d, &s.h, nullptr);
  return s;
}
void Perform(CTestGraph& g, CH::TOrderingState& state, uint32_t v) {
  int64_t d = 0, h = 0;
  g.ContractNode(state, g.Node(v), true, &d, &h, &state.neighbours);
}

CReallocArray<TChNode*> List(CTestGraph& g, std::initializer_list<uint32_t> ids) {
  CReallocArray<TChNode*> l;
  for (uint32_t i : ids) l.PushBack(g.Node(i));
  return l;
}
std::vector<uint32_t> Ids(const CTestGraph& g, const CReallocArray<TChNode*>& l) {
  std::vector<uint32_t> out;
  for (const TChNode* n : l) out.push_back(g.Index(n));
  return out;
}

}  // namespace

// ---- hand-made graphs ----

TEST(ChContract, PathMiddleNodeGetsBothShortcutsInInListOrder) {
  CTestGraph g(3);
  AddTwoWay(g, 0, 1, 3);
  AddTwoWay(g, 1, 2, 4);
  CH::TOrderingState state(g);
  TSimulation s = Simulate(g, state, 1);
  EXPECT_EQ(s.d, 2 - 4);
  EXPECT_EQ(s.h, 4);
  EXPECT_EQ(CH::CGraph::Priority(s.d, s.h), 3998);
  EXPECT_TRUE(g.Shortcuts() == 0) << "a simulation makes nothing";
  Perform(g, state, 1);
  // The in-list holds the latest edge first: 2 -> 1 before 0 -> 1.
  std::vector<TShortcut> expected = {{2, 0, 1, 7, false, false}, {0, 2, 1, 7, false, false}};
  EXPECT_EQ(Shortcuts(g), expected);
  EXPECT_TRUE(g.Node(1)->in.Empty());
  EXPECT_TRUE(g.Node(1)->out.Empty());
  EXPECT_EQ(Ids(g, state.neighbours), (std::vector<uint32_t>{2, 0}));
  // The shortcut carries the hops of both halves.
  ASSERT_FALSE(g.Node(0)->out.Empty());
  EXPECT_EQ(g.Node(0)->out.Head().hops, 2u);
}

TEST(ChContract, PathIsContractedFromTheEndsWithoutShortcuts) {
  CTestGraph g(3);
  AddTwoWay(g, 0, 1, 3);
  AddTwoWay(g, 1, 2, 4);
  CH::TOrderingState state(g);
  CReallocArray<TChNode*> ordered = g.OrderAll(state);
  EXPECT_EQ(Ranks(g), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(g.Shortcuts(), 0u);
  EXPECT_EQ(g.CheckContracted(ordered.data, ordered.Size()), nullptr);
}

TEST(ChContract, StarCentreWaitsForItsLeaves) {
  CTestGraph g(5);
  for (uint32_t leaf = 1; leaf <= 4; leaf++) AddTwoWay(g, 0, leaf, 1);
  CH::TOrderingState state(g);
  TSimulation s = Simulate(g, state, 0);
  EXPECT_EQ(s.d, 12 - 8);  // every leaf to every other leaf
  EXPECT_EQ(s.h, 24);
  TSimulation leaf = Simulate(g, state, 3);
  EXPECT_EQ(leaf.d, -2);  // a two-way dead end: no pair, no target
  EXPECT_EQ(leaf.h, 0);
  g.OrderAll(state);
  // Leaves 1-3 go first; then the centre and leaf 4 tie at -2 and the id decides.
  EXPECT_EQ(Ranks(g), (std::vector<int32_t>{3, 0, 1, 2, 4}));
  EXPECT_EQ(g.Shortcuts(), 0u);
}

TEST(ChContract, StarCentreContractedFirstLinksEveryLeafPair) {
  CTestGraph g(4);
  for (uint32_t leaf = 1; leaf <= 3; leaf++) AddTwoWay(g, 0, leaf, leaf);
  CH::TOrderingState state(g);
  Perform(g, state, 0);
  std::set<std::pair<uint32_t, uint32_t>> pairs;
  for (const TShortcut& s : Shortcuts(g)) {
    pairs.insert({s.from, s.to});
    EXPECT_EQ(s.cost, s.from + s.to);
    EXPECT_EQ(s.via, 0u);
  }
  EXPECT_EQ(pairs.size(), 6u);
  EXPECT_EQ(g.Shortcuts(), 6u);
}

// Square 0-1-2-3 with a diagonal 0-2: contracting 1 needs the shortcut
// 0 -> 2 only when no path avoiding 1 is as short.
TEST(ChContract, SquareWithDiagonalWitness) {
  struct Case {
    uint32_t diagonal;
    bool restricted;
    bool shortcut;
  } cases[] = {
      {1, false, false},  // the diagonal is shorter
      {2, false, false},  // an equally short witness suffices
      {3, false, true},   // the other side (10) is longer too
      {1, true, true},    // a restricted witness does not serve an unrestricted pair
  };
  for (const Case& c : cases) {
    CTestGraph g(4);
    AddTwoWay(g, 0, 1, 1);
    AddTwoWay(g, 1, 2, 1);
    AddTwoWay(g, 2, 3, 5);
    AddTwoWay(g, 3, 0, 5);
    g.AddEdge(0, 2, c.diagonal, false, c.restricted);
    g.AddEdge(2, 0, c.diagonal, false, c.restricted);
    CH::TOrderingState state(g);
    TSimulation s = Simulate(g, state, 1);
    EXPECT_EQ(s.d, -4 + (c.shortcut ? 2 : 0)) << c.diagonal;
    EXPECT_EQ(s.h, c.shortcut ? 4 : 0) << c.diagonal;
    Perform(g, state, 1);
    std::vector<TShortcut> expected;
    if (c.shortcut) expected = {{2, 0, 1, 2, false, false}, {0, 2, 1, 2, false, false}};
    EXPECT_EQ(Shortcuts(g), expected) << c.diagonal << " " << c.restricted;
  }
}

// Contracting node 1 of the path 0 -> 1 -> 2 (both ways when twoWay):
// the area rule and the flags a shortcut inherits.
TEST(ChContract, PathThroughOneNodeFlagsAndAreaRule) {
  struct Case {
    const char* what;
    uint32_t areaNodes;  // bit i: node i is an area node
    uint32_t flags01, flags12;
    bool twoWay;
    int64_t d, h;
    std::vector<TShortcut> shortcuts;
  } cases[] = {
      {"area node between two outside: nothing counted, hops counted", 2, 0, 0, true, -4, 4, {}},
      {"area ends through an outside node: bit 30", 5, 0, 0, false, -1, 2, {{0, 2, 1, 2, true, false}}},
      {"inside the area", 7, 0, 0, false, -1, 2, {{0, 2, 1, 2, false, false}}},
      {"inside the area after a bit-30 half: made, bit 30", 7, CH::kEdgeLeavesArea, 0, false, -1, 2,
       {{0, 2, 1, 2, true, false}}},
      {"bit-30 halves on both sides: refused", 7, CH::kEdgeLeavesArea, CH::kEdgeLeavesArea, false, -2, 2, {}},
      {"a restricted half: bit 31", 0, 0, CH::kEdgeRestricted, false, -1, 2, {{0, 2, 1, 2, false, true}}},
  };
  for (const Case& c : cases) {
    CTestGraph g(3);
    for (uint32_t i = 0; i < 3; i++) {
      if (c.areaNodes & (1u << i)) g.SetArea(i);
    }
    g.AddEdge(0, 1, 1, c.flags01 & CH::kEdgeLeavesArea, c.flags01 & CH::kEdgeRestricted);
    g.AddEdge(1, 2, 1, c.flags12 & CH::kEdgeLeavesArea, c.flags12 & CH::kEdgeRestricted);
    if (c.twoWay) {
      g.AddEdge(1, 0, 1);
      g.AddEdge(2, 1, 1);
    }
    CH::TOrderingState state(g);
    TSimulation s = Simulate(g, state, 1);
    EXPECT_EQ(s.d, c.d) << c.what;
    EXPECT_EQ(s.h, c.h) << c.what;
    Perform(g, state, 1);
    EXPECT_EQ(Shortcuts(g), c.shortcuts) << c.what;
  }
}

// Every combination of area nodes and bit-30 halves on the path 0 -> 1 ->
// 2: a shortcut is made exactly when a route starting at 0 outside any
// area state may take the path. A bit-30 edge stands for a path that
// leaves the area between its two area nodes, so the path spelled out as
// area (A) and outside (O) nodes must read A...A O...O A...A.
TEST(ChContract, PairsAreMadeExactlyWhenARouteMayTakeThem) {
  int made = 0, refused = 0;
  for (uint32_t areas = 0; areas < 8; areas++) {
    for (uint32_t bits = 0; bits < 4; bits++) {
      const bool a[3] = {(areas & 1) != 0, (areas & 2) != 0, (areas & 4) != 0};
      const bool f30 = bits & 1, o30 = bits & 2;
      if ((f30 && !(a[0] && a[1])) || (o30 && !(a[1] && a[2]))) continue;  // bit 30 joins area nodes only
      std::string spelled;
      spelled += a[0] ? 'A' : 'O';
      if (f30) spelled += 'O';
      spelled += a[1] ? 'A' : 'O';
      if (o30) spelled += 'O';
      spelled += a[2] ? 'A' : 'O';
      const size_t firstOut = spelled.find('O');
      const bool legal = firstOut == std::string::npos ||
                         spelled.find('O', spelled.find('A', firstOut)) == std::string::npos ||
                         spelled.find('A', firstOut) == std::string::npos;
      const bool leaves = a[0] && a[2] && firstOut != std::string::npos;
      CTestGraph g(3);
      for (uint32_t i = 0; i < 3; i++) {
        if (a[i]) g.SetArea(i);
      }
      g.AddEdge(0, 1, 1, f30);
      g.AddEdge(1, 2, 1, o30);
      CH::TOrderingState state(g);
      TSimulation sim = Simulate(g, state, 1);
      EXPECT_EQ(sim.h, 2) << spelled;  // no witness: the hops count either way
      EXPECT_EQ(sim.d, legal ? -1 : -2) << spelled;
      Perform(g, state, 1);
      std::vector<TShortcut> expected;
      if (legal) expected.push_back({0, 2, 1, 2, leaves, false});
      EXPECT_EQ(Shortcuts(g), expected) << spelled;
      (legal ? made : refused)++;
    }
  }
  EXPECT_EQ(made, 9);
  EXPECT_EQ(refused, 4);
}

// A pair inside the area serves routes confined to it: a cheaper witness
// through a node outside does not serve them, one inside does.
TEST(ChContract, PairInsideTheAreaNeedsAWitnessInsideIt) {
  for (bool inside : {false, true}) {
    CTestGraph g(4);
    for (uint32_t i : {0u, 1u, 2u}) g.SetArea(i);
    if (inside) g.SetArea(3);
    AddEdges(g, {{0, 1, 5}, {1, 2, 5}, {0, 3, 1}, {3, 2, 1}});
    CH::TOrderingState state(g);
    Perform(g, state, 1);
    std::vector<TShortcut> expected;
    if (!inside) expected.push_back({0, 2, 1, 10, false, false});
    EXPECT_EQ(Shortcuts(g), expected) << inside;
  }
  // A pair that leaves the area anyway takes the witness outside it.
  CTestGraph g(4);
  g.SetArea(0);
  g.SetArea(2);
  AddEdges(g, {{0, 1, 5}, {1, 2, 5}, {0, 3, 1}, {3, 2, 1}});
  CH::TOrderingState state(g);
  Perform(g, state, 1);
  EXPECT_EQ(g.Shortcuts(), 0u);
}

// Node 4 (area) is labelled first by an unrestricted path that left the
// area (0 -> 2 -> 4, over node 2 outside) and then, for label B only, by
// a restricted path that stays inside (0 -> 3 -> 4). Leaving 4 for node 5
// outside is legal only on the restricted path, so it gives 5 no
// unrestricted label: the unrestricted pair 0 -> 1 -> 5 needs its shortcut.
TEST(ChContract, WitnessLabelsKeepTheMostConfinedState) {
  CTestGraph g(6);
  for (uint32_t i : {0u, 3u, 4u}) g.SetArea(i);
  AddEdges(g, {{0, 1, 3}, {1, 5, 3}, {0, 2, 2}, {2, 4, 2}, {0, 3, 3}, {4, 5, 1}});
  g.AddEdge(3, 4, 1, false, true);
  CH::TOrderingState state(g);
  Perform(g, state, 1);
  EXPECT_EQ(Shortcuts(g), (std::vector<TShortcut>{{0, 5, 1, 6, false, false}}));
}

TEST(ChContract, RestrictedPairAcceptsAnyWitness) {
  // 0 -> 1 is restricted, so the pair 0 -> 1 -> 2 is; the restricted diagonal serves it.
  CTestGraph g(3);
  g.AddEdge(0, 1, 1, false, true);
  g.AddEdge(1, 2, 1);
  g.AddEdge(0, 2, 2, false, true);
  CH::TOrderingState state(g);
  Perform(g, state, 1);
  EXPECT_EQ(g.Shortcuts(), 0u);
}

// The pair 0 -> 1 -> 2 (cost 10) and a path 0 -> 3 -> 2 of cost 2, or the
// edge 0 -> 2 of cost 10: witnesses of one or two edges are taken without a
// search, under the rules of the search.
TEST(ChContract, ShortWitnessesFollowTheSearchRules) {
  struct Case {
    const char* name;
    bool direct;                        // 0 -> 2 instead of 0 -> 3 -> 2
    bool restrictFirst, restrictSecond;  // of the witness
    bool restrictPair;                  // 0 -> 1
    std::initializer_list<uint32_t> area;
    bool shortcut;
    uint32_t searches;
  } cases[] = {
      {"two edges", false, false, false, false, {}, false, 0},
      {"one edge", true, false, false, false, {}, false, 0},
      {"restricted first edge", false, true, false, false, {}, true, 1},
      {"restricted second edge", false, false, true, false, {}, true, 1},
      {"restricted edge", true, true, false, false, {}, true, 1},
      {"restricted pair, restricted witness", false, false, true, true, {}, false, 1},
      {"through an area node", false, false, false, false, {3}, true, 1},
      {"into the area and on inside it", false, false, false, false, {3, 2}, false, 1},
      {"from inside the area out", false, false, false, false, {0, 3}, false, 1},
  };
  for (const Case& c : cases) {
    CTestGraph g(4);
    for (uint32_t a : c.area) g.SetArea(a);
    g.AddEdge(0, 1, 5, false, c.restrictPair);
    g.AddEdge(1, 2, 5);
    if (c.direct) {
      g.AddEdge(0, 2, 10, false, c.restrictFirst);
    } else {
      g.AddEdge(0, 3, 1, false, c.restrictFirst);
      g.AddEdge(3, 2, 1, false, c.restrictSecond);
    }
    CH::TOrderingState state(g);
    TSimulation s = Simulate(g, state, 1);
    EXPECT_EQ(s.d, c.shortcut ? -1 : -2) << c.name;
    EXPECT_EQ(state.counts.witnessSearches, c.searches) << c.name;
    Perform(g, state, 1);
    EXPECT_EQ(g.Shortcuts(), c.shortcut ? 1u : 0u) << c.name;
  }
}

TEST(ChContract, WitnessSearchStopsOnAreaPathState) {
  // 0 (outside) -> 1 (area) -> 3 (outside) is refused to the witness: a path
  // that left the outside may not leave the area again. The pair 0 -> 2 -> 3
  // over the plain node 2 therefore gets its shortcut although 0-1-3 is shorter.
  CTestGraph g(4);
  AddEdges(g, {{0, 2, 5}, {2, 3, 5}, {0, 1, 1}, {1, 3, 1}});
  g.SetArea(1);
  CH::TOrderingState state(g);
  Perform(g, state, 2);
  EXPECT_EQ(Shortcuts(g), (std::vector<TShortcut>{{0, 3, 2, 10, false, false}}));
}

// The pair 0 -> 1 -> 2 (cost 20) has a witness 0 -> 3 -> ... -> 2 over a
// chain of `links` edges of cost 1. The search's bounds on path edges and
// settled nodes may hide it: then the pair gets its shortcut, which costs
// an edge, never a route.
TEST(ChContract, WitnessSearchBoundsOnlyAddShortcuts) {
  struct Case {
    uint32_t links, hopLimit, settledLimit;
    bool shortcut;
  } cases[] = {
      {6, 6, 0, false},   // the witness has as many edges as allowed
      {7, 6, 0, true},    // one more
      {7, 0, 0, false},   // no bound
      {7, 0, 8, false},   // the target is the eighth node settled: found before the cap
      {7, 0, 7, true},    // the cap comes first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.links << " links, hop limit " << c.hopLimit << ", settled limit "
                                    << c.settledLimit);
    CTestGraph g(3 + c.links - 1);
    AddEdges(g, {{0, 1, 10}, {1, 2, 10}});
    uint32_t prev = 0;
    for (uint32_t i = 0; i + 1 < c.links; i++) {
      g.AddEdge(prev, 3 + i, 1);
      prev = 3 + i;
    }
    g.AddEdge(prev, 2, 1);
    CH::TOrderingState state(g);
    state.witnessHopLimit = c.hopLimit;
    state.witnessSettledLimit = c.settledLimit;
    Perform(g, state, 1);
    EXPECT_EQ(g.Shortcuts(), c.shortcut ? 1u : 0u);
    g.nodes[1].rank = 1000;
    g.LinkAllUpward();
    CUpwardQuery query(g);
    EXPECT_EQ(query.Distance(0, 2, false), c.links);
  }
  EXPECT_EQ(CH::kWitnessHopLimit, 6u);
}

// The targets' point test, four targets at a time, against one float test
// per open target: any count (padding places must pass nothing), targets
// closed in any order, keys past some lengths.
TEST(ChContract, TargetPointsAgreeWithOneTestPerTarget) {
  std::mt19937 rng(47);
  std::uniform_real_distribution<float> coord(0.0f, 100.0f), length(0.0f, 80.0f), key(0.0f, 90.0f);
  CH::CTargetPoints near;
  for (int round = 0; round < 300; round++) {
    struct TTarget {
      float x, y, length;
    };
    std::vector<TTarget> open(1 + round % 13);
    near.Assign(open.size());
    for (size_t i = 0; i < open.size(); i++) {
      open[i] = {coord(rng), coord(rng), length(rng)};
      near.Set(i, open[i].x, open[i].y, open[i].length);
    }
    while (!open.empty()) {
      for (int probe = 0; probe < 40; probe++) {
        const float x = coord(rng), y = coord(rng), k = key(rng);
        bool expected = false;
        for (const TTarget& t : open) {
          const float left = t.length - k, ex = t.x - x, ey = t.y - y;
          expected |= left >= 0 && ex * ex + ey * ey <= left * left;
        }
        ASSERT_EQ(near.Near(x, y, k, open.size()), expected) << round;
      }
      // A node on a target at key 0 is near it exactly while it is open.
      const size_t i = rng() % open.size();
      near.SwapOut(i, open.size());
      const TTarget gone = open[i];
      open[i] = open.back();
      open.pop_back();
      bool stillNear = false;
      for (const TTarget& t : open) {
        const float ex = t.x - gone.x, ey = t.y - gone.y;
        stillNear |= ex * ex + ey * ey <= t.length * t.length;
      }
      EXPECT_EQ(near.Near(gone.x, gone.y, 0, open.size()), stillNear);
    }
  }
}

TEST(ChContract, DeadEndHasNoTargetsAndSearchOnlyAdvancesTheStamp) {
  CTestGraph g(2);
  AddTwoWay(g, 0, 1, 1);
  CH::TOrderingState state(g);
  g.Node(0)->labelA = 77;
  uint32_t before = state.stamp.value;
  TSimulation s = Simulate(g, state, 1);
  EXPECT_EQ(s.d, -2);
  EXPECT_EQ(state.stamp.value, before + 1);
  EXPECT_EQ(g.Node(0)->labelA, 77u);  // nothing labelled
  EXPECT_FALSE(state.stamp.IsCurrent(*g.Node(0)));
}

// The search settles a node that has no out-edges (its list has no array)
// on its way to the witness (of three edges: shorter ones need no search).
TEST(ChContract, WitnessSearchSettlesASink) {
  CTestGraph g(6);
  AddEdges(g, {{0, 1, 1}, {1, 2, 1}, {0, 3, 0}, {0, 4, 1}, {4, 5, 0}, {5, 2, 1}});
  CH::TOrderingState state(g);
  ASSERT_TRUE(g.Node(3)->out.Empty());
  TSimulation s = Simulate(g, state, 1);
  EXPECT_EQ(s.d, -2);  // 0 -> 4 -> 5 -> 2 witnesses 0 -> 1 -> 2
  EXPECT_EQ(state.counts.witnessSearches, 1u);
  EXPECT_GE(state.counts.settledNodes, 4u);
}

TEST(ChContract, SelfLoopsPairWithNothing) {
  CTestGraph g(3);
  AddEdges(g, {{0, 1, 1}, {1, 1, 0}, {1, 1, 4}, {1, 2, 1}});
  CH::TOrderingState state(g);
  TSimulation s = Simulate(g, state, 1);
  EXPECT_EQ(s.d, 1 - 6);  // one shortcut; three in-entries and three out-entries go
  Perform(g, state, 1);
  EXPECT_EQ(Shortcuts(g), (std::vector<TShortcut>{{0, 2, 1, 2, false, false}}));
  EXPECT_TRUE(g.Node(1)->in.Empty());
  EXPECT_TRUE(g.Node(1)->out.Empty());
  const TChNode* contracted = g.Node(1);
  g.Node(1)->rank = 0;
  EXPECT_EQ(g.CheckContracted(&contracted, 1), nullptr);
}

TEST(ChContract, SumsBeyondThirtyBitsSaturate) {
  CTestGraph g(3);
  g.AddEdge(0, 1, CH::kCostMask);
  g.AddEdge(1, 2, CH::kCostMask - 5);
  CH::TOrderingState state(g);
  Perform(g, state, 1);
  ASSERT_EQ(g.Shortcuts(), 1u);
  EXPECT_EQ(Shortcuts(g)[0].cost, CH::kCostMask);  // not the low 30 bits of the sum

  EXPECT_EQ(CH::CGraph::Priority(-3, 2), 1997);
  EXPECT_EQ(CH::CGraph::Priority(0, int64_t{1} << 40), CH::kCoreRank - 1);
  EXPECT_EQ(CH::CGraph::Priority(-(int64_t{1} << 40), 0), INT32_MIN);
}

TEST(ChLink, EntriesGoToTheListHeads) {
  CTestGraph g(3);
  g.AddEdge(0, 1, 5);
  g.AddEdge(0, 2, 6);
  ASSERT_EQ(g.Node(0)->out.size, 2u);
  const CH::TChAdjEntry* e = &*g.Node(0)->out.begin();
  EXPECT_EQ(g.Index(e->other), 2u);
  EXPECT_EQ(e->hops, 1u);
  EXPECT_EQ(g.Index((e - 1)->other), 1u);  // next in list order
  EXPECT_EQ(g.Index(g.Node(2)->in.Head().other), 0u);

  // Upward: at the lower end only, both ends on equal ranks.
  g.ClearAdjacency();
  g.Node(0)->rank = 5;
  g.Node(1)->rank = 2;
  g.Node(2)->rank = 5;
  g.LinkUpwardEdge(g.edges[0], 0);
  g.LinkUpwardEdge(g.edges[1], 1);
  EXPECT_EQ(g.Node(1)->in.Head().other, g.Node(0));
  EXPECT_TRUE(g.Node(1)->out.Empty());
  EXPECT_EQ(g.Node(0)->out.Head().other, g.Node(2));
  EXPECT_EQ(g.Node(0)->out.size, 1u);
  EXPECT_EQ(g.Node(2)->in.Head().other, g.Node(0));
  EXPECT_EQ(g.Node(0)->out.Head().hops, 0u);
  EXPECT_EQ(g.CheckUpwardLinks(), nullptr);
  g.Node(1)->rank = 9;
  EXPECT_NE(g.CheckUpwardLinks(), nullptr);
}

// ---- ordering ----

TEST(ChOrder, EqualPrioritiesFollowTheTieBreak) {
  CTestGraph g(4);  // isolated nodes: every priority is 0
  CH::TOrderingState state(g);
  CReallocArray<TChNode*> list = List(g, {0, 1, 2, 3});
  g.OrderNodes(state, list, [](const TChNode* a, const TChNode* b) { return a->id > b->id; }, nullptr);
  EXPECT_EQ(Ranks(g), (std::vector<int32_t>{3, 2, 1, 0}));
}

TEST(ChOrder, OnlyListedNodesAreOrdered) {
  CTestGraph g(3);
  AddTwoWay(g, 0, 1, 2);
  AddTwoWay(g, 1, 2, 2);
  g.Node(0)->rank = CH::kCoreRank;
  g.Node(2)->rank = CH::kCoreRank;
  CH::TOrderingState state(g);
  CReallocArray<TChNode*> list = List(g, {1});
  g.OrderNodes(state, list, CH::CompareNodeIds, nullptr);
  EXPECT_EQ(Ranks(g), (std::vector<int32_t>{CH::kCoreRank, 0, CH::kCoreRank}));
  EXPECT_EQ(Shortcuts(g), (std::vector<TShortcut>{{2, 0, 1, 4, false, false}, {0, 2, 1, 4, false, false}}));
}

// Nodes outside the list keep the marks of earlier searches; the restarted
// counter must not take them for its own.
TEST(ChOrder, OldMarksOfUnlistedNodesAreNoWitness) {
  for (uint32_t stale = 1; stale <= 12; stale++) {
    CTestGraph g(3);
    AddTwoWay(g, 0, 1, 2);
    AddTwoWay(g, 1, 2, 2);
    for (uint32_t core : {0u, 2u}) {
      g.Node(core)->rank = CH::kCoreRank;
      g.Node(core)->flags = stale | CH::kNodeSettled;
      g.Node(core)->labelA = 0;
      g.Node(core)->labelB = 0;
    }
    CH::TOrderingState state(g);
    CReallocArray<TChNode*> list = List(g, {1});
    g.OrderNodes(state, list, CH::CompareNodeIds, nullptr);
    EXPECT_EQ(g.Shortcuts(), 2u) << stale;
  }
}

// The store keeps each list in link order through growth, removals from
// its middle and the release of other lists, and reuses released blocks.
TEST(ChLink, ListsKeepTheirOrderInTheStore) {
  const uint32_t n = 256;
  CTestGraph g(n);
  std::mt19937 rng(5);
  std::vector<std::vector<uint32_t>> model(n);  // out-lists as other node ids, list order
  auto check = [&]() {
    for (uint32_t i = 0; i < n; i++) {
      std::vector<uint32_t> got;
      for (const CH::TChAdjEntry& e : g.Node(i)->out) got.push_back(g.Index(e.other));
      ASSERT_EQ(got, model[i]) << "node " << i;
    }
  };
  auto unlinkAll = [&]() {
    for (uint32_t i = 0; i < n; i++) g.UnlinkNode(g.Node(i));
    model.assign(n, {});
  };
  for (int k = 0; k < 20000; k++) {
    const uint32_t a = rng() % n, b = rng() % n;
    if (rng() % 16 == 0) {
      g.UnlinkNode(g.Node(a));  // its lists go back to the store, its twins leave the others'
      for (uint32_t x = 0; x < n; x++) {
        if (x != a) model[x].erase(std::remove(model[x].begin(), model[x].end(), a), model[x].end());
      }
      model[a].clear();
    } else {
      g.AddEdge(a, b, 1);
      model[a].insert(model[a].begin(), b);
    }
  }
  check();

  // The same lists made twice, everything released in between: the second
  // time every block comes from the free lists.
  std::vector<std::pair<uint32_t, uint32_t>> adds;
  for (int k = 0; k < 40000; k++) adds.push_back({rng() % n, rng() % n});
  size_t slabs = 0;
  for (int pass = 0; pass < 2; pass++) {
    unlinkAll();
    for (auto [a, b] : adds) {
      g.AddEdge(a, b, 1);
      model[a].insert(model[a].begin(), b);
    }
    check();
    if (pass == 0) slabs = g.adjacency.SlabCount();
  }
  EXPECT_GT(slabs, 1u);
  EXPECT_EQ(g.adjacency.SlabCount(), slabs);
}

TEST(ChOrder, StampWrapClearsEveryNode) {
  CTestGraph g(4);
  AddTwoWay(g, 0, 1, 1);
  g.AddEdge(1, 2, 1);
  CH::TOrderingState state(g);
  state.stamp.value = CH::kStampMask;
  g.Node(3)->flags = 1 | CH::kNodeArea;  // not in any list
  g.Node(2)->flags = 1 | CH::kNodeSettled;
  g.WitnessSearch(state, g.Node(0), g.Node(1), 1, 10);
  EXPECT_EQ(state.stamp.value, 1u);
  EXPECT_EQ(g.Node(3)->flags, CH::kNodeArea);
  EXPECT_FALSE(state.stamp.IsCurrent(*g.Node(2)));
  EXPECT_TRUE(state.stamp.IsCurrent(*g.Node(0)));
}

// The rebuild after kRebuildAfterChanges top changes replaces the list by
// the waiting nodes; one change short of it, the run is unchanged. A large
// graph waits for one change per kRebuildShare nodes.
TEST(ChOrder, RebuildOnTheThresholdChange) {
  auto run = [](uint32_t threshold, uint32_t* changes, uint32_t* rebuilds, size_t* listSize, uint32_t share = 0) {
    CTestGraph g(400);
    AddGrid(g, 20, 20, 9, 5);
    CH::TOrderingState state(g);
    state.rebuildAfterChanges = threshold;
    state.rebuildShare = share;
    CReallocArray<TChNode*> list;
    for (TChNode& n : g.nodes) list.PushBack(&n);
    g.OrderNodes(state, list, CH::CompareNodeIds, nullptr);
    *changes = state.counts.priorityChanges;
    *rebuilds = state.counts.rebuilds;
    *listSize = list.Size();
    return Ranks(g);
  };
  uint32_t changes = 0, rebuilds = 0, c2 = 0, r2 = 0;
  size_t size = 0, size2 = 0;
  std::vector<int32_t> plain = run(CH::kRebuildAfterChanges, &changes, &rebuilds, &size);
  ASSERT_GT(changes, 2u);
  ASSERT_LT(changes, CH::kRebuildAfterChanges) << "the grid is too large for this test";
  EXPECT_EQ(rebuilds, 0u);
  EXPECT_EQ(size, 400u);
  EXPECT_EQ(run(changes + 1, &c2, &r2, &size2), plain);
  EXPECT_EQ(r2, 0u);
  run(changes, &c2, &r2, &size2);
  EXPECT_GE(r2, 1u);
  EXPECT_LT(size2, 400u);
  // The same thresholds as one change per so many nodes ordered.
  EXPECT_EQ(run(1, &c2, &r2, &size2, 400 / (changes + 1)), plain);
  EXPECT_EQ(r2, 0u);
  run(1, &c2, &r2, &size2, (400 + changes - 1) / changes);
  EXPECT_GE(r2, 1u);
}

namespace {
// Sets the stop flag at a given shortcut, so that an ordering stops midway.
class CStoppingGraph : public CTestGraph {
 public:
  using CTestGraph::CTestGraph;
  void AddShortcut(TChNode* from, TChNode* to, TChNode* via, uint32_t cost, uint32_t hops, bool bit30, bool bit31,
                   CH::TShortcutHalves halves) override {
    if (via && ++shortcuts == stopAt) *stopFlag = true;
    CTestGraph::AddShortcut(from, to, via, cost, hops, bit30, bit31, halves);
  }
  bool* stopFlag = nullptr;
  int shortcuts = 0, stopAt = -1;
};
}  // namespace

TEST(ChOrder, StopLeavesWaitingNodesWithTheirPriority) {
  // A first run counts the shortcuts; the second stops halfway.
  int total = 0;
  for (int pass = 0; pass < 2; pass++) {
    CStoppingGraph g(100);
    AddGrid(g, 10, 10, 5, 3);
    CH::TOrderingState state(g);
    bool stop = false;
    g.stopFlag = &stop;
    g.stopAt = pass == 0 ? -1 : total / 2;
    CReallocArray<TChNode*> list;
    for (TChNode& n : g.nodes) list.PushBack(&n);
    g.OrderNodes(state, list, CH::CompareNodeIds, &stop);
    if (pass == 0) {
      total = g.shortcuts;
      ASSERT_GT(total, 10);
      continue;
    }
    ASSERT_TRUE(stop);
    int contracted = 0;
    for (TChNode& n : g.nodes) {
      EXPECT_EQ(n.heapEntry, nullptr);
      if (n.in.Empty() && n.out.Empty()) contracted++;
    }
    EXPECT_GT(contracted, 0);
    EXPECT_LT(contracted, 100);
  }
}

// ---- random graphs against Dijkstra ----

namespace {

struct TRandomSpec {
  uint32_t nodes;
  uint32_t edgesPerNode;
  uint32_t maxCost;  // costs 0..maxCost (near kCostMask for the large case)
  uint32_t seed;
  bool largeCosts;
  uint32_t window = 0;  // when set, most edges join nodes this close in number (a road-like graph)
  uint32_t areaPercent = 0;  // of the nodes; bit 30 on some edges between two of them
  bool restrictedEdges = true;  // bit 31 on some edges
};

void BuildRandom(CTestGraph& g, const TRandomSpec& s) {
  std::mt19937 rng(s.seed);
  uint32_t n = s.nodes;
  // Two halves joined one way only, and a tail of isolated nodes.
  uint32_t live = n - n / 20;
  uint32_t half = live / 2;
  if (s.areaPercent) {
    // In runs of neighbouring numbers, so that windowed edges stay in and leave areas.
    for (uint32_t i = 0; i < n;) {
      uint32_t run = 1 + rng() % 8;
      bool area = rng() % 100 < s.areaPercent;
      for (; run && i < n; run--, i++) {
        if (area) g.SetArea(i);
      }
    }
  }
  auto leaves = [&](uint32_t a, uint32_t b) {
    return s.areaPercent && g.nodes[a].IsArea() && g.nodes[b].IsArea() && rng() % 6 == 0;
  };
  auto cost = [&]() -> uint32_t {
    if (s.largeCosts) return CH::kCostMask - rng() % 1000;
    uint32_t r = rng() % 10;
    return r == 0 ? 0 : rng() % (s.maxCost + 1);
  };
  for (uint32_t i = 0; i < live * s.edgesPerNode; i++) {
    uint32_t a = rng() % live;
    uint32_t lo = a < half ? 0 : half, hi = a < half ? half : live;
    uint32_t b = lo + rng() % (hi - lo);
    if (s.window && rng() % 50 != 0) b = std::clamp(a + static_cast<uint32_t>(rng() % (2 * s.window + 1)), lo + s.window, hi - 1 + s.window) - s.window;
    if (rng() % 8 == 0) b = a;
    bool restricted = rng() % 12 == 0 && s.restrictedEdges;
    uint32_t c = cost();
    g.AddEdge(a, b, c, leaves(a, b), restricted);
    if (rng() % 5 == 0) g.AddEdge(a, b, cost(), leaves(a, b), restricted);  // a parallel edge
    if (rng() % 2 == 0) g.AddEdge(b, a, c, leaves(b, a));
  }
  for (int i = 0; i < 3; i++) g.AddEdge(rng() % half, half + rng() % (live - half), cost());
}

uint64_t Clip(uint64_t d) { return d == kInfinite ? d : std::min<uint64_t>(d, CH::kCostMask); }

void ExpectQueriesMatch(CTestGraph& g, uint32_t sources, uint32_t targetsPerSource, uint32_t seed, bool clip) {
  std::mt19937 rng(seed);
  CUpwardQuery query(g);
  uint32_t n = static_cast<uint32_t>(g.nodes.Size());
  int reachable = 0;
  for (uint32_t i = 0; i < sources; i++) {
    uint32_t s = rng() % n;
    for (bool restricted : {false, true}) {
      std::vector<uint64_t> dist = Dijkstra(g, s, restricted);
      for (uint32_t j = 0; j < targetsPerSource; j++) {
        uint32_t t = rng() % n;
        uint64_t expected = dist[t], got = query.Distance(s, t, restricted);
        if (clip) {
          expected = Clip(expected);
          got = Clip(got);
        }
        if (expected != kInfinite) reachable++;
        ASSERT_EQ(got, expected) << s << " -> " << t << (restricted ? " restricted" : "");
      }
    }
  }
  EXPECT_GT(reachable, 0);
}

}  // namespace

TEST(ChRandom, UpwardSearchEqualsDijkstra) {
  const TRandomSpec specs[] = {
      {12, 2, 5, 1, false},   {60, 3, 20, 2, false}, {300, 2, 100, 3, false},
      {300, 4, 3, 4, false},  {600, 2, 1000, 5, false},
      {4000, 2, 1000, 7, false, 20},
      {200, 3, 0, 6, true},  // costs near the 30-bit limit: sums saturate
      // Area nodes and bit-30 edges: the query keeps a label per area state.
      {60, 3, 20, 8, false, 0, 40},  {300, 3, 50, 9, false, 0, 50},
      {600, 2, 1000, 10, false, 20, 35}, {1000, 3, 100, 11, false, 15, 45},
  };
  for (const TRandomSpec& s : specs) {
    for (bool landmarks : {false, true}) {
      SCOPED_TRACE(testing::Message() << "nodes " << s.nodes << " seed " << s.seed
                                      << (landmarks ? " landmarks" : ""));
      CTestGraph g(s.nodes);
      BuildRandom(g, s);
      CH::TOrderingState state(g);
      if (landmarks) g.FindLandmarks();
      CReallocArray<TChNode*> ordered = g.OrderAll(state);
      ASSERT_EQ(g.CheckContracted(ordered.data, ordered.Size()), nullptr);  // ranks are a permutation
      g.LinkAllUpward();
      ASSERT_EQ(g.CheckUpwardLinks(), nullptr);
      ExpectQueriesMatch(g, s.nodes < 100 ? s.nodes : 25, s.nodes < 100 ? s.nodes : 40, s.seed, s.largeCosts);
    }
  }
}

// The witness searches' bound leaves out the nodes too far from the targets.
// Where the points bound every path's cost (a grid of costs 40-60 with its
// points 40 apart) it saves work and the shortcuts stay about the same;
// where they do not (points scattered at random), witnesses go unseen and
// shortcuts come in their place. Either way every route stays.
TEST(ChRandom, BoundPointsOnlyCostShortcuts) {
  const uint32_t width = 40, height = 30;
  uint64_t settled[4] = {}, shortcuts[4] = {};
  for (int variant = 0; variant < 4; variant++) {
    SCOPED_TRACE(variant);
    CTestGraph g(width * height);
    std::mt19937 rng(31);
    std::uniform_int_distribution<uint32_t> cost(40, 60);
    for (uint32_t i = 0; i < width * height; i++) {
      const uint32_t x = i % width, y = i / width;
      if (x + 1 < width) g.AddEdge(i, i + 1, cost(rng)), g.AddEdge(i + 1, i, cost(rng));
      if (y + 1 < height) g.AddEdge(i, i + width, cost(rng)), g.AddEdge(i + width, i, cost(rng));
    }
    std::vector<CH::TBoundPoint> points(width * height);
    std::uniform_real_distribution<float> anywhere(0.0f, 2000.0f);
    for (uint32_t i = 0; i < width * height; i++) {
      points[i] = variant != 2 ? CH::TBoundPoint{40.0f * (i % width), 40.0f * (i / width)}
                               : CH::TBoundPoint{anywhere(rng), anywhere(rng)};
    }
    if (variant) g.SetBoundPoints(points.data());
    CH::TOrderingState state(g);
    // Bounded searches have no edge limit, whatever the state asks (variant
    // 3 asks for the usual one): the search without points gets none
    // either, so that the bound alone makes the difference.
    state.witnessHopLimit = variant == 3 ? CH::kWitnessHopLimit : 0;
    CReallocArray<TChNode*> ordered = g.OrderAll(state);
    ASSERT_EQ(g.CheckContracted(ordered.data, ordered.Size()), nullptr);
    settled[variant] = state.counts.settledNodes;
    shortcuts[variant] = g.Shortcuts();
    g.LinkAllUpward();
    ExpectQueriesMatch(g, 25, 40, 31, false);
  }
  EXPECT_LT(settled[1] * 10, settled[0] * 8);
  EXPECT_LE(shortcuts[1] * 100, shortcuts[0] * 102);
  EXPECT_GE(shortcuts[1] * 100, shortcuts[0] * 98);
  EXPECT_GT(shortcuts[2] * 100, shortcuts[0] * 110);
  EXPECT_EQ(settled[3], settled[1]);
  EXPECT_EQ(shortcuts[3], shortcuts[1]);
}

// Any order is exact: the witness searches alone decide the shortcuts. The
// nodes contracted in a given order (reversed, shuffled, and the order an
// ordering gave, after the graph went back to its base edges) take their
// list positions as ranks, and every query still equals Dijkstra.
TEST(ChRandom, ContractInOrderKeepsEveryRoute) {
  const TRandomSpec specs[] = {
      {60, 3, 20, 21, false}, {300, 2, 100, 22, false, 20}, {300, 3, 50, 23, false, 0, 50},
      {200, 3, 0, 24, true},
  };
  for (const TRandomSpec& s : specs) {
    for (int how = 0; how < 3; how++) {
      SCOPED_TRACE(testing::Message() << "seed " << s.seed << " order " << how);
      CTestGraph g(s.nodes);
      BuildRandom(g, s);
      CReallocArray<TChNode*> list;
      for (TChNode& n : g.nodes) list.PushBack(&n);
      CH::TOrderingState state(g);
      uint64_t orderedShortcuts = 0;
      if (how == 0) {
        std::reverse(list.begin(), list.end());
      } else if (how == 1) {
        std::mt19937 rng(s.seed);
        std::shuffle(list.begin(), list.end(), rng);
      } else {
        CTestGraph first(s.nodes);
        BuildRandom(first, s);
        first.OrderAll(state);
        orderedShortcuts = first.Shortcuts();
        std::sort(list.begin(), list.end(), [&](const TChNode* a, const TChNode* b) {
          return first.nodes[a->id].rank < first.nodes[b->id].rank;
        });
      }
      g.ContractInOrder(state, list, nullptr);
      EXPECT_EQ(state.counts.simulations, 0u);
      for (size_t i = 0; i < list.Size(); i++) ASSERT_EQ(list[i]->rank, static_cast<int32_t>(i));
      ASSERT_EQ(g.CheckContracted(list.data, list.Size()), nullptr);
      // The order an ordering gave is about as good again. Not the same:
      // a later in-entry's searches may find witnesses over the shortcuts
      // made for earlier ones, and what follows differs.
      if (how == 2) {
        EXPECT_LE(g.Shortcuts() * 100, orderedShortcuts * 115);
      }
      g.LinkAllUpward();
      ASSERT_EQ(g.CheckUpwardLinks(), nullptr);
      ExpectQueriesMatch(g, 20, 40, s.seed, s.largeCosts);
    }
  }
}

namespace {
CH::TOrderingState* g_WrapState;
bool WrapStampOnce(const TChNode* a, const TChNode* b) {
  if (g_WrapState) {
    g_WrapState->stamp.value = CH::kStampMask - 2;  // the counter wraps a few searches later
    g_WrapState = nullptr;
  }
  return a->id < b->id;
}
}  // namespace

// Plain, with frequent rebuilds, with the stamp wrapping midway, with
// neighbours updated only after contractions of at most 3 neighbours, and
// after every contraction.
TEST(ChRandom, GridUpwardSearchEqualsDijkstra) {
  uint64_t updates[6] = {}, shortcuts[6] = {};
  for (int variant = 0; variant < 6; variant++) {
    SCOPED_TRACE(variant);
    CTestGraph g(40 * 30);
    AddGrid(g, 40, 30, 50, 11);
    CH::TOrderingState state(g);
    if (variant == 1) {
      state.rebuildAfterChanges = 3;
      state.rebuildShare = 0;
    }
    if (variant == 3) state.neighbourUpdateLimit = 3;
    if (variant == 4) state.neighbourUpdateLimit = 0;
    if (variant == 5) state.incrementalUpdates = false;
    g_WrapState = variant == 2 ? &state : nullptr;
    CReallocArray<TChNode*> list, ordered;
    for (TChNode& n : g.nodes) list.PushBack(&n);
    ordered.Assign(list.data, list.Size());
    g.OrderNodes(state, list, WrapStampOnce, nullptr);
    EXPECT_EQ(state.counts.rebuilds > 0, variant == 1);
    EXPECT_EQ(g_WrapState, nullptr);
    updates[variant] = state.counts.simulations;
    shortcuts[variant] = g.Shortcuts();
    ASSERT_EQ(g.CheckContracted(ordered.data, ordered.Size()), nullptr);
    g.LinkAllUpward();
    ExpectQueriesMatch(g, 20, 50, 12, false);
  }
  EXPECT_LT(updates[3], updates[0]);
  EXPECT_LE(updates[0], updates[4]);
  // Priorities updated from the notes order about as well as simulations afresh.
  EXPECT_LT(shortcuts[0], shortcuts[5] * 105 / 100);
  EXPECT_GT(shortcuts[0], shortcuts[5] * 95 / 100);
}

// After a contraction a neighbour's notes list pairs of its own entries
// only, and the pairs of the entries it gained are those a simulation
// afresh finds without a witness (plain graphs, searches without bounds:
// the same searches, on fewer targets for an entry it kept). The pairs of
// the entries it kept stand as noted; the top-of-heap check catches those
// that changed. Guessing, a gained entry's pair whose forerunner (the pair
// with the entry to or from the contracted node) had a witness is taken as
// witnessed: a guess that errs lowers a priority, which the check at the
// top of the heap raises again, and it never notes a pair that has a
// witness.
TEST(ChOrder, NeighbourNotesFollowTheirEntries) {
  for (uint32_t seed : {41u, 42u, 43u, 44u, 45u, 46u}) {
    SCOPED_TRACE(seed);
    const bool guess = seed > 43;
    CTestGraph g(400);
    BuildRandom(g, {400, 3, 40, seed, false, 10, 0, false});
    CH::TOrderingState state(g);
    state.witnessHopLimit = 0;
    state.witnessSettledLimit = 0;
    state.guessFreshPairs = guess;
    state.stamp.Reset(g);
    for (TChNode& n : g.nodes) g.SimulateAndNote(state, &n);
    std::vector<bool> contracted(400, false);
    size_t freshPairs = 0, freshAgree = 0, keptPairs = 0, keptAgree = 0;
    std::mt19937 rng(seed);
    for (int k = 0; k < 150; k++) {
      uint32_t v = rng() % 400;
      while (contracted[v]) v = (v + 1) % 400;
      contracted[v] = true;
      g.PerformContraction(state, g.Node(v));
      std::set<uint32_t> seen;
      for (TChNode* n : state.neighbours) {
        if (contracted[g.Index(n)] || !seen.insert(g.Index(n)).second) continue;
        const uint32_t notedUpTo = state.notes[n->id].serial;
        g.UpdatePriority(state, n);
        const CH::TNodeNotes& notes = state.notes[n->id];
        if (!notes.valid) continue;
        std::set<uint32_t> ins, outs, made;
        for (const CH::TChAdjEntry& e : n->in) ins.insert(e.serial);
        for (const CH::TChAdjEntry& e : n->out) outs.insert(e.serial);
        for (uint32_t x : ins) {
          if (x >= notedUpTo) made.insert(x);
        }
        for (uint32_t x : outs) {
          if (x >= notedUpTo) made.insert(x);
        }
        using TPair = std::pair<uint32_t, uint32_t>;
        std::set<TPair> noted, fresh;
        for (const CH::TNeededPair& p : notes.pairs) {
          ASSERT_TRUE(ins.count(p.in) && outs.count(p.out)) << "a noted pair of an entry that went";
          noted.insert({p.in, p.out});
        }
        CReallocArray<CH::TNeededPair> now;
        int64_t d, h;
        g.ContractNode(state, n, false, &d, &h, nullptr, &now);
        for (const CH::TNeededPair& p : now) fresh.insert({p.in, p.out});
        for (uint32_t in : ins) {
          for (uint32_t out : outs) {
            const TPair p{in, out};
            if (made.count(in) || made.count(out)) {
              freshPairs++;
              freshAgree += noted.count(p) == fresh.count(p);
              if (!guess) {
                EXPECT_EQ(noted.count(p), fresh.count(p)) << "pair " << in << " -> " << out;
              }
              EXPECT_LE(noted.count(p), fresh.count(p)) << "pair " << in << " -> " << out;
            } else {
              keptPairs++;
              keptAgree += noted.count(p) == fresh.count(p);
            }
          }
        }
      }
    }
    EXPECT_GT(freshPairs, 100u);
    EXPECT_GT(freshAgree, freshPairs * 95 / 100);
    EXPECT_GT(keptAgree, keptPairs * 95 / 100);
  }
}

TEST(ChRandom, SameInputSameHierarchy) {
  auto build = [](std::vector<int32_t>* ranks, std::vector<TShortcut>* shortcuts) {
    CTestGraph g(500);
    BuildRandom(g, {500, 3, 50, 21, false, 12});
    CH::TOrderingState state(g);
    g.OrderAll(state);
    *ranks = Ranks(g);
    *shortcuts = Shortcuts(g);
  };
  std::vector<int32_t> r1, r2;
  std::vector<TShortcut> s1, s2;
  build(&r1, &s1);
  build(&r2, &s2);
  EXPECT_EQ(r1, r2);
  EXPECT_EQ(s1, s2);
  EXPECT_FALSE(s1.empty());
}

// A witness search ends once no label it could still set decides a pair
// (every pair witnessed, or every key left beyond each open pair's length
// less the cheapest edge into its target): on plain graphs, without bounds
// on hops and settled nodes, the hierarchy is the one of searches that run
// on. Self-loops and parallel edges are among them: a self-loop leaves the
// out-list of the node contracted as its in-entry goes. (Elsewhere a search that labels fewer
// nodes may find other witnesses: an area node's state joins every path
// that labelled it, a settled node is not expanded again for a better
// label A, and the hop bound counts the edges of whichever equal path
// settled a node first. The routes are kept either way, as the tests
// against Dijkstra show.)
namespace {

struct TOrdering {
  CH::TContractionCounts counts;
  std::vector<int32_t> ranks;
  std::vector<TShortcut> shortcuts;
};

// Orders a random graph with witness searches bounded by nothing but their
// pairs, after setUp(graph, state).
template <class F>
TOrdering OrderRandom(const TRandomSpec& s, F setUp) {
  CTestGraph g(s.nodes);
  BuildRandom(g, s);
  CH::TOrderingState state(g);
  state.witnessSettledLimit = 0;
  state.witnessHopLimit = 0;
  setUp(g, state);
  g.OrderAll(state);
  return TOrdering{state.counts, Ranks(g), Shortcuts(g)};
}

}  // namespace

TEST(ChRandom, EarlyEndOfWitnessSearchesChangesNoPair) {
  const TRandomSpec specs[] = {
      {300, 3, 50, 31, false, 12, 0, false}, {600, 2, 1000, 32, false, 20, 0, false},
      {1000, 3, 100, 33, false, 15, 0, false}, {400, 4, 3, 34, false, 0, 0, false},
      {200, 3, 0, 35, true, 0, 0, false},
  };
  for (const TRandomSpec& s : specs) {
    SCOPED_TRACE(testing::Message() << "seed " << s.seed);
    const TOrdering early = OrderRandom(s, [](CTestGraph&, CH::TOrderingState&) {});
    const TOrdering full =
        OrderRandom(s, [](CTestGraph&, CH::TOrderingState& state) { state.witnessEarlyEnd = false; });
    EXPECT_EQ(early.ranks, full.ranks);
    EXPECT_EQ(early.shortcuts, full.shortcuts);
    EXPECT_EQ(early.counts.witnessSearches, full.counts.witnessSearches);
    EXPECT_LT(early.counts.settledNodes, full.counts.settledNodes);
  }
}

// Landmarks bound the witness searches from below: a node that cannot lead
// to a witness is not expanded. Without the bounds on path edges and
// settled nodes, the searches then find every witness they found before:
// the same hierarchy, fewer nodes settled, with area nodes too. (Not with
// restricted edges: a node settled by a restricted path passes on no
// unrestricted label that comes later, so which witnesses a search finds
// there depends on the order it settles nodes of equal keys in.)
TEST(ChRandom, LandmarksChangeNoPair) {
  const TRandomSpec specs[] = {
      {300, 3, 50, 51, false, 12, 0, false}, {600, 2, 1000, 52, false, 20, 30, false},
      {1000, 3, 100, 53, false, 15, 45, false}, {400, 4, 3, 54, false, 0, 0, false},
  };
  for (const TRandomSpec& s : specs) {
    SCOPED_TRACE(testing::Message() << "seed " << s.seed);
    const TOrdering with = OrderRandom(s, [](CTestGraph& g, CH::TOrderingState&) { g.FindLandmarks(); });
    const TOrdering without = OrderRandom(s, [](CTestGraph&, CH::TOrderingState&) {});
    EXPECT_EQ(with.ranks, without.ranks);
    EXPECT_EQ(with.shortcuts, without.shortcuts);
    EXPECT_LT(with.counts.settledNodes, without.counts.settledNodes);
  }
}

// Each node's landmark distances are those of a full search over the
// linked edges. Each landmark is the node farthest from those before it (on
// equal distances the lower id); nodes they do not reach are not taken.
TEST(ChLandmarks, FarthestFirstWithTheirDistances) {
  // 0 -> 1 -> 2 -> 3 -> 4 at cost 1, the way back at cost 2; 5 alone;
  // 6 -> 7 apart.
  CTestGraph g(8);
  for (uint32_t i = 0; i < 4; i++) {
    g.AddEdge(i, i + 1, 1);
    g.AddEdge(i + 1, i, 2);
  }
  g.AddEdge(6, 7, 1);
  g.FindLandmarks();
  ASSERT_TRUE(g.landmarkBounds);
  // From node 0 the farthest is 4; from 4 it is 0; from both, 2 and 3 lie
  // 2 from the nearest: 2; then 1 and 3, both 1 from the nearest: 1.
  const uint32_t expected[CH::kLandmarks] = {4, 0, 2, 1};
  static_assert(CH::kLandmarks == 4);
  for (uint32_t l = 0; l < CH::kLandmarks; l++) {
    SCOPED_TRACE(l);
    const uint32_t mark = expected[l];
    for (uint32_t i = 0; i < 8; i++) {
      uint32_t from = CH::kUnreached, to = CH::kUnreached;
      if (i < 5) {
        // Along the path forward at 1 per edge, backward at 2.
        from = i >= mark ? i - mark : 2 * (mark - i);
        to = mark >= i ? mark - i : 2 * (i - mark);
      }
      EXPECT_EQ(g.nodes[i].landmarks.from[l], from) << i;
      EXPECT_EQ(g.nodes[i].landmarks.to[l], to) << i;
    }
  }
}

// ---- path search and core selection ----

TEST(ChPathSearch, DistancesSaturateInsteadOfWrapping) {
  CTestGraph g(4);
  for (uint32_t i = 0; i < 3; i++) g.AddEdge(i, i + 1, CH::kCostMask);
  CH::TOrderingState state(g);
  CBlockPool<CH::TPathLabel> pool(16);
  CH::CPathLabelMap forward(pool), backward(pool);
  g.PathSearch(state, g.Node(0), false, forward);
  ASSERT_EQ(forward.Size(), 4u);
  EXPECT_EQ(forward.Find(g.Node(2))->Distance(), 2 * CH::kCostMask);
  EXPECT_EQ(forward.Find(g.Node(3))->Distance(), CH::kMaxPathDistance);
  EXPECT_EQ(forward.Find(g.Node(3))->parent->node, g.Node(2));
  g.PathSearch(state, g.Node(3), true, backward);
  EXPECT_EQ(backward.Find(g.Node(0))->Distance(), CH::kMaxPathDistance);
  EXPECT_EQ(backward.Find(g.Node(3))->parent, nullptr);
}

namespace {

// Ranks set by hand, edges linked upward, then the selection.
std::vector<uint32_t> SelectWithRanks(CTestGraph& g, const std::vector<int32_t>& ranks,
                                      std::initializer_list<uint32_t> entries, std::initializer_list<uint32_t> exits) {
  for (size_t i = 0; i < ranks.size(); i++) g.nodes[i].rank = ranks[i];
  g.LinkAllUpward();
  CH::TOrderingState state(g);
  CReallocArray<TChNode*> e = List(g, entries), x = List(g, exits), core;
  g.SelectCoreNodes(state, e, x, core, nullptr);
  return Ids(g, core);
}

}  // namespace

TEST(ChCore, SplitAndJoinNodesAreCore) {
  // 0 and 4 enter, 3 and 5 leave; 0 -> 1, 4 -> 1, 1 -> 6 -> 2, 2 -> 3, 2 -> 5.
  // Routes join at 1 and split at 2; 6 lies on every route with one way in and out.
  CTestGraph g(7);
  AddEdges(g, {{0, 1, 1}, {4, 1, 1}, {1, 6, 1}, {6, 2, 1}, {2, 3, 1}, {2, 5, 1}});
  EXPECT_EQ(SelectWithRanks(g, {0, 4, 6, 2, 1, 3, 5}, {0, 4}, {3, 5}), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
}

TEST(ChCore, SinglePathKeepsOnlyItsEnds) {
  CTestGraph g(4);
  for (uint32_t i = 0; i < 3; i++) g.AddEdge(i, i + 1, 2);
  EXPECT_EQ(SelectWithRanks(g, {0, 3, 2, 1}, {0}, {3}), (std::vector<uint32_t>{0, 3}));
}

TEST(ChCore, EntryThatIsTheOnlyExit) {
  CTestGraph g(3);
  AddTwoWay(g, 0, 1, 1);
  AddTwoWay(g, 1, 2, 1);
  EXPECT_EQ(SelectWithRanks(g, {0, 1, 2}, {1}, {1}), (std::vector<uint32_t>{1}));
}

TEST(ChCore, MeetingNodeTakesTheShortestSum) {
  // 0 -> 3 over 1 (cost 2) or over 2 (cost 4): only node 1 carries the route.
  CTestGraph g(4);
  AddEdges(g, {{0, 1, 1}, {1, 3, 1}, {0, 2, 2}, {2, 3, 2}});
  std::vector<uint32_t> core = SelectWithRanks(g, {0, 2, 3, 1}, {0}, {3});
  EXPECT_EQ(core, (std::vector<uint32_t>{0, 3}));
  // Node 1 is on the route; a second entry 2 joining there makes it core.
  CTestGraph h(4);
  AddEdges(h, {{0, 1, 1}, {1, 3, 1}, {2, 1, 1}});
  EXPECT_EQ(SelectWithRanks(h, {0, 2, 1, 3}, {0, 2}, {3}), (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST(ChCore, StopLeavesTheListAsItWas) {
  CTestGraph g(3);
  AddTwoWay(g, 0, 1, 1);
  AddTwoWay(g, 1, 2, 1);
  g.LinkAllUpward();
  CH::TOrderingState state(g);
  CReallocArray<TChNode*> e = List(g, {0}), x = List(g, {2}), core = List(g, {1, 1});
  bool stop = true;
  g.SelectCoreNodes(state, e, x, core, &stop);
  EXPECT_EQ(Ids(g, core), (std::vector<uint32_t>{1, 1}));
}

namespace {

// The selection as defined, pair by pair: for every entry and every other
// exit, the meeting node of their path searches (smallest sum, first in node
// order), the path edges of both label chains, and the nodes that end a
// route or where the chosen paths split or join.
std::vector<uint32_t> CoreByPairs(CTestGraph& g, const CReallocArray<TChNode*>& entries,
                                  const CReallocArray<TChNode*>& exits) {
  CH::TOrderingState state(g);
  CBlockPool<CH::TPathLabel> pool(64);
  std::vector<std::unique_ptr<CH::CPathLabelMap>> backward;
  for (TChNode* k : exits) {
    backward.push_back(std::make_unique<CH::CPathLabelMap>(pool));
    g.PathSearch(state, k, true, *backward.back());
  }
  std::set<std::pair<uint32_t, uint32_t>> pathEdges;
  std::set<uint32_t> terminals;
  for (TChNode* k : exits) terminals.insert(g.Index(k));
  CH::CPathLabelMap forward(pool);
  for (TChNode* j : entries) {
    terminals.insert(g.Index(j));
    g.PathSearch(state, j, false, forward);
    for (size_t k = 0; k < exits.Size(); k++) {
      if (exits[k] == j) continue;
      const CH::TPathLabel *fm = nullptr, *bm = nullptr;
      uint64_t best = 0;
      for (uint32_t id = 0; id < g.nodes.Size(); id++) {
        const CH::TPathLabel* f = forward.Find(g.Node(id));
        const CH::TPathLabel* b = backward[k]->Find(g.Node(id));
        if (!f || !b) continue;
        uint64_t sum = uint64_t{f->Distance()} + b->Distance();
        if (!fm || sum < best) fm = f, bm = b, best = sum;
      }
      if (!fm) continue;
      for (const CH::TPathLabel* l = fm; l->parent; l = l->parent) pathEdges.insert({g.Index(l->parent->node), g.Index(l->node)});
      for (const CH::TPathLabel* l = bm; l->parent; l = l->parent) pathEdges.insert({g.Index(l->node), g.Index(l->parent->node)});
    }
  }
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> counts;  // node -> (out, in)
  for (const auto& [from, to] : pathEdges) {
    counts[from].first++;
    counts[to].second++;
  }
  std::vector<uint32_t> core;
  for (uint32_t id = 0; id < g.nodes.Size(); id++) {
    auto c = counts.find(id);
    bool branch = c != counts.end() && (c->second.first > 1 || c->second.second > 1);
    if (terminals.count(id) || branch) core.push_back(id);
  }
  return core;
}

}  // namespace

// Many entries and exits, some shared, on contracted random graphs with ties
// in the costs and area nodes: the selection equals the definition.
TEST(ChCore, SelectionEqualsThePairByPairDefinition) {
  for (uint32_t seed : {41u, 42u, 43u, 44u}) {
    CTestGraph g(300);
    BuildRandom(g, {300, 3, seed % 2 ? 4u : 60u, seed, false, 12, seed >= 43 ? 30u : 0u});
    CH::TOrderingState state(g);
    g.OrderAll(state);
    g.LinkAllUpward();
    std::mt19937 rng(seed);
    CReallocArray<TChNode*> entries, exits, core;
    for (int i = 0; i < 40; i++) entries.PushBack(g.Node(rng() % 300));
    for (int i = 0; i < 40; i++) exits.PushBack(i % 5 == 0 ? entries[static_cast<size_t>(i)] : g.Node(rng() % 300));
    g.SelectCoreNodes(state, entries, exits, core, nullptr);
    std::vector<uint32_t> expected = CoreByPairs(g, entries, exits);
    EXPECT_EQ(Ids(g, core), expected) << "seed " << seed;
    EXPECT_GT(expected.size(), 80u) << "seed " << seed;  // branch nodes besides the ends
    // The selection passes over stalled labels: the cases must have some.
    size_t stalled = 0;
    CBlockPool<CH::TPathLabel> pool(64);
    CH::CPathLabelMap labels(pool);
    for (TChNode* j : entries) {
      g.PathSearch(state, j, false, labels);
      for (const CH::TPathLabel* l : labels.labels) stalled += l->stalled;
    }
    EXPECT_GT(stalled, 0u) << "seed " << seed;
  }
}

// Path searches that go on from no node stalled outside the areas: without
// area nodes, and with costs too spread for two paths to tie, they choose
// the very core of searches that go on from every node, with fewer labels.
// (With area nodes the core may differ; the second contraction around it
// keeps every distance, as the test below checks with the skip on.)
TEST(ChCore, StalledNodesLeftBehindKeepTheCore) {
  for (uint32_t seed : {51u, 52u}) {
    CTestGraph g(400);
    BuildRandom(g, {400, 3, 1000000, seed, false, 12, 0});
    CH::TOrderingState state(g);
    g.OrderAll(state);
    g.LinkAllUpward();
    std::mt19937 rng(seed);
    CReallocArray<TChNode*> entries, exits, skipped, full;
    for (int i = 0; i < 40; i++) entries.PushBack(g.Node(rng() % 400));
    for (int i = 0; i < 40; i++) exits.PushBack(g.Node(rng() % 400));
    g.SelectCoreNodes(state, entries, exits, skipped, nullptr);
    state.skipStalledPaths = false;
    g.SelectCoreNodes(state, entries, exits, full, nullptr);
    EXPECT_EQ(Ids(g, skipped), Ids(g, full)) << "seed " << seed;
    EXPECT_GT(full.Size(), 120u) << "seed " << seed;  // branch nodes besides the ends

    size_t labelsFull = 0, labelsSkipped = 0;
    CBlockPool<CH::TPathLabel> pool(64);
    CH::CPathLabelMap labels(pool);
    for (TChNode* j : entries) {
      g.PathSearch(state, j, false, labels);
      labelsFull += labels.labels.Size();
    }
    state.skipStalledPaths = true;
    for (TChNode* j : entries) {
      g.PathSearch(state, j, false, labels);
      labelsSkipped += labels.labels.Size();
    }
    EXPECT_LT(labelsSkipped * 10, labelsFull * 9) << "seed " << seed;
  }
}

// The two-pass build of the per-map and atlas graphs: contract all, select
// the core between entries and exits, contract again around the core (the
// second seed with area nodes).
TEST(ChCore, SecondContractionAroundTheCoreKeepsDistances) {
  for (uint32_t seed : {31u, 32u}) {
    CTestGraph g(600);
    BuildRandom(g, {600, 3, 60, seed, false, 15, seed == 32 ? 40u : 0u});
    CH::TOrderingState state(g);
    g.OrderAll(state);
    g.LinkAllUpward();
    std::mt19937 rng(seed);
    CReallocArray<TChNode*> entries, exits, core;
    for (int i = 0; i < 12; i++) entries.PushBack(g.Node(rng() % 600));
    for (int i = 0; i < 12; i++) exits.PushBack(g.Node(rng() % 600));
    g.SelectCoreNodes(state, entries, exits, core, nullptr);
    std::set<uint32_t> coreIds;
    for (TChNode* n : core) coreIds.insert(g.Index(n));
    for (TChNode* n : entries) EXPECT_TRUE(coreIds.count(g.Index(n)));
    for (TChNode* n : exits) EXPECT_TRUE(coreIds.count(g.Index(n)));
    EXPECT_TRUE(std::is_sorted(core.begin(), core.end(), CH::CompareNodeIds));

    g.Reset();
    for (TChNode* n : core) n->rank = CH::kCoreRank;
    CReallocArray<TChNode*> rest = g.OrderAll(state);
    EXPECT_EQ(rest.Size(), 600 - core.Size());
    EXPECT_EQ(g.CheckContracted(rest.data, rest.Size()), nullptr);
    for (TChNode* n : core) EXPECT_EQ(n->rank, CH::kCoreRank);
    g.LinkAllUpward();
    EXPECT_EQ(g.CheckUpwardLinks(), nullptr);
    ExpectQueriesMatch(g, 20, 30, seed, false);
  }
}
