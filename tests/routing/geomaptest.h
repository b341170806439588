// Helpers of the per-map CH graph tests: a plain edge-based Dijkstra over
// the road graph with the turn rules written out again (the oracle), a
// bidirectional upward query over a built graph, and structural checks.
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

namespace GeoMapTest {

constexpr uint64_t kNoPath = UINT64_MAX;
using TLinkKey = std::tuple<uint32_t, uint32_t, uint32_t>;  // start, end, road

// Every path from a link to another, where a path may not turn where a key
// forbids it nor run through the whole link sequence of a chain. The
// distance of a path is the sum of the costs of its links but the last.
class COracle {
 public:
  COracle(const TRoadGraph& roads, uint32_t metric) {
    std::map<uint32_t, TGraphRoad> byId;
    for (const TGraphRoad& r : roads.Roads) byId[r.RoadId] = r;
    for (const TRoadLink& l : roads.Links) {
      const TGraphRoad& r = byId.at(l.RoadId);
      uint64_t metres = l.Length & 0x7fffffff;
      uint64_t cost = metric == 0 ? metres : metres * 576 / (10 * r.Speed());
      cost = std::clamp<uint64_t>(cost, 1, 0x3fffffff);
      bool slow = (r.Word & (1u << 25)) != 0;
      Add({l.From, l.To, l.RoadId}, cost, slow);
      if (!(r.Word & (1u << 24))) Add({l.To, l.From, l.RoadId}, cost, slow);
    }
    std::set<std::vector<uint32_t>> keys;
    for (const TRestrictionKey& k : roads.RestrictionKeys)
      keys.insert({k.FromNode, k.ViaNode, k.ToNode, k.FromRoad, k.ToRoad});
    std::multimap<uint32_t, uint32_t> byStart;
    for (uint32_t k = 0; k < links.size(); k++) byStart.insert({std::get<0>(links[k]), k});
    out.resize(links.size());
    for (uint32_t j = 0; j < links.size(); j++) {
      auto [s, e, r] = links[j];
      for (auto [it, end] = byStart.equal_range(e); it != end; ++it) {
        auto [s2, e2, r2] = links[it->second];
        if (!keys.count({s, e, e2, r, r2})) out[j].push_back(it->second);
      }
    }
    for (const TRestrictionChain& c : roads.RestrictionChains) {
      std::vector<uint32_t> seq;
      for (size_t i = 0; i < c.Roads.Size(); i++) {
        auto it = index.find({c.Nodes[i], c.Nodes[i + 1], c.Roads[i]});
        if (it == index.end()) break;
        seq.push_back(it->second);
      }
      if (seq.size() == c.Roads.Size()) chains.push_back(seq);
    }
  }

  // Distances from one link to every link; `avoid` leaves the links of
  // roads of type 0x0a only as the last link of a path.
  std::vector<uint64_t> From(const TLinkKey& source, bool avoid) const {
    // State: the link and the chains matched so far as (chain, length).
    using TState = std::pair<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>>;
    std::map<TState, uint64_t> dist;
    using TItem = std::pair<uint64_t, TState>;
    std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> queue;
    uint32_t s = index.at(source);
    TState start{s, Advance({}, s)};
    dist[start] = 0;
    queue.push({0, start});
    std::vector<uint64_t> best(links.size(), kNoPath);
    while (!queue.empty()) {
      auto [d, st] = queue.top();
      queue.pop();
      if (dist[st] != d) continue;
      best[st.first] = std::min(best[st.first], d);
      if (avoid && slow[st.first]) continue;
      for (uint32_t k : out[st.first]) {
        bool forbidden = false;
        auto next = Advance(st.second, k, &forbidden);
        if (forbidden) continue;
        TState ns{k, next};
        uint64_t nd = d + cost[st.first];
        auto it = dist.find(ns);
        if (it == dist.end() || nd < it->second) {
          dist[ns] = nd;
          queue.push({nd, ns});
        }
      }
    }
    return best;
  }
  uint32_t Index(const TLinkKey& k) const { return index.at(k); }
  size_t Size() const { return links.size(); }
  const TLinkKey& Link(uint32_t i) const { return links[i]; }

 private:
  void Add(const TLinkKey& key, uint64_t c, bool isSlow) {
    index[key] = static_cast<uint32_t>(links.size());
    links.push_back(key);
    cost.push_back(c);
    slow.push_back(isSlow);
  }
  std::vector<std::pair<uint32_t, uint32_t>> Advance(const std::vector<std::pair<uint32_t, uint32_t>>& active,
                                                     uint32_t link, bool* forbidden = nullptr) const {
    std::vector<std::pair<uint32_t, uint32_t>> next;
    auto step = [&](uint32_t chain, uint32_t matched) {
      if (chains[chain][matched] != link) return;
      if (matched + 1 == chains[chain].size()) {
        if (forbidden) *forbidden = true;
      } else {
        next.push_back({chain, matched + 1});
      }
    };
    for (auto [c, m] : active) step(c, m);
    for (uint32_t c = 0; c < chains.size(); c++) step(c, 0);
    std::sort(next.begin(), next.end());
    next.erase(std::unique(next.begin(), next.end()), next.end());
    return next;
  }

  std::vector<TLinkKey> links;
  std::vector<uint64_t> cost;
  std::vector<bool> slow;
  std::map<TLinkKey, uint32_t> index;
  std::vector<std::vector<uint32_t>> out;
  std::vector<std::vector<uint32_t>> chains;
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
