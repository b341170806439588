// Helpers of the per-map CH graph tests: the reference router over the
// road graph's arrays (the oracle), a bidirectional upward query over a
// built graph, and structural checks.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <queue>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "routing/geomapgraph.h"
#include "tests/routing/refroute.h"

namespace GeoMapTest {

using RefRoute::kNoPath;
using RefRoute::TLinkKey;

// The reference network of a road graph, from its arrays only.
inline RefRoute::TNetwork NetworkOf(const TRoadGraph& roads) {
  RefRoute::TNetwork net;
  for (const TGraphRoad& r : roads.Roads) {
    net.roads.push_back({r.RoadId, r.Speed(), r.OneWay(), (r.Word & kRoadType0A) != 0, (r.Word & kRoadExt) != 0});
  }
  for (const TRoadLink& l : roads.Links) net.links.push_back({l.From, l.To, l.RoadId, l.Metres()});
  for (const TRestrictionKey& k : roads.RestrictionKeys) {
    net.restrictions.push_back({k.FromNode, k.ViaNode, k.ToNode, k.FromRoad, k.ToRoad});
  }
  for (const TRestrictionChain& c : roads.RestrictionChains) {
    net.chains.push_back({std::vector<uint32_t>(c.Nodes.begin(), c.Nodes.end()),
                          std::vector<uint32_t>(c.Roads.begin(), c.Roads.end())});
  }
  return net;
}

// The reference over a road graph's network.
class COracle : public RefRoute::CReference {
 public:
  COracle(const TRoadGraph& roads, uint32_t metric) : CReference(NetworkOf(roads), metric) {}
  using CReference::From;
  std::vector<uint64_t> From(const TLinkKey& source, bool avoid) const { return From(Index(source), avoid); }
};

inline TLinkKey KeyOf(const CH::TGeoMapNode& n) { return {n.StartNode(), n.EndNode(), n.RoadId()}; }

// Shortest paths in the contracted graph: every edge of the edge array
// linked at its lower-ranked end, then a forward search up from the source
// and a backward search up from the target. Replaces the adjacency lists.
class CChQuery {
 public:
  explicit CChQuery(CH::CGeoMapGraph& graph) : g(graph) {
    g.ClearAdjacency();
    for (size_t i = 0; i < g.edges.Size(); i++) g.LinkUpwardEdge(g.edges[i], static_cast<uint32_t>(i));
  }

  uint64_t Distance(const CH::TChNode* s, const CH::TChNode* t, bool avoid) {
    if (s == t) return 0;
    std::vector<uint64_t> f = Search(s, false, avoid), b = Search(t, true, avoid);
    uint64_t best = kNoPath;
    for (size_t i = 0; i < f.size(); i++) {
      if (f[i] != kNoPath && b[i] != kNoPath) best = std::min(best, f[i] + b[i]);
    }
    return best;
  }

 private:
  std::vector<uint64_t> Search(const CH::TChNode* source, bool back, bool avoid) {
    std::vector<uint64_t> dist(g.nodes.Size(), kNoPath);
    using TItem = std::pair<uint64_t, size_t>;
    std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> queue;
    dist[g.Index(source)] = 0;
    queue.push({0, g.Index(source)});
    while (!queue.empty()) {
      auto [d, x] = queue.top();
      queue.pop();
      if (d != dist[x]) continue;
      const CH::TChNode& n = g.nodes[x];
      for (const CH::TChAdjEntry* e = back ? n.inHead : n.outHead; e; e = e->next) {
        if (avoid && (e->word & CH::kEdgeRestricted)) continue;
        size_t y = g.Index(e->other);
        uint64_t nd = d + CH::EdgeCost(e->word);
        if (nd < dist[y]) {
          dist[y] = nd;
          queue.push({nd, y});
        }
      }
    }
    return dist;
  }

  CH::CGeoMapGraph& g;
};

// What a finished build promises: nodes in node order, ranks 0..n-1 for the
// contracted nodes, kCoreRank or -1 for the others; contracted and removed
// nodes without edges; every shortcut and bypass the sum of an edge into its
// via node and one out of it; the turn edges first.
inline void CheckBuilt(const CH::CGeoMapGraph& g) {
  for (size_t i = 1; i < g.nodes.Size(); i++)
    ASSERT_TRUE(CH::CompareNodesByStartNode(&g.nodes[i - 1], &g.nodes[i])) << i;
  std::vector<int32_t> ranks;
  for (const CH::TGeoMapNode& n : g.nodes) {
    ASSERT_EQ(n.heapEntry, nullptr);
    if (n.rank != CH::kCoreRank) {
      ASSERT_TRUE(n.inHead == nullptr && n.outHead == nullptr);
    }
    if (n.rank >= 0 && n.rank != CH::kCoreRank) ranks.push_back(n.rank);
    ASSERT_GE(n.rank, -1);
  }
  std::sort(ranks.begin(), ranks.end());
  for (size_t i = 0; i < ranks.size(); i++) ASSERT_EQ(ranks[i], static_cast<int32_t>(i));
  for (size_t i = 0; i < g.edges.Size(); i++) {
    const CH::TChEdge& e = g.edges[i];
    ASSERT_EQ(e.via == nullptr, i < g.TurnEdgeCount()) << i;
    if (!e.via) {
      ASSERT_EQ(e.halves.first, CH::kNoEdge) << i;
      ASSERT_EQ(e.halves.second, CH::kNoEdge) << i;
      continue;
    }
    // The recorded halves: from -> via, then via -> to, made earlier, and
    // together the shortcut's cost and flags.
    ASSERT_LT(e.halves.first, i) << i;
    ASSERT_LT(e.halves.second, i) << i;
    const CH::TChEdge& a = g.edges[e.halves.first];
    const CH::TChEdge& b = g.edges[e.halves.second];
    ASSERT_TRUE(a.from == e.from && a.to == e.via && b.from == e.via && b.to == e.to) << "edge " << i;
    ASSERT_EQ(CH::EdgeCost(e.word), std::min<uint32_t>(CH::EdgeCost(a.word) + CH::EdgeCost(b.word), CH::kCostMask))
        << "edge " << i;
    ASSERT_EQ((e.word & CH::kEdgeRestricted) != 0, ((a.word | b.word) & CH::kEdgeRestricted) != 0) << "edge " << i;
  }
}

}  // namespace GeoMapTest
