#include "routing/geomapgraph.h"

#include <algorithm>
#include <cstdlib>

#include "core/platform/platform.h"

namespace CH {

namespace {

bool Stopped(const bool* stop) { return stop && *stop; }

// Map units: 2^23 a degree, on a sphere of the radius the lengths use.
constexpr double kMetresPerUnit = 6371302.0 * 3.14159265358979323846 / 180.0 / (1 << 23);

int CompareSigned(uint32_t a, uint32_t b) {
  int32_t x = static_cast<int32_t>(a), y = static_cast<int32_t>(b);
  return x < y ? -1 : (y < x ? 1 : 0);
}

// Oriented links compared as (start, end, road), signed.
int CompareLinks(const TGeoMapNode& n, uint32_t start, uint32_t end, uint32_t road) {
  if (int c = CompareSigned(n.StartNode(), start)) return c;
  if (int c = CompareSigned(n.EndNode(), end)) return c;
  return CompareSigned(n.RoadId(), road);
}

uint8_t ExternalFlag(const TRoadGraph& roads, uint32_t nodeId) {
  const TGraphNode* n = roads.FindNode(nodeId);
  return n ? n->External : 0;
}

constexpr uint32_t kEdgeFlags = kEdgeLeavesArea | kEdgeRestricted;

// Chain restrictions, applied by removing the nodes of their inner links
// (rank -1) and joining the nodes around them by bypass edges.
//
// A legal route under chains: no run of consecutive links of the route
// equals the links of a chain (road i from node i to node i + 1, for every
// road of the chain). A route may run a chain's links, turn back and run
// them again: the repeat starts the chain afresh, so such a loop is legal
// as long as no run of it matches a whole chain.
//
// Every inner link of every chain is removed, so a node that stays is the
// inner link of no chain: after a node that stays, the chains a route may
// still complete are those that start with that node, whatever came
// before. A route thus splits at the nodes that stay into segments that
// are independent of each other, and each segment over removed nodes is
// replaced by a bypass from its first node to its last: per (first, last,
// edge bits 30 and 31) the cheapest legal segment, unless a turn edge or
// another bypass with no more flags costs no more. The segments from a
// node are found by a search over the states (removed node, chains matched
// so far with how many of their links, area state, restricted), so that a
// costlier segment that the chains leave open survives a cheaper one that
// they forbid, loops over removed nodes included. The area rule holds as
// for a shortcut: a segment must be legal for a route in area state 0 at
// its first node, and bit 30 marks one between two area nodes that leaves
// the area.
//
// A bypass records its two halves: the edge into its last removed node (a
// turn edge, or a partial bypass from the first node, recorded for this
// and never linked since it ends at a removed node) and the turn edge out
// of it.
class CChainBypasses {
 public:
  CChainBypasses(CGeoMapGraph& graph, const TRoadGraph& roads)
      : g(graph), turnEdges(graph.TurnEdgeCount()), statePool(kPairMapPerBlock),
        stateMap(&statePool, TStateCompare{this}) {
    removed.ResizeZeroed(g.nodes.Size());
    for (const TRestrictionChain& ch : roads.RestrictionChains) {
      if (ch.Nodes.Size() != ch.Roads.Size() + 1) continue;
      const size_t first = chainNodes.Size();
      for (size_t i = 0; i < ch.Roads.Size(); i++) {
        TGeoMapNode* n = g.FindNode(ch.Nodes[i], ch.Nodes[i + 1], ch.Roads[i]);
        if (n && i > 0 && i + 1 < ch.Roads.Size()) removed[g.Index(n)] = 1;
        chainNodes.PushBack(n ? static_cast<uint32_t>(g.Index(n)) : kNoEdge);
      }
      bool usable = true;  // a chain over a link that does not exist never matches
      for (size_t i = first; i < chainNodes.Size(); i++) usable = usable && chainNodes[i] != kNoEdge;
      if (!usable) {
        chainNodes.Resize(first);
        continue;
      }
      starts.PushBack(TChainStart{chainNodes[first], static_cast<uint32_t>(chainBegin.Size())});
      chainBegin.PushBack(static_cast<uint32_t>(first));
    }
    chainBegin.PushBack(static_cast<uint32_t>(chainNodes.Size()));
    std::sort(starts.begin(), starts.end(), [](const TChainStart& x, const TChainStart& y) {
      return x.node != y.node ? x.node < y.node : x.chain < y.chain;
    });
  }

