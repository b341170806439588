// A plain graph over the contraction-hierarchy core for tests and the
// benchmark: nodes in one array, edge records (base edges, then shortcuts)
// in another, a bidirectional upward query and Dijkstra as the reference,
// both with a label per area state.
#pragma once

#include <cstdint>
#include <queue>
#include <random>
#include <vector>

#include "routing/chcore.h"
#include "tests/routing/statesearch.h"

namespace ChTest {

struct TEdge : CH::TChEdgeRecord {
  CH::TChNode* via;
  CH::TShortcutHalves halves;
};

class CTestGraph : public CH::CGraph {
 public:
  explicit CTestGraph(size_t nodeCount) {
    nodes.ResizeZeroed(nodeCount);
    for (size_t i = 0; i < nodeCount; i++) {
      new (&nodes[i]) CH::TChNode();
      nodes[i].id = static_cast<uint32_t>(i);
    }
  }

  void AddShortcut(CH::TChNode* from, CH::TChNode* to, CH::TChNode* via, uint32_t cost, uint32_t hops, bool bit30,
                   bool bit31, CH::TShortcutHalves halves) override {
    TEdge e;
    e.from = from;
    e.to = to;
    e.word = CH::MakeEdgeWord(cost, bit30, bit31);
    e.via = via;
    e.halves = halves;
    edges.PushBack(e);
    LinkEdge(e, hops, static_cast<uint32_t>(edges.Size() - 1));
  }
  void VisitNodes(TNodeVisitor visit, void* context) override {
    for (CH::TChNode& n : nodes) visit(n, context);
  }

  void AddEdge(uint32_t from, uint32_t to, uint32_t cost, bool bit30 = false, bool bit31 = false) {
    AddShortcut(&nodes[from], &nodes[to], nullptr, cost, 1, bit30, bit31, CH::TShortcutHalves{});
    baseEdges = edges.Size();
  }
  void SetArea(uint32_t node) { nodes[node].flags |= CH::kNodeArea; }
  CH::TChNode* Node(uint32_t i) { return &nodes[i]; }
  uint32_t Index(const CH::TChNode* n) const { return static_cast<uint32_t>(n - nodes.data); }

  // Contracts every node of rank 0; returns the list that was ordered.
  CReallocArray<CH::TChNode*> OrderAll(CH::TOrderingState& state, const bool* stop = nullptr) {
    CReallocArray<CH::TChNode*> list;
    for (CH::TChNode& n : nodes)
      if (n.rank == 0) list.PushBack(&n);
    CReallocArray<CH::TChNode*> ordered;
    ordered.Assign(list.data, list.Size());
    OrderNodes(state, list, CH::CompareNodeIds, stop);
    return ordered;
  }
  void LinkAllUpward() {
    ClearAdjacency();
    for (size_t i = 0; i < edges.Size(); i++) LinkUpwardEdge(edges[i], static_cast<uint32_t>(i));
  }
  // Back to the base edges, all ranks 0.
  void Reset() {
    ClearAdjacency();
    edges.Resize(baseEdges);
    for (CH::TChNode& n : nodes) {
      n.rank = 0;
      n.heapEntry = nullptr;
    }
    for (size_t i = 0; i < edges.Size(); i++) LinkEdge(edges[i], 1, static_cast<uint32_t>(i));
  }
  size_t Shortcuts() const { return edges.Size() - baseEdges; }

  CReallocArray<CH::TChNode> nodes;
  CReallocArray<TEdge> edges;
  size_t baseEdges = 0;
};

// Dijkstra over (node, area state) on the base edges from the source in
// state 0; restricted skips bit-31 edges. The distance of a node is that of
// its better state.
inline std::vector<uint64_t> Dijkstra(const CTestGraph& g, uint32_t source, bool restricted) {
  size_t n = g.nodes.Size();
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> out(n);  // target, edge
  for (size_t i = 0; i < g.baseEdges; i++) {
    const TEdge& e = g.edges[i];
    if (restricted && (e.word & CH::kEdgeRestricted)) continue;
    out[g.Index(e.from)].push_back({g.Index(e.to), static_cast<uint32_t>(i)});
  }
  std::vector<uint64_t> dist(2 * n, kInfinite);
  using TItem = std::pair<uint64_t, uint32_t>;  // dist, 2 x node + state
  std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> queue;
  dist[2 * source] = 0;
  queue.push({0, 2 * source});
  while (!queue.empty()) {
    auto [d, item] = queue.top();
    queue.pop();
    if (d != dist[item]) continue;
    const uint32_t x = item / 2;
    const bool state = item & 1;
    for (auto [y, edge] : out[x]) {
      const uint32_t word = g.edges[edge].word;
      if (!StepAllowed(g.nodes[x], state, word, g.nodes[y])) continue;
      const uint32_t next = 2 * y + StateAfter(g.nodes[x], state, word);
      if (d + CH::EdgeCost(word) < dist[next]) {
        dist[next] = d + CH::EdgeCost(word);
        queue.push({dist[next], next});
      }
    }
  }
  std::vector<uint64_t> best(n);
  for (size_t i = 0; i < n; i++) best[i] = std::min(dist[2 * i], dist[2 * i + 1]);
  return best;
}

// Bidirectional upward search over the adjacency lists as LinkUpwardEdge
// leaves them, a label per area state: forward over out-lists, backward
// over in-lists; they meet in a node and state.
class CUpwardQuery {
 public:
  explicit CUpwardQuery(CTestGraph& graph) : g(graph), forward(graph), backward(graph) {}

  uint64_t Distance(uint32_t s, uint32_t t, bool restricted) {
    forward.Run(g.Node(s), false, restricted);
    return forward.Meet(backward.Run(g.Node(t), true, restricted));
  }

 private:
  CTestGraph& g;
  CStateSearch<CTestGraph> forward, backward;
};

// A square grid, each neighbour pair joined both ways with random costs.
inline void AddGrid(CTestGraph& g, uint32_t width, uint32_t height, uint32_t maxCost, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<uint32_t> cost(1, maxCost);
  for (uint32_t y = 0; y < height; y++) {
    for (uint32_t x = 0; x < width; x++) {
      uint32_t i = y * width + x;
      if (x + 1 < width) {
        uint32_t c = cost(rng);
        g.AddEdge(i, i + 1, c);
        g.AddEdge(i + 1, i, c);
      }
      if (y + 1 < height) {
        uint32_t c = cost(rng);
        g.AddEdge(i, i + width, c);
        g.AddEdge(i + width, i, c);
      }
    }
  }
}

}  // namespace ChTest
