#include "routing/geomapgraph.h"

#include <algorithm>

namespace CH {

namespace {

bool Stopped(const bool* stop) { return stop && *stop; }

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

// Unlinks the first entry of a list that leads to `other`.
void RemoveEntryTo(CBlockPool<TChAdjEntry>& pool, TChAdjEntry** head, const TChNode* other) {
  for (TChAdjEntry** link = head; *link; link = &(*link)->next) {
    TChAdjEntry* e = *link;
    if (e->other == other) {
      *link = e->next;
      pool.Release(e);
      return;
    }
  }
}

// Removes the inner-link nodes of the chain restrictions, one chain and
// inner road at a time, joining each removed node's in- and out-neighbours
// by bypass edges. A bypass is refused when the path it stands for runs
// through a whole chain: the path is expanded over earlier bypasses, and
// every stretch of it across the removed node is compared with the chains,
// so that two overlapping chains both stay in force.
//
// A bypass is kept per (from, to, bits 30 and 31): a path of one class
// never replaces, nor is dropped for, one that a restricted or area-bound
// search could not use in its place.
class CChainBypasses {
 public:
  CChainBypasses(CGeoMapGraph& graph, const TRoadGraph& roads)
      : g(graph), chains(roads.RestrictionChains), pairPool(kPairMapPerBlock), pairs(&pairPool),
        firstBypass(graph.edges.Size()) {
    for (const TRestrictionChain& ch : chains) {
      if (ch.Nodes.Size() == ch.Roads.Size() + 1) maxRoads = std::max(maxRoads, ch.Roads.Size());
    }
    for (size_t i = 0; i < chains.Size(); i++) {
      size_t n = chains[i].Roads.Size();
      if (lengths.Empty() || lengths.Back() != n) lengths.PushBack(n);  // chains are sorted by road count
    }
  }

  void Run() {
    for (const TRestrictionChain& ch : chains) {
      if (ch.Nodes.Size() != ch.Roads.Size() + 1) continue;
      for (size_t i = 1; i + 1 < ch.Roads.Size(); i++) {
        TGeoMapNode* c = g.FindNode(ch.Nodes[i], ch.Nodes[i + 1], ch.Roads[i]);
        if (c) RemoveNode(c);
      }
    }
  }

 private:
  struct TPairKey {
    uint32_t from, to, flags;
    uint32_t bypass;  // index into `bypasses`
  };
  struct TPairCompare {
    int operator()(const TPairKey& a, const TPairKey& b) const {
      if (a.from != b.from) return a.from < b.from ? -1 : 1;
      if (a.to != b.to) return a.to < b.to ? -1 : 1;
      if (a.flags != b.flags) return a.flags < b.flags ? -1 : 1;
      return 0;
    }
  };
  struct TBypass {
    size_t edge;           // in the edge array
    size_t first, second;  // the two edges it joins; kNoEdge when unknown
    uint32_t hops;
  };

  static uint32_t Id(const TChNode* n) { return n->id; }

  void RemoveNode(TGeoMapNode* c) {
    for (TChAdjEntry* d = c->inHead; d; d = d->next) {
      TChNode* u = d->other;
      if (u == c) continue;
      size_t dEdge = d->edge;
      for (TChAdjEntry* e = c->outHead; e; e = e->next) {
        TChNode* w = e->other;
        if (w == c || w == u) continue;
        JoinPair(u, c, w, *d, *e, dEdge);
      }
    }
    for (TChAdjEntry *d = c->inHead, *next; d; d = next) {
      next = d->next;
      if (d->other != c) RemoveEntryTo(g.adjacency, &d->other->outHead, c);
      g.adjacency.Release(d);
    }
    for (TChAdjEntry *e = c->outHead, *next; e; e = next) {
      next = e->next;
      if (e->other != c) RemoveEntryTo(g.adjacency, &e->other->inHead, c);
      g.adjacency.Release(e);
    }
    c->inHead = c->outHead = nullptr;
    c->rank = kExcludedRank;
  }