  void Run() {
    for (TGeoMapNode& a : g.nodes) {
      if (removed[g.Index(&a)]) continue;
      for (const TChAdjEntry& e : a.out) {
        if (removed[g.Index(e.other)]) {
          Search(&a);
          break;
        }
      }
    }
    for (TGeoMapNode& c : g.nodes) {
      if (removed[g.Index(&c)]) Unlink(&c);
    }
  }

 private:
  // A chain that a route is in, with the number of its links matched.
  struct TStep {
    uint32_t chain, matched;
  };
  struct TChainStart {
    uint32_t node, chain;
  };
  struct TState {
    uint32_t node;
    bool left;        // the route has left a node outside the area
    bool restricted;  // it has left a type 0x0a link
    uint32_t steps, stepCount;  // its chain progress in `progress`
    uint32_t cost;
    uint32_t parent;  // the state before, kNoEdge at the search's start
    uint32_t edge;    // the turn edge from the parent's node
    uint32_t hops;
    uint32_t record;  // the edge from the search's start to here, once made
  };
  struct TStateKey {
    uint32_t node;
    bool left, restricted;
    const TStep* steps;
    uint32_t stepCount;
  };
  struct TStateCompare {
    const CChainBypasses* self;
    int operator()(const TStateKey& k, uint32_t index) const { return self->CompareState(k, index); }
  };
  // A segment that reaches a node that stays.
  struct TEnd {
    uint32_t node;
    uint32_t flags;  // edge bits 30 and 31
    uint32_t cost;
    uint32_t state;  // at the last removed node
    uint32_t edge;   // the turn edge from it
  };
  struct TQueued {
    uint32_t cost, state;
    bool operator>(const TQueued& o) const { return cost != o.cost ? cost > o.cost : state > o.state; }
  };

  int CompareState(const TStateKey& k, uint32_t index) const {
    const TState& s = states[index];
    if (k.node != s.node) return k.node < s.node ? -1 : 1;
    if (k.left != s.left) return k.left ? 1 : -1;
    if (k.restricted != s.restricted) return k.restricted ? 1 : -1;
    if (k.stepCount != s.stepCount) return k.stepCount < s.stepCount ? -1 : 1;
    for (uint32_t i = 0; i < k.stepCount; i++) {
      const TStep& x = k.steps[i];
      const TStep& y = progress[s.steps + i];
      if (x.chain != y.chain) return x.chain < y.chain ? -1 : 1;
      if (x.matched != y.matched) return x.matched < y.matched ? -1 : 1;
    }
    return 0;
  }

  uint32_t ChainLength(uint32_t chain) const { return chainBegin[chain + 1] - chainBegin[chain]; }

  // The progress after entering node y from `from`, into `next`; false when
  // a chain is completed by it.
  bool Advance(const TStep* from, uint32_t count, uint32_t y, CReallocArray<TStep>& next) const {
    next.Clear();
    for (uint32_t i = 0; i < count; i++) {
      const TStep& s = from[i];
      if (chainNodes[chainBegin[s.chain] + s.matched] != y) continue;
      if (s.matched + 1 == ChainLength(s.chain)) return false;
      next.PushBack(TStep{s.chain, s.matched + 1});
    }
    const TChainStart* it = std::lower_bound(starts.begin(), starts.end(), y,
                                             [](const TChainStart& x, uint32_t node) { return x.node < node; });
    for (; it != starts.end() && it->node == y; ++it) {
      if (ChainLength(it->chain) == 1) return false;
      next.PushBack(TStep{it->chain, 1});
    }
    std::sort(next.begin(), next.end(), [](const TStep& x, const TStep& y) {
      return x.chain != y.chain ? x.chain < y.chain : x.matched < y.matched;
    });
    return true;
  }

