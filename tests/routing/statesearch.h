// Dijkstra with a label per area state over the adjacency lists of a
// contraction-hierarchy graph, for the route checks of the core and of the
// per-map graph.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "routing/chcore.h"

namespace ChTest {

constexpr uint64_t kInfinite = UINT64_MAX;

// The area rule, with state = the path has left a node outside the area or
// used a bit-30 edge: in that state it may not leave an area node by a
// bit-30 edge or towards a node outside the area.
inline bool StepAllowed(const CH::TChNode& x, bool state, uint32_t word, const CH::TChNode& y) {
  return !(x.IsArea() && state && ((word & CH::kEdgeLeavesArea) || !y.IsArea()));
}
inline bool StateAfter(const CH::TChNode& x, bool state, uint32_t word) {
  return state || !x.IsArea() || (word & CH::kEdgeLeavesArea) != 0;
}

// Forward over out-lists from the source in state 0, or backward over
// in-lists from the target, where a label (x, s) is the cost from x in
// state s to the target. Bit-31 edges are skipped when restricted. TGraph
// has `nodes` and Index(node).
template <class TGraph>
class CStateSearch {
 public:
  struct TLabel {
    uint32_t node;
    uint8_t state;
    uint64_t dist;
  };

  explicit CStateSearch(const TGraph& graph) : g(graph), dist(2 * graph.nodes.Size(), kInfinite) {}

  // The settled labels; At() gives them until the next search.
  const std::vector<TLabel>& Run(const CH::TChNode* source, bool back, bool restricted) {
    for (uint32_t i : touched) dist[i] = kInfinite;
    settled.clear();
    touched.clear();
    using TItem = std::pair<uint64_t, uint32_t>;  // dist, 2 x node + state
    std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> queue;
    auto relax = [&](uint32_t item, uint64_t d) {
      if (d >= dist[item]) return;
      if (dist[item] == kInfinite) touched.push_back(item);
      dist[item] = d;
      queue.push({d, item});
    };
    const uint32_t s = static_cast<uint32_t>(g.Index(source));
    relax(2 * s, 0);
    if (back) relax(2 * s + 1, 0);
    while (!queue.empty()) {
      auto [d, item] = queue.top();
      queue.pop();
      if (d != dist[item]) continue;
      const uint32_t xi = item / 2;
      const bool state = item & 1;
      settled.push_back({xi, static_cast<uint8_t>(state), d});
      const CH::TChNode& x = g.nodes[xi];
      for (const CH::TChAdjEntry& entry : back ? x.in : x.out) {
        const CH::TChAdjEntry* e = &entry;
        if (restricted && (e->word & CH::kEdgeRestricted)) continue;
        const CH::TChNode& y = *e->other;
        const uint32_t yi = static_cast<uint32_t>(g.Index(&y));
        const uint64_t nd = d + CH::EdgeCost(e->word);
        if (!back) {
          if (StepAllowed(x, state, e->word, y)) relax(2 * yi + StateAfter(x, state, e->word), nd);
          continue;
        }
        // y precedes x on the path: the states of y from which the step ends in x's state.
        for (bool ys : {false, true}) {
          if (StepAllowed(y, ys, e->word, x) && StateAfter(y, ys, e->word) == state) relax(2 * yi + ys, nd);
        }
      }
    }
    return settled;
  }
  uint64_t At(uint32_t node, bool state) const { return dist[2 * node + state]; }

  // The best sum of this forward search's labels and a backward search's,
  // met in one node and state.
  uint64_t Meet(const std::vector<TLabel>& back) const {
    uint64_t best = kInfinite;
    for (const TLabel& l : back) {
      const uint64_t f = At(l.node, l.state);
      if (f != kInfinite) best = std::min(best, f + l.dist);
    }
    return best;
  }

 private:
  const TGraph& g;
  std::vector<uint64_t> dist;  // by 2 x node + state
  std::vector<TLabel> settled;
  std::vector<uint32_t> touched;
};

}  // namespace ChTest
