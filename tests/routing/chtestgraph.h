// A plain graph over the contraction-hierarchy core for tests and the
// benchmark: nodes in one array, edge records (base edges, then shortcuts)
// in another, a bidirectional upward query and Dijkstra as the reference.
#pragma once

#include <cstdint>
#include <queue>
#include <random>
#include <vector>

#include "routing/chcore.h"

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

constexpr uint64_t kInfinite = UINT64_MAX;

// Plain Dijkstra over the base edges; restricted skips bit-31 edges.
inline std::vector<uint64_t> Dijkstra(const CTestGraph& g, uint32_t source, bool restricted) {
  size_t n = g.nodes.Size();
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> out(n);
  for (size_t i = 0; i < g.baseEdges; i++) {
    const TEdge& e = g.edges[i];
    if (restricted && (e.word & CH::kEdgeRestricted)) continue;
    out[g.Index(e.from)].push_back({g.Index(e.to), CH::EdgeCost(e.word)});
  }
  std::vector<uint64_t> dist(n, kInfinite);
  using TItem = std::pair<uint64_t, uint32_t>;
  std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> queue;
  dist[source] = 0;
  queue.push({0, source});
  while (!queue.empty()) {
    auto [d, x] = queue.top();
    queue.pop();
    if (d != dist[x]) continue;
    for (auto [y, c] : out[x]) {
      if (d + c < dist[y]) {
        dist[y] = d + c;
        queue.push({dist[y], y});
      }
    }
  }
  return dist;
}

// Bidirectional upward search over the adjacency lists as LinkUpwardEdge
// leaves them: forward over out-lists, backward over in-lists.
class CUpwardQuery {
 public:
  explicit CUpwardQuery(CTestGraph& graph) : g(graph), forward(graph.nodes.Size()), backward(graph.nodes.Size()) {}

  uint64_t Distance(uint32_t s, uint32_t t, bool restricted) {
    Search(s, false, restricted, forward);
    Search(t, true, restricted, backward);
    uint64_t best = kInfinite;
    for (uint32_t v : forward.touched) {
      if (backward.dist[v] != kInfinite) best = std::min(best, forward.dist[v] + backward.dist[v]);
    }
    return best;
  }

 private:
  struct TSide {
    explicit TSide(size_t n) : dist(n, kInfinite) {}
    std::vector<uint64_t> dist;
    std::vector<uint32_t> touched;
  };
  void Search(uint32_t source, bool back, bool restricted, TSide& side) {
    for (uint32_t v : side.touched) side.dist[v] = kInfinite;
    side.touched.clear();
    using TItem = std::pair<uint64_t, uint32_t>;
    std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> queue;
    side.dist[source] = 0;
    side.touched.push_back(source);
    queue.push({0, source});
    while (!queue.empty()) {
      auto [d, x] = queue.top();
      queue.pop();
      if (d != side.dist[x]) continue;
      const CH::TChNode& node = g.nodes[x];
      for (const CH::TChAdjEntry* e = back ? node.inHead : node.outHead; e; e = e->next) {
        if (restricted && (e->word & CH::kEdgeRestricted)) continue;
        uint32_t y = g.Index(e->other);
        uint64_t nd = d + CH::EdgeCost(e->word);
        if (nd < side.dist[y]) {
          if (side.dist[y] == kInfinite) side.touched.push_back(y);
          side.dist[y] = nd;
          queue.push({nd, y});
        }
      }
    }
  }

  CTestGraph& g;
  TSide forward, backward;
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