  // Finds or makes the state; true when it is new or now cheaper.
  bool Reach(const TStateKey& key, uint32_t cost, uint32_t parent, uint32_t edge, uint32_t* index) {
    states.Reserve(states.Size() + 1);
    auto [node, fresh] = stateMap.InsertUnique(key, static_cast<uint32_t>(states.Size()));
    *index = node->value;
    if (fresh) {
      const uint32_t steps = static_cast<uint32_t>(progress.Size());
      for (uint32_t i = 0; i < key.stepCount; i++) progress.PushBack(key.steps[i]);
      const uint32_t hops = parent == kNoEdge ? 0 : states[parent].hops + 1;
      states.PushBack(TState{key.node, key.left, key.restricted, steps, key.stepCount, cost, parent, edge, hops,
                             kNoEdge});
      return true;
    }
    TState& s = states[*index];
    if (cost >= s.cost) return false;
    s.cost = cost;
    s.parent = parent;
    s.edge = edge;
    s.hops = states[parent].hops + 1;
    return true;
  }

  void Push(uint32_t cost, uint32_t state) {
    queue.PushBack(TQueued{cost, state});
    std::push_heap(queue.begin(), queue.end(), std::greater<TQueued>());
  }

  // Every legal segment from a over removed nodes to a node that stays.
  void Search(TGeoMapNode* a) {
    const uint32_t ai = static_cast<uint32_t>(g.Index(a));
    states.Clear();
    progress.Clear();
    stateMap.Clear();
    queue.Clear();
    ends.Clear();
    uint32_t root;
    if (!Advance(nullptr, 0, ai, scratch)) return;  // cannot happen: chains have three roads or more
    Reach(TStateKey{ai, false, false, scratch.data, static_cast<uint32_t>(scratch.Size())}, 0, kNoEdge, kNoEdge,
          &root);
    Push(0, root);
    while (!queue.Empty()) {
      std::pop_heap(queue.begin(), queue.end(), std::greater<TQueued>());
      const TQueued top = queue.Back();
      queue.PopBack();
      if (top.cost != states[top.state].cost) continue;  // an older copy
      const TState s = states[top.state];
      const TGeoMapNode& r = g.nodes[s.node];
      for (const TChAdjEntry& entry : r.out) {
        const TChAdjEntry* e = &entry;
        if (e->edge >= turnEdges) continue;  // bypasses made for earlier nodes
        const TChNode* y = e->other;
        const uint32_t yi = static_cast<uint32_t>(g.Index(y));
        if (top.state == root && !removed[yi]) continue;  // a plain turn edge
        if (r.IsArea() && s.left && !y->IsArea()) continue;
        if (!Advance(progress.data + s.steps, s.stepCount, yi, scratch)) continue;
        const bool left = s.left || !r.IsArea();
        const bool restricted = s.restricted || (e->word & kEdgeRestricted);
        const uint32_t cost =
            static_cast<uint32_t>(std::min<uint64_t>(uint64_t{s.cost} + EdgeCost(e->word), kCostMask));
        if (!removed[yi]) {
          // The end of a segment; back at a, it only costs more.
          if (yi == ai) continue;
          const bool leaves = a->IsArea() && y->IsArea() && left;
          ends.PushBack(TEnd{yi, MakeEdgeWord(0, leaves, restricted), cost, top.state, e->edge});
          continue;
        }
        uint32_t next;
        if (Reach(TStateKey{yi, left, restricted, scratch.data, static_cast<uint32_t>(scratch.Size())}, cost,
                  top.state, e->edge, &next)) {
          Push(cost, next);
        }
      }
    }
    MakeBypasses(a);
  }

