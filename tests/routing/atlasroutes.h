// Route searches of the atlas tests over plain adjacency lists, under the
// area rule: once a path has left a node outside the area or used a bit-30
// edge, it may not leave an area node by a bit-30 edge or towards a node
// outside the area.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

namespace AtlasRoutes {

constexpr uint64_t kNone = UINT64_MAX;
constexpr uint32_t kBit30 = 1u << 30;

struct TArc {
  uint32_t to;
  uint32_t cost;
  bool bit30;
};

using TArcs = std::vector<std::vector<TArc>>;

inline bool StepAllowed(bool xArea, bool state, bool bit30, bool yArea) {
  return !(xArea && state && (bit30 || !yArea));
}
inline bool StateAfter(bool xArea, bool state, bool bit30) { return state || !xArea || bit30; }

// Dijkstra with a label per (node, area state), kept between runs so that
// a run costs only what it touches. Forward: from the source in state 0
// over arcs listing each node's out edges. Backward: from the target over
// arcs listing each node's in edges (`to` naming their from node), where
// the label (x, s) is the cost from x in state s to the target.
class CStateSearch {
 public:
  CStateSearch(const TArcs& arcs, const std::vector<bool>& area)
      : arcs(arcs), area(area), dist(2 * arcs.size(), kNone) {}

  void Run(uint32_t source, bool back) {
    for (uint32_t i : touched) dist[i] = kNone;
    touched.clear();
    using TItem = std::pair<uint64_t, uint32_t>;
    std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> queue;
    auto relax = [&](uint32_t item, uint64_t d) {
      if (d >= dist[item]) return;
      if (dist[item] == kNone) touched.push_back(item);
      dist[item] = d;
      queue.push({d, item});
    };
    relax(2 * source, 0);
    if (back) relax(2 * source + 1, 0);
    while (!queue.empty()) {
      auto [d, item] = queue.top();
      queue.pop();
      if (d != dist[item]) continue;
      const uint32_t x = item / 2;
      const bool state = item & 1;
      for (const TArc& a : arcs[x]) {
        const uint64_t nd = d + a.cost;
        if (!back) {
          if (StepAllowed(area[x], state, a.bit30, area[a.to])) relax(2 * a.to + StateAfter(area[x], state, a.bit30), nd);
          continue;
        }
        for (bool ys : {false, true}) {
          if (StepAllowed(area[a.to], ys, a.bit30, area[x]) && StateAfter(area[a.to], ys, a.bit30) == state) {
            relax(2 * a.to + ys, nd);
          }
        }
      }
    }
  }

  uint64_t At(uint32_t node, bool state) const { return dist[2 * node + state]; }
  // The cheapest node reached in any state.
  uint64_t Best(uint32_t node) const { return std::min(At(node, false), At(node, true)); }
  // The best sum with another search's labels, met in one node and state.
  uint64_t Meet(const CStateSearch& other) const {
    uint64_t best = kNone;
    for (uint32_t item : touched) {
      if (other.dist[item] != kNone) best = std::min(best, dist[item] + other.dist[item]);
    }
    return best;
  }

 private:
  const TArcs& arcs;
  const std::vector<bool>& area;
  std::vector<uint64_t> dist;  // by 2 x node + state
  std::vector<uint32_t> touched;
};

}  // namespace AtlasRoutes