  void JoinPair(TChNode* u, TChNode* c, TChNode* w, const TChAdjEntry& d, const TChAdjEntry& e, size_t dEdge) {
    const uint32_t both = d.word | e.word;
    // An area node is passed only between a node of the area and another
    // node, and not on a path that has already left the area.
    if (c->IsArea() && !((u->IsArea() || w->IsArea()) && !(both & kEdgeLeavesArea))) return;
    // Kept within the cost field: a saturated cost hides no shorter path.
    const uint32_t cost =
        static_cast<uint32_t>(std::min<uint64_t>(uint64_t{EdgeCost(d.word)} + EdgeCost(e.word), kCostMask));
    const bool bit31 = (both & kEdgeRestricted) != 0;
    const bool bit30 = u->IsArea() && w->IsArea() && (!c->IsArea() || (both & kEdgeLeavesArea));
    const uint32_t word = MakeEdgeWord(cost, bit30, bit31);
    const uint32_t hops = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{d.hops} + e.hops, UINT32_MAX));
    const TPairKey key{Id(u), Id(w), word & kEdgeFlags, 0};
    auto* known = pairs.Find(key);
    if (known) {
      TBypass& b = bypasses[known->value.bypass];
      TChEdge& edge = g.edges[b.edge];
      if (EdgeCost(edge.word) <= cost) return;
      size_t eEdge = e.edge;
      if (IsChainRestricted(u, c, w, dEdge, eEdge)) return;
      // The linked entries carry the word too: a search must see the new cost.
      Relink(u->outHead, w, edge.word, b.hops, word, hops);
      Relink(w->inHead, u, edge.word, b.hops, word, hops);
      edge.word = word;
      edge.via = c;
      edge.halves = TShortcutHalves{d.edge, e.edge};
      b.first = dEdge;
      b.second = eEdge;
      b.hops = hops;
      return;
    }
    for (const TChAdjEntry* x = u->outHead; x; x = x->next) {
      if (x->other == w && EdgeCost(x->word) <= cost && !(x->word & ~word & kEdgeFlags)) return;
    }
    size_t eEdge = e.edge;
    if (IsChainRestricted(u, c, w, dEdge, eEdge)) return;
    bypasses.Reserve(bypasses.Size() + 1);
    TPairKey added = key;
    added.bypass = static_cast<uint32_t>(bypasses.Size());
    pairs.InsertUnique(added);
    g.AddShortcut(u, w, c, cost, hops, bit30, bit31, TShortcutHalves{d.edge, e.edge});
    bypasses.PushBack(TBypass{g.edges.Size() - 1, dEdge, eEdge, hops});
  }

  static void Relink(TChAdjEntry* head, const TChNode* other, uint32_t oldWord, uint32_t oldHops, uint32_t word,
                     uint32_t hops) {
    for (TChAdjEntry* x = head; x; x = x->next) {
      if (x->other == other && x->word == oldWord && x->hops == oldHops) {
        x->word = word;
        x->hops = hops;
        return;
      }
    }
  }

  // Bypasses are the only edges appended during the run, in the order of
  // their entries.
  const TBypass* BypassOf(size_t edge) const {
    return edge != kNoEdge && edge >= firstBypass ? &bypasses[edge - firstBypass] : nullptr;
  }

  // The nodes of the path an edge stands for, from its from node up to its
  // to node (excluded): the first `limit` of them, or the last `limit`.
  void PathNodes(size_t edge, const TChNode* from, size_t limit, bool last, CReallocArray<const TChNode*>& out) {
    out.Clear();
    stack.Clear();
    if (edge == kNoEdge) {
      out.PushBack(from);
      return;
    }
    stack.PushBack(edge);
    while (!stack.Empty() && out.Size() < limit) {
      size_t x = stack.Back();
      stack.PopBack();
      const TBypass* b = BypassOf(x);
      if (!b) {
        out.PushBack(g.edges[x].from);
        continue;
      }
      if (b->first == kNoEdge || b->second == kNoEdge) {
        // Halves unknown: the path is known only at its ends.
        out.PushBack(last ? g.edges[x].via : g.edges[x].from);
        out.PushBack(last ? g.edges[x].from : g.edges[x].via);
        continue;
      }
      // Expand left to right for the head, right to left for the tail.
      stack.PushBack(last ? b->first : b->second);
      stack.PushBack(last ? b->second : b->first);
    }
    if (out.Size() > limit) out.Resize(limit);
    if (last) std::reverse(out.begin(), out.end());
  }