  // The cheapest end per (node, flags), unless an edge with no more flags
  // costs no more; in node order, then flags.
  void MakeBypasses(TGeoMapNode* a) {
    std::sort(ends.begin(), ends.end(), [](const TEnd& x, const TEnd& y) {
      if (x.node != y.node) return x.node < y.node;
      if (x.flags != y.flags) return x.flags < y.flags;
      return x.cost != y.cost ? x.cost < y.cost : x.state < y.state;
    });
    for (size_t i = 0; i < ends.Size();) {
      size_t j = i;
      while (j < ends.Size() && ends[j].node == ends[i].node) j++;
      for (size_t k = i; k < j; k++) {
        const TEnd& end = ends[k];
        if (k > i && ends[k - 1].flags == end.flags) continue;  // a cheaper one of the same flags
        if (Dominated(a, end, i, k)) continue;
        const TGeoMapNode* c = &g.nodes[states[end.state].node];
        const TShortcutHalves halves{Record(a, end.state), end.edge};
        g.AddShortcut(a, &g.nodes[end.node], const_cast<TGeoMapNode*>(c), end.cost, states[end.state].hops + 1,
                      (end.flags & kEdgeLeavesArea) != 0, (end.flags & kEdgeRestricted) != 0, halves);
      }
      i = j;
    }
  }

  // An edge from a to the end's node with no flags the end lacks that costs
  // no more: a turn edge, or an earlier end of this search.
  bool Dominated(const TGeoMapNode* a, const TEnd& end, size_t first, size_t k) const {
    for (size_t m = first; m < k; m++) {
      if (!(ends[m].flags & ~end.flags) && ends[m].cost <= end.cost) return true;
    }
    for (const TChAdjEntry& x : a->out) {
      if (x.edge < turnEdges && g.Index(x.other) == end.node && EdgeCost(x.word) <= end.cost &&
          !(x.word & kEdgeFlags & ~end.flags)) {
        return true;
      }
    }
    return false;
  }

  // The edge from a to a state's node: its first turn edge, or a partial
  // bypass made now (with those before it) and recorded in the state.
  uint32_t Record(const TGeoMapNode* a, uint32_t state) {
    pending.Clear();
    for (uint32_t s = state; states[s].record == kNoEdge; s = states[s].parent) {
      if (states[states[s].parent].parent == kNoEdge) {
        states[s].record = states[s].edge;  // one turn edge from a
        break;
      }
      pending.PushBack(s);
    }
    for (size_t i = pending.Size(); i-- > 0;) {
      TState& s = states[pending[i]];
      const TState& parent = states[s.parent];
      const TGeoMapNode& node = g.nodes[s.node];
      TChEdge e;
      e.from = const_cast<TGeoMapNode*>(a);
      e.to = const_cast<TGeoMapNode*>(&node);
      e.word = MakeEdgeWord(s.cost, a->IsArea() && node.IsArea() && s.left, s.restricted);
      e.via = &g.nodes[parent.node];
      e.halves = TShortcutHalves{parent.record, s.edge};
      s.record = static_cast<uint32_t>(g.edges.Size());
      g.edges.PushBack(e);
    }
    return states[state].record;
  }

  // Removes a node's entries from its lists and its neighbours' lists.
  void Unlink(TGeoMapNode* c) {
    g.UnlinkNode(c);
    c->rank = kExcludedRank;
  }

  CGeoMapGraph& g;
  const size_t turnEdges;
  CReallocArray<uint8_t> removed;       // by node index
  CReallocArray<uint32_t> chainNodes;   // the usable chains' nodes, back to back
  CReallocArray<uint32_t> chainBegin;   // per chain, and the end
  CReallocArray<TChainStart> starts;    // chains by their first node
  // One search's states, their progress, their map and queue, its ends.
  CReallocArray<TState> states;
  CReallocArray<TStep> progress;
  CAvlTreeMap<uint32_t, TStateCompare>::TPool statePool;
  CAvlTreeMap<uint32_t, TStateCompare> stateMap;
  CReallocArray<TQueued> queue;
  CReallocArray<TEnd> ends;
  CReallocArray<TStep> scratch;
  CReallocArray<uint32_t> pending;
};

}  // namespace

bool CompareNodesByStartNode(const TChNode* a, const TChNode* b) {
  const TGeoMapNode& x = static_cast<const TGeoMapNode&>(*a);
  const TGeoMapNode& y = static_cast<const TGeoMapNode&>(*b);
  return CompareLinks(x, y.StartNode(), y.EndNode(), y.RoadId()) < 0;
}

uint32_t LinkCost(const TRoadLink& link, const TGraphRoad& road, uint32_t metric) {
  return metric == kMetricTime ? LinkTimeCost(link, road.Speed()) : LinkDistanceCost(link);
}

// ---- building ----

void CGeoMapGraph::AddShortcut(TChNode* from, TChNode* to, TChNode* via, uint32_t cost, uint32_t hops, bool bit30,
                               bool bit31, TShortcutHalves halves) {
  TChEdge e;
  e.from = from;
  e.to = to;
  e.word = MakeEdgeWord(cost, bit30, bit31);
  e.via = via;
  e.halves = halves;
  const uint32_t index = static_cast<uint32_t>(edges.Size());
  LinkEdge(*edges.PushBack(e), hops, index);
}

void CGeoMapGraph::VisitNodes(TNodeVisitor visit, void* context) {
  for (TGeoMapNode& n : nodes) visit(n, context);
}

TGeoMapNode* CGeoMapGraph::FindNode(uint32_t start, uint32_t end, uint32_t road) {
  TGeoMapNode* n = std::lower_bound(nodes.begin(), nodes.end(), 0, [&](const TGeoMapNode& x, int) {
    return CompareLinks(x, start, end, road) < 0;
  });
  return n != nodes.end() && CompareLinks(*n, start, end, road) == 0 ? n : nullptr;
}

void CGeoMapGraph::BuildFromRoadGraph(const TRoadGraph& roads, uint32_t metric) {
  adjacency.FreeBlocks();
  edges.Free();
  nodes.Free();
  turnEdges = 0;
  nodes.Reserve(2 * roads.Links.Size());
  for (const TRoadLink& link : roads.Links) {
    const TGraphRoad* road = roads.FindRoad(link.RoadId);
    if (!road) continue;  // every link's road is in the graph; nothing to route on otherwise
    TGeoMapNode n;
    n.link = link;
    n.flags = (road->Word & kRoadExt) ? kNodeArea : 0;
    n.direction = 1;
    n.startExternal = ExternalFlag(roads, link.From);
    n.endExternal = ExternalFlag(roads, link.To);
    nodes.PushBack(n);
    if (!road->OneWay()) {
      n.direction = 0;
      std::swap(n.startExternal, n.endExternal);
      nodes.PushBack(n);
    }
  }
  std::sort(nodes.begin(), nodes.end(),
            [](const TGeoMapNode& a, const TGeoMapNode& b) { return CompareNodesByStartNode(&a, &b); });
  for (size_t i = 0; i < nodes.Size(); i++) nodes[i].id = static_cast<uint32_t>(i);

  for (TGeoMapNode& j : nodes) {
    const TGraphRoad* road = roads.FindRoad(j.RoadId());
    const uint32_t cost = LinkCost(j.link, *road, metric);
    const bool restricted = (road->Word & kRoadType0A) != 0;
    const uint32_t via = j.EndNode();
    TGeoMapNode* k = std::lower_bound(nodes.begin(), nodes.end(), via, [](const TGeoMapNode& x, uint32_t id) {
      return CompareSigned(x.StartNode(), id) < 0;
    });
    for (; k != nodes.end() && k->StartNode() == via; ++k) {
      // A reversal onto the same link is an ordinary turn: only a key forbids it.
      if (roads.HasRestrictionKey(j.StartNode(), via, k->EndNode(), j.RoadId(), k->RoadId())) continue;
      AddShortcut(&j, k, nullptr, cost, 1, false, restricted, TShortcutHalves{});
    }
  }
  turnEdges = edges.Size();
}

void CGeoMapGraph::RecomputeCosts(const TRoadGraph& roads, uint32_t metric) {
  // From the link itself, not from the Distance cost: that one is already
  // raised to 1 for a link of 0 m and capped to 30 bits.
  for (size_t i = 0; i < turnEdges; i++) {
    TChEdge& e = edges[i];
    const TGeoMapNode& from = Node(e.from);
    const TGraphRoad* road = roads.FindRoad(from.RoadId());
    e.word = (e.word & ~kCostMask) | LinkCost(from.link, *road, metric);
  }
}

void CGeoMapGraph::RecomputeTimeCosts(const TRoadGraph& roads) { RecomputeCosts(roads, kMetricTime); }

void CGeoMapGraph::ResetAdjacency() {
  for (TGeoMapNode& n : nodes) {
    n.in = n.out = TChAdjList{};
    n.rank = 0;
    n.heapEntry = nullptr;
  }
  adjacency.FreeBlocks();
  edges.Resize(turnEdges);
  for (size_t i = 0; i < edges.Size(); i++) LinkEdge(edges[i], 1, static_cast<uint32_t>(i));
}

void CGeoMapGraph::ProcessRestrictionChains(const TRoadGraph& roads) {
  if (roads.RestrictionChains.Empty()) return;
  CChainBypasses(*this, roads).Run();
}

void CGeoMapGraph::CollectUnranked(CReallocArray<TChNode*>& list) {
  list.Free();
  size_t count = 0;
  for (const TGeoMapNode& n : nodes) count += n.rank == 0;
  list.Reserve(count);
  for (TGeoMapNode& n : nodes) {
    if (n.rank == 0) list.PushBack(&n);
  }
}

bool ProjectBoundPoints(const TGeoPoint* at, size_t count, CReallocArray<TBoundPoint>& points) {
  points.Free();
  if (count == 0) return false;
  int32_t xMin = INT32_MAX, xMax = INT32_MIN, yMin = INT32_MAX, yMax = INT32_MIN;
  for (size_t i = 0; i < count; i++) {
    xMin = std::min(xMin, at[i].x), xMax = std::max(xMax, at[i].x);
    yMin = std::min(yMin, at[i].y), yMax = std::max(yMax, at[i].y);
  }
  // Across the 180th meridian the plane's distances say nothing.
  if (static_cast<int64_t>(xMax) - xMin >= static_cast<int64_t>(kGeo180)) return false;
  // Metres per map unit, less 3 % for the lengths' rounding. East-west
  // distances shrink towards the poles: the cosine table's entry for the
  // whole degree above the latitude farthest from the equator gives a
  // scale below every point's own (and the same on every build).
  const double scale = kMetresPerUnit * 0.97;
  const int64_t farthest = std::max(std::abs(int64_t{yMin}), std::abs(int64_t{yMax}));
  const int64_t degree = std::min<int64_t>((farthest + (1 << 23) - 1) >> 23, 90);
  const double xScale = scale * g_CosTable[degree] / 1024.0;
  points.Resize(count);
  for (size_t i = 0; i < count; i++) {
    points[i] = TBoundPoint{static_cast<float>((at[i].x - static_cast<double>(xMin)) * xScale),
                            static_cast<float>((at[i].y - static_cast<double>(yMin)) * scale)};
  }
  return true;
}

void CGeoMapGraph::MakeBoundPoints(const TRoadGraph& roads, uint32_t metric) {
  SetBoundPoints(nullptr);
  // A Distance cost is the link's length in metres, never below the
  // straight distance between its ends, so no path costs less than the
  // distance between its first and its last node's start points. Time
  // costs would need the map's fastest road: too weak a bound to pay.
  if (!boundWitnessSearches || metric != kMetricDistance) return;
  CReallocArray<TGeoPoint> at;
  at.Reserve(nodes.Size());
  for (const TGeoMapNode& n : nodes) {
    const TGraphNode* g = roads.FindNode(n.StartNode());
    if (!g) return;
    at.PushBack(g->Point);
  }
  CReallocArray<TBoundPoint> points;
  if (ProjectBoundPoints(at.data, at.Size(), points)) SetBoundPoints(points.data);
}

void CGeoMapGraph::Build(const TRoadGraph& roads, uint32_t metric, bool rebuild, const bool* stop) {
  stats = TGeoBuildStats{};
  if (rebuild) {
    edges.Resize(turnEdges);
    RecomputeCosts(roads, metric);
    ResetAdjacency();
  } else {
    BuildFromRoadGraph(roads, metric);
  }
  ProcessRestrictionChains(roads);
  MakeBoundPoints(roads, metric);
  landmarkBounds = false;
  if (boundWitnessSearches && !pointBounds) {
    const uint32_t start = Platform::GetTickCount();
    FindLandmarks();
    stats.landmarksMs = Platform::GetTickCount() - start;
  }

  CReallocArray<TChNode*> list, entries, exits;
  CReallocArray<uint32_t> firstRank;  // by node index, when the final contraction reuses the order
  for (TGeoMapNode& n : nodes) {
    if (n.rank == kExcludedRank) continue;  // inner chain links are never external
    if (n.startExternal) entries.PushBack(&n);
    if (n.endExternal) exits.PushBack(&n);
  }
  stats.entries = static_cast<uint32_t>(entries.Size());
  stats.exits = static_cast<uint32_t>(exits.Size());
  TOrderingState state(*this, kHeapEntriesPerBlock);
  if (entries.Empty() || exits.Empty()) {
    // No route runs from an entry to an exit: the selection would return
    // the entry and exit nodes alone, so the first contraction only costs.
    stats.firstSkipped = true;
    list.Free();
    for (TGeoMapNode& n : nodes) {
      if (n.rank != kExcludedRank && (n.startExternal || n.endExternal)) list.PushBack(&n);
    }
  } else {
    // First contraction: to find the core, and in Distance the order of the
    // final one.
    uint32_t start = Platform::GetTickCount();
    CollectUnranked(list);
    OrderNodes(state, list, CompareNodesByStartNode, stop);
    if (reuseFirstOrder && metric == kMetricDistance) {
      firstRank.Resize(nodes.Size());
      for (size_t i = 0; i < nodes.Size(); i++) {
        firstRank[i] = nodes[i].rank < 0 ? UINT32_MAX : static_cast<uint32_t>(nodes[i].rank);
      }
    }
    stats.first = state.counts;
    stats.firstMs = Platform::GetTickCount() - start;
    if (Stopped(stop)) return;
    start = Platform::GetTickCount();
    ClearAdjacency();
    for (size_t i = 0; i < edges.Size(); i++) LinkUpwardEdge(edges[i], static_cast<uint32_t>(i));
    SelectCoreNodes(state, entries, exits, list, stop);
    stats.coreMs = Platform::GetTickCount() - start;
    if (Stopped(stop)) return;
  }
  stats.core = static_cast<uint32_t>(list.Size());

  // Back to the turn edges: the chain bypasses are made again around the core.
  ResetAdjacency();
  for (TChNode* n : list) {
    n->heapEntry = nullptr;
    n->rank = kCoreRank;
  }
  ProcessRestrictionChains(roads);
  CollectUnranked(list);
  const uint32_t start = Platform::GetTickCount();
  if (!firstRank.Empty()) {
    // A node the first contraction left out (none, as a rule) goes last.
    std::stable_sort(list.begin(), list.end(),
                     [&](const TChNode* a, const TChNode* b) { return firstRank[Index(a)] < firstRank[Index(b)]; });
    ContractInOrder(state, list, stop);
  } else {
    OrderNodes(state, list, CompareNodesByStartNode, stop);
  }
  stats.second = state.counts;
  stats.secondMs = Platform::GetTickCount() - start;
}

}  // namespace CH