  // True when the path d (u -> c) then e (c -> w) runs through a whole
  // chain restriction. Stretches that lie within d or within e were checked
  // when those bypasses were made; only those that span c are new.
  bool IsChainRestricted(const TChNode* u, const TChNode* c, const TChNode* w, size_t dEdge, size_t eEdge) {
    if (maxRoads == 0) return false;
    PathNodes(dEdge, u, maxRoads, true, tail);
    PathNodes(eEdge, c, maxRoads, false, head);
    sequence.Clear();
    for (const TChNode* n : tail) sequence.PushBack(n);
    const size_t j = sequence.Size();  // position of c
    for (const TChNode* n : head) sequence.PushBack(n);
    sequence.PushBack(w);
    for (size_t length : lengths) {
      if (length < 2 || length > sequence.Size()) continue;
      // Windows [s, s + length) that hold both j - 1 and j + 1.
      size_t first = j + 2 > length ? j + 2 - length : 0;
      for (size_t s = first; s + 1 <= j && s + length <= sequence.Size(); s++) {
        if (MatchesChain(&sequence[s], length)) return true;
      }
    }
    return false;
  }

  // Chain order of the road graph against a path of `length` nodes.
  int CompareChain(const TRestrictionChain& ch, const TChNode* const* path, size_t length) const {
    if (ch.Roads.Size() != length) return ch.Roads.Size() < length ? -1 : 1;
    for (size_t i = 0; i < length; i++) {
      const TGeoMapNode& n = static_cast<const TGeoMapNode&>(*path[i]);
      if (int c = CompareSigned(ch.Roads[i], n.RoadId())) return c;
      if (int c = CompareSigned(ch.Nodes[i], n.StartNode())) return c;
    }
    if (ch.Nodes.Size() <= length) return -1;
    return CompareSigned(ch.Nodes[length], static_cast<const TGeoMapNode&>(*path[length - 1]).EndNode());
  }

  bool MatchesChain(const TChNode* const* path, size_t length) const {
    size_t lo = 0, hi = chains.Size();
    while (lo < hi) {
      size_t mid = lo + (hi - lo) / 2;
      if (CompareChain(chains[mid], path, length) < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo < chains.Size() && CompareChain(chains[lo], path, length) == 0;
  }

  CGeoMapGraph& g;
  const CReallocArray<TRestrictionChain>& chains;
  size_t maxRoads = 0;
  CReallocArray<size_t> lengths;  // distinct road counts of the chains
  CAvlTreeMap<TPairKey, TPairCompare>::TPool pairPool;
  CAvlTreeMap<TPairKey, TPairCompare> pairs;
  CReallocArray<TBypass> bypasses;
  const size_t firstBypass;
  CReallocArray<size_t> stack;
  CReallocArray<const TChNode*> tail, head, sequence;
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
    n.inHead = n.outHead = nullptr;
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

void CGeoMapGraph::Build(const TRoadGraph& roads, uint32_t metric, bool rebuild, const bool* stop) {
  if (rebuild) {
    edges.Resize(turnEdges);
    RecomputeCosts(roads, metric);
    ResetAdjacency();
  } else {
    BuildFromRoadGraph(roads, metric);
  }
  ProcessRestrictionChains(roads);

  CReallocArray<TChNode*> list;
  CollectUnranked(list);
  TOrderingState state(*this, kHeapEntriesPerBlock);
  // First contraction: only to find the core.
  OrderNodes(state, list, CompareNodesByStartNode, stop);
  if (Stopped(stop)) return;
  ClearAdjacency();
  for (size_t i = 0; i < edges.Size(); i++) LinkUpwardEdge(edges[i], static_cast<uint32_t>(i));

  CReallocArray<TChNode*> entries, exits;
  for (TGeoMapNode& n : nodes) {
    if (n.rank == kExcludedRank) continue;  // inner chain links are never external
    if (n.startExternal) entries.PushBack(&n);
    if (n.endExternal) exits.PushBack(&n);
  }
  SelectCoreNodes(state, entries, exits, list, stop);
  if (Stopped(stop)) return;

  ResetAdjacency();
  for (TChNode* n : list) {
    n->heapEntry = nullptr;
    n->rank = kCoreRank;
  }
  ProcessRestrictionChains(roads);
  CollectUnranked(list);
  OrderNodes(state, list, CompareNodesByStartNode, stop);
}

}  // namespace CH
