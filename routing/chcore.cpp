#include "routing/chcore.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <vector>

namespace CH {

namespace {

bool Stopped(const bool* stop) { return stop && *stop; }

// Witness labels never reach kUnreached by addition.
uint32_t AddLabel(uint32_t label, uint32_t cost) {
  uint64_t sum = static_cast<uint64_t>(label) + cost;
  return sum >= kUnreached ? kUnreached - 1 : static_cast<uint32_t>(sum);
}

uint32_t WitnessKey(const TChNode* n) { return n->labelA < n->labelB ? n->labelA : n->labelB; }

// Hop sums of one simulation stay far below what 1000 x H + D can hold in 64 bits.
constexpr int64_t kHopSumCap = int64_t{1} << 40;

// A node with more pairs without a witness keeps no notes: its updates
// simulate it afresh, and the notes of the dense top stay bounded (4 KB a
// node). 64 left a dense top, and the atlas's graph of joined cores, to
// fresh simulations: 10-16 % more nodes settled for the same shortcuts.
constexpr size_t kNotedPairsLimit = 256;

// Whether a sorted array holds a value.
bool Holds(const CReallocArray<uint32_t>& a, uint32_t x) { return std::binary_search(a.begin(), a.end(), x); }

// Whether a list holds the entry of a serial: its array is in link order,
// which is serial order. Without branches, as whether an entry stays is a
// coin toss to the predictor.
bool Holds(const TChAdjList& list, uint32_t serial) {
  if (list.size == 0) return false;
  const TChAdjEntry* e = list.data;
  for (uint32_t n = list.size; n > 1;) {
    const uint32_t half = n / 2;
    e = e[half].serial <= serial ? e + half : e;
    n -= half;
  }
  return e->serial == serial;
}

// Whether the entry takes a route out of the area: by a bit-30 edge or to a
// node outside it. An area node in state 1 may take no such entry.
inline bool LeavesArea(const TChAdjEntry& e) { return (e.word & kEdgeLeavesArea) || !e.other->IsArea(); }

// Whether an edge from u serves the pair u -> v -> w over f and o as its
// witness, as the witness search from u would take it.
bool DirectWitness(const TChNode* u, const TChAdjEntry& f, const TChNode* v, const TChAdjEntry& o) {
  const TChNode* w = o.other;
  const uint64_t length = static_cast<uint64_t>(EdgeCost(f.word)) + EdgeCost(o.word);
  const bool restricted = ((f.word | o.word) & kEdgeRestricted) != 0;
  const bool confined = v->IsArea() && u->IsArea() && w->IsArea() && !((f.word | o.word) & kEdgeLeavesArea);
  for (const TChAdjEntry& e : u->out) {
    if (e.other != w || EdgeCost(e.word) > length) continue;
    if (!restricted && (e.word & kEdgeRestricted)) continue;
    if (confined && (e.word & kEdgeLeavesArea)) continue;
    return true;
  }
  return false;
}

uint32_t PairHops(const TChAdjEntry& f, const TChAdjEntry& o) {
  return static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(f.hops) + o.hops, UINT32_MAX));
}

bool PairBefore(const TNeededPair& a, const TNeededPair& b) { return a.in != b.in ? a.in < b.in : a.out < b.out; }

// Whether a list sorted by PairBefore holds the pair of two entries.
bool KnownPair(const CReallocArray<TNeededPair>& known, uint32_t in, uint32_t out) {
  return std::binary_search(known.begin(), known.end(), TNeededPair{in, out, 0, 0}, PairBefore);
}

// The priority and the place in the tie-break order in one key: the sifts
// compare no nodes, and no two keys are equal.
struct TRankOrder {
  const uint32_t* places;  // by node id
  int64_t Key(const TChNode* n) const { return int64_t{n->rank} * (int64_t{1} << 32) + places[n->id]; }
  bool Tie(const TChNode*, const TChNode*) const { return false; }
};
using TOrderHeap = TNodeHeap<TChNode, TRankOrder>;

int32_t SimulatePriority(CGraph& graph, TOrderingState& state, TChNode* v) {
  state.counts.simulations++;
  int64_t d = 0, h = 0;
  graph.ContractNode(state, v, false, &d, &h, nullptr);
  return CGraph::Priority(d, h);
}

void ShrinkToFit(CReallocArray<TChNode*>& list) {
  if (list.capacity == list.Size()) return;
  CReallocArray<TChNode*> fitted;
  fitted.Assign(list.data, list.Size());
  list = std::move(fitted);
}

struct TPathEdge {
  TChNode* from;
  TChNode* to;
};
bool PathEdgeLess(const TPathEdge& a, const TPathEdge& b) {
  return a.from->id != b.from->id ? a.from->id < b.from->id : a.to->id < b.to->id;
}
void SortUnique(CReallocArray<TPathEdge>& edges) {
  std::sort(edges.begin(), edges.end(), PathEdgeLess);
  auto last = std::unique(edges.begin(), edges.end(), [](const TPathEdge& a, const TPathEdge& b) {
    return a.from == b.from && a.to == b.to;
  });
  edges.Resize(static_cast<size_t>(last - edges.begin()));
}

// One fact for the counting map of the core selection.
struct TCountEvent {
  TChNode* node;
  uint8_t terminal;
  uint8_t out;
  uint8_t in;
};

}  // namespace

bool CompareNodeIds(const TChNode* a, const TChNode* b) { return a->id < b->id; }

// ---- path label map ----

const TPathLabel* CPathLabelMap::Find(const TChNode* node) const {
  for (const TPathLabel* l : labels) {
    if (l->node == node) return l;
  }
  return nullptr;
}

TPathLabel* CPathLabelMap::Add(TChNode* node, TPathLabel* parent, uint32_t word) {
  labels.Reserve(labels.Size() + 1);
  TPathLabel* l = pool->Alloc();
  l->node = node;
  l->parent = parent;
  l->word = word;
  l->id = node->id;
  l->heapEntry = nullptr;
  l->mark = 0;
  l->stalled = false;
  labels.PushBack(l);
  return l;
}

// ---- search stamp ----

void CSearchStamp::Reset(CGraph& graph) {
  value = 0;
  graph.ForEachNode([](TChNode& n) { n.flags &= ~kStampMask; });
}

void CSearchStamp::Advance(CGraph& graph) {
  value = (value + 1) & kStampMask;
  if (value == 0) {
    // Every node, not only those being ordered: core nodes keep their edges
    // and are reached too, and their old marks must not pass for new ones.
    graph.ForEachNode([](TChNode& n) { n.flags &= ~kStampMask; });
    value = 1;
  }
}

// ---- adjacency store ----

TChAdjEntry* CAdjacencyStore::Alloc(uint32_t sizeClass) {
  if (unsigned char* block = freeBlocks[sizeClass]) {
    std::memcpy(&freeBlocks[sizeClass], block, sizeof(unsigned char*));
    return reinterpret_cast<TChAdjEntry*>(block);
  }
  const size_t bytes = (size_t{2} << sizeClass) * sizeof(TChAdjEntry);
  if (bytes > left) {
    const size_t slabBytes = std::max(bytes, kSlabBytes);
    slabs.Reserve(slabs.Size() + 1);
    unsigned char* slab = new unsigned char[slabBytes];  // throws std::bad_alloc
    NoteHeapGrowth();
    slabs.PushBack(slab);
    if (slabBytes == bytes) return reinterpret_cast<TChAdjEntry*>(slab);  // a slab of its own
    cursor = slab;
    left = slabBytes;
  }
  unsigned char* block = cursor;
  cursor += bytes;
  left -= bytes;
  return reinterpret_cast<TChAdjEntry*>(block);
}

void CAdjacencyStore::Grow(TChAdjList& list) {
  if (list.capacity >= (uint32_t{1} << 31)) throw std::bad_alloc();
  const uint32_t sizeClass = list.capacity ? static_cast<uint32_t>(std::countr_zero(list.capacity)) : 0;
  TChAdjEntry* block = Alloc(sizeClass);
  if (list.size) std::memcpy(static_cast<void*>(block), list.data, list.size * sizeof(TChAdjEntry));
  const uint32_t size = list.size;
  Release(list);
  list.data = block;
  list.size = size;
  list.capacity = uint32_t{2} << sizeClass;
}

void CAdjacencyStore::Erase(TChAdjList& list, uint32_t index) {
  std::memmove(static_cast<void*>(list.data + index), list.data + index + 1,
               (list.size - index - 1) * sizeof(TChAdjEntry));
  list.size--;
}

void CAdjacencyStore::Release(TChAdjList& list) {
  if (list.capacity) {
    const uint32_t sizeClass = static_cast<uint32_t>(std::countr_zero(list.capacity)) - 1;
    unsigned char* block = reinterpret_cast<unsigned char*>(list.data);
    std::memcpy(block, &freeBlocks[sizeClass], sizeof(unsigned char*));
    freeBlocks[sizeClass] = block;
  }
  list = TChAdjList{};
}

void CAdjacencyStore::FreeBlocks() {
  for (unsigned char* slab : slabs) delete[] slab;
  slabs.Free();
  for (unsigned char*& head : freeBlocks) head = nullptr;
  cursor = nullptr;
  left = 0;
}

// ---- linking ----

void CGraph::RemoveEntryTo(TChAdjList& list, const TChNode* other) {
  for (uint32_t i = list.size; i-- > 0;) {
    if (list.data[i].other == other) {
      adjacency.Erase(list, i);
      return;
    }
  }
}

uint32_t CGraph::NextSerial() {
  // A graph links far fewer than 2^32 edges; a wrap would pass old entries for new.
  if (linkSerial == UINT32_MAX) throw std::length_error("too many edges linked");
  return linkSerial++;
}

void CGraph::LinkEdge(const TChEdgeRecord& edge, uint32_t hops, uint32_t index) {
  const uint32_t serial = NextSerial();
  adjacency.Push(edge.from->out, TChAdjEntry{edge.to, edge.word, hops, index, serial});
  adjacency.Push(edge.to->in, TChAdjEntry{edge.from, edge.word, hops, index, serial});
}

void CGraph::LinkUpwardEdge(const TChEdgeRecord& edge, uint32_t index) {
  const uint32_t serial = NextSerial();
  if (edge.to->rank >= edge.from->rank) adjacency.Push(edge.from->out, TChAdjEntry{edge.to, edge.word, 0, index, serial});
  if (edge.from->rank >= edge.to->rank) adjacency.Push(edge.to->in, TChAdjEntry{edge.from, edge.word, 0, index, serial});
}

void CGraph::ClearAdjacency() {
  ForEachNode([](TChNode& n) { n.in = n.out = TChAdjList{}; });
  adjacency.FreeBlocks();
}

void CGraph::UnlinkNode(TChNode* node) {
  for (const TChAdjEntry& d : node->in) {
    if (d.other != node) RemoveEntryTo(d.other->out, node);
  }
  for (const TChAdjEntry& e : node->out) {
    if (e.other != node) RemoveEntryTo(e.other->in, node);
  }
  adjacency.Release(node->in);
  adjacency.Release(node->out);
}

// ---- contraction ----

int32_t CGraph::Priority(int64_t edgeDifference, int64_t hopSum) {
  int64_t p = hopSum * 1000 + edgeDifference;
  if (p > kCoreRank - 1) return kCoreRank - 1;
  if (p < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(p);
}

void CGraph::MakeShortcut(const TChAdjEntry& in, const TChAdjEntry& out, TChNode* v) {
  TChNode* u = in.other;
  TChNode* w = out.other;
  uint32_t both = in.word | out.word;
  // Sums beyond 30 bits keep the largest cost rather than wrapping to a
  // small one: such a path is no shorter than any path it could hide.
  uint64_t cost = static_cast<uint64_t>(EdgeCost(in.word)) + EdgeCost(out.word);
  uint64_t hops = static_cast<uint64_t>(in.hops) + out.hops;
  bool bit31 = (both & kEdgeRestricted) != 0;
  bool bit30 = u->IsArea() && w->IsArea() && (!v->IsArea() || (both & kEdgeLeavesArea) != 0);
  AddShortcut(u, w, v, static_cast<uint32_t>(std::min<uint64_t>(cost, kCostMask)),
              static_cast<uint32_t>(std::min<uint64_t>(hops, UINT32_MAX)), bit30, bit31,
              TShortcutHalves{in.edge, out.edge});
}

// A path u -> v -> w over the entries f and o is legal for a route that
// starts at u in area state 0 unless it reaches the area node v in state 1
// (u lies outside or f leaves the area) and then leaves v for good (w lies
// outside or o leaves the area). A route in state 1 can never use a path
// that is illegal in state 0, so nothing else is ever refused.
bool CGraph::PairLegal(const TChNode* u, const TChAdjEntry& f, const TChNode* v, const TChAdjEntry& o) {
  if (!v->IsArea()) return true;
  const bool arrivesLeft = !u->IsArea() || (f.word & kEdgeLeavesArea);
  const bool leaves = LeavesArea(o);
  return !(arrivesLeft && leaves);
}

void CGraph::PrepareTargets(TOrderingState& state, const TChNode* v) {
  CReallocArray<uint32_t>& lastEdges = state.lastEdges;
  lastEdges.Clear();
  if (!state.witnessEarlyEnd) return;
  for (const TChAdjEntry& o : v->out) {
    uint32_t cheapest = UINT32_MAX;
    for (const TChAdjEntry& e : o.other->in) {
      if (e.other != v) cheapest = std::min(cheapest, EdgeCost(e.word));
    }
    lastEdges.PushBack(cheapest);
  }
}

void CGraph::ShortWitnesses(TOrderingState& state, const TChNode* v, const TChAdjEntry& f, uint32_t& targets,
                            uint32_t& maxOut) {
  const TChNode* u = f.other;
  if (u->IsArea()) return;  // whether a path may leave an area node depends on how it got there
  // The out-neighbours of u, with the cheapest unrestricted edge to each:
  // marks of a search of their own, which the next search makes stale.
  CSearchStamp& stamp = state.stamp;
  stamp.Advance(*this);
  for (const TChAdjEntry& e : u->out) {
    TChNode* x = e.other;
    if (x == v || (e.word & kEdgeRestricted)) continue;
    const uint32_t cost = EdgeCost(e.word);
    if (!stamp.IsCurrent(*x)) {
      stamp.Mark(*x);
      x->labelA = cost;
    } else {
      x->labelA = std::min(x->labelA, cost);
    }
  }
  // A path u -> x -> w from outside the area leaves x freely unless x lies
  // in the area; without restricted edges it serves a pair of either kind.
  CReallocArray<uint8_t>& kinds = state.pairKinds;
  maxOut = 0;
  size_t i = 0;
  for (const TChAdjEntry& o : v->out) {
    if (kinds[i] == kPairOpen) {
      const TChNode* w = o.other;
      const uint64_t length = static_cast<uint64_t>(EdgeCost(f.word)) + EdgeCost(o.word);
      bool witnessed = stamp.IsCurrent(*w) && w->labelA <= length;
      for (const TChAdjEntry& g : w->in) {
        if (witnessed) break;
        const TChNode* x = g.other;
        if (x == v || !stamp.IsCurrent(*x) || x->IsArea() || (g.word & kEdgeRestricted)) continue;
        witnessed = static_cast<uint64_t>(x->labelA) + EdgeCost(g.word) <= length;
      }
      if (witnessed) {
        kinds[i] = kPairNone;
        targets--;
      } else {
        maxOut = std::max(maxOut, EdgeCost(o.word));
      }
    }
    i++;
  }
}

void CGraph::DecideRow(TOrderingState& state, TChNode* v, const TChAdjEntry& f, CReallocArray<uint8_t>& needs) {
  TChNode* u = f.other;
  CReallocArray<uint8_t>& kinds = state.pairKinds;
  const CReallocArray<uint32_t>& lastEdges = state.lastEdges;
  // Pairs that stay in the area serve routes that are confined to it
  // (state 1 at u): their witnesses must stay in it too. The others
  // serve routes in state 0 only, which leave the area behind them.
  const bool inArea = v->IsArea() && u->IsArea() && !(f.word & kEdgeLeavesArea);
  uint32_t targets[2] = {0, 0}, maxOut[2] = {0, 0};
  kinds.Clear();
  size_t i = 0;
  for (const TChAdjEntry& o : v->out) {
    TChNode* w = o.other;
    uint8_t kind = kPairNone;
    if (needs[i++] && w != u && w != v) {
      kind = inArea && w->IsArea() && !(o.word & kEdgeLeavesArea) ? kPairInArea : kPairOpen;
      targets[kind]++;
      maxOut[kind] = std::max(maxOut[kind], EdgeCost(o.word));
    }
    kinds.PushBack(kind);
  }
  // Witnesses of one or two edges are found without a search; at the dense
  // top of a graph most pairs have one, and a search runs to the longest
  // pair left.
  if (targets[kPairOpen]) ShortWitnesses(state, v, f, targets[kPairOpen], maxOut[kPairOpen]);
  for (uint8_t kind : {kPairOpen, kPairInArea}) {
    if (kind == kPairInArea && targets[kind] == 0) break;
    if (targets[kind] && state.lastEdges.Empty()) PrepareTargets(state, v);
    i = 0;
    state.witnessTargets.Clear();
    for (const TChAdjEntry& o : v->out) {
      if (kinds[i++] != kind) continue;
      o.other->flags |= kNodeTarget;
      if (state.witnessEarlyEnd) {
        state.witnessTargets.PushBack(TWitnessTarget{o.other, EdgeCost(f.word) + EdgeCost(o.word), lastEdges[i - 1],
                                                     ((f.word | o.word) & kEdgeRestricted) != 0});
      }
    }
    WitnessSearch(state, u, v, targets[kind], EdgeCost(f.word) + maxOut[kind], kind == kPairInArea);
    state.witnessTargets.Clear();
    i = 0;
    for (const TChAdjEntry& o : v->out) {
      if (kinds[i] == kind) {
        TChNode* w = o.other;
        w->flags &= ~kNodeTarget;
        uint64_t length = static_cast<uint64_t>(EdgeCost(f.word)) + EdgeCost(o.word);
        if (state.stamp.IsCurrent(*w)) {
          uint32_t bound = ((f.word | o.word) & kEdgeRestricted) ? WitnessKey(w) : w->labelA;
          if (length >= bound) kinds[i] = kPairNone;  // a witness is no longer
        }
      }
      i++;
    }
  }
  for (i = 0; i < kinds.Size(); i++) needs[i] = kinds[i] != kPairNone;
}

void CGraph::ContractNode(TOrderingState& state, TChNode* v, bool perform, int64_t* edgeDifference,
                          int64_t* hopSum, CReallocArray<TChNode*>* neighbours, CReallocArray<TNeededPair>* needed,
                          const CReallocArray<TNeededPair>* known) {
  int64_t d = 0, h = 0;
  if (perform) neighbours->Clear();
  if (needed) needed->Clear();
  CReallocArray<uint32_t>& lastEdges = state.lastEdges;
  CReallocArray<uint8_t>& needs = state.pairNeeds;
  lastEdges.Clear();  // found at the first search
  // In list order. When performing, each in-entry is unlinked after its
  // pairs, so the next one is always at the head (shortcuts never enter v's
  // lists, and its blocks stay where they are).
  for (uint32_t fi = v->in.size; fi-- > 0;) {
    TChAdjEntry* f = &v->in.data[fi];
    TChNode* u = f->other;
    d--;
    // A self-loop lies on no shortest path: it pairs with nothing.
    bool uIsOutNeighbour = u == v;
    if (u != v) {
      needs.Clear();
      for (const TChAdjEntry& o : v->out) {
        uIsOutNeighbour |= o.other == u;
        needs.PushBack(known ? KnownPair(*known, f->serial, o.serial) : 1);
      }
      if (!known) DecideRow(state, v, *f, needs);
      size_t i = 0;
      for (const TChAdjEntry& oe : v->out) {
        const TChAdjEntry* o = &oe;
        if (!needs[i++]) continue;
        h = std::min<int64_t>(h + f->hops + o->hops, kHopSumCap);
        const bool legal = PairLegal(u, *f, v, *o);
        if (needed) needed->PushBack(TNeededPair{f->serial, o->serial, PairHops(*f, *o), legal});
        if (!legal) continue;  // no route can take it
        // Without searches, a shortcut made for an earlier in-entry from u
        // (a parallel edge into v) is the one witness to look for.
        if (perform && known && DirectWitness(u, *f, v, *o)) continue;
        d++;
        if (perform) {
          MakeShortcut(*f, *o, v);
          state.counts.shortcuts++;
          if (!lastEdges.Empty()) {
            // The shortcut is an edge into w that later searches may end with.
            const uint32_t cost = std::min(EdgeCost(f->word) + EdgeCost(o->word), kCostMask);
            size_t k = 0;
            for (const TChAdjEntry& x : v->out) {
              if (x.other == o->other) lastEdges[k] = std::min(lastEdges[k], cost);
              k++;
            }
          }
        }
      }
    }
    if (perform) {
      if (!uIsOutNeighbour) neighbours->PushBack(u);
      v->in.size--;  // f, the head
      if (u == v && !lastEdges.Empty()) {
        // A self-loop leaves v's out-list too: keep the bounds in step with it.
        size_t k = 0;
        for (const TChAdjEntry& o : v->out) {
          if (o.other == v) break;
          k++;
        }
        lastEdges.Erase(k, k + 1);
      }
      RemoveEntryTo(u->out, v);
    }
  }
  for (const TChAdjEntry& o : v->out) {
    d--;
    if (perform) {
      TChNode* w = o.other;
      neighbours->PushBack(w);
      RemoveEntryTo(w->in, v);
    }
  }
  if (perform) {
    adjacency.Release(v->in);
    adjacency.Release(v->out);
  }
  *edgeDifference = d;
  *hopSum = h;
}

void CGraph::WitnessPush(TOrderingState& state, TChNode* node, uint32_t hops) {
  CReallocArray<TWitnessItem>& heap = state.witnessHeap;
  const TWitnessItem item{WitnessKey(node), hops, node};
  heap.PushBack(item);
  size_t p = heap.Size() - 1;
  while (p > 0) {
    size_t parent = (p - 1) / 4;
    if (!(item.key < heap[parent].key)) break;
    heap[p] = heap[parent];
    p = parent;
  }
  heap[p] = item;
}

TWitnessItem CGraph::WitnessPop(TOrderingState& state) {
  CReallocArray<TWitnessItem>& heap = state.witnessHeap;
  const TWitnessItem top = heap[0];
  const TWitnessItem last = heap.Back();
  heap.PopBack();
  const size_t n = heap.Size();
  if (n) {
    TWitnessItem* h = heap.data;
    size_t p = 0;
    for (;;) {
      size_t child = 4 * p + 1;
      if (child >= n) break;
      // The smallest of up to four children, the first on equal keys;
      // without branches, as the comparisons are coin tosses.
      size_t best = child;
      uint32_t bestKey = h[child].key;
      const size_t end = std::min(child + 4, n);
      for (size_t c = child + 1; c < end; c++) {
        const bool less = h[c].key < bestKey;
        best = less ? c : best;
        bestKey = less ? h[c].key : bestKey;
      }
      if (!(bestKey < last.key)) break;
      h[p] = h[best];
      p = best;
    }
    h[p] = last;
  }
  return top;
}

namespace {
uint32_t LongestPair(const TWitnessTarget* pairs, size_t count) {
  uint32_t longest = pairs[0].length;
  for (size_t i = 1; i < count; i++) longest = std::max(longest, pairs[i].length);
  return longest;
}
// One more than the largest key a node may have and still be the last stop
// before the end of a witness of an open pair; 0 when no pair can have one.
uint64_t SettleBelow(const TWitnessTarget* pairs, size_t count) {
  uint64_t below = 0;
  for (size_t i = 0; i < count; i++) {
    if (pairs[i].lastEdge <= pairs[i].length) below = std::max<uint64_t>(below, pairs[i].length - pairs[i].lastEdge + 1);
  }
  return below;
}
}  // namespace

// Drops the open pairs that the labels of w now witness; true when none is
// left open. Otherwise limit becomes the longest open pair and settleBelow
// the bound of the nodes that may still end a witness.
bool CGraph::WitnessPairs(TWitnessTarget* pairs, CTargetPoints* near, size_t& open, const TChNode* w,
                          uint32_t& limit, uint64_t& settleBelow) {
  bool dropped = false;
  for (size_t i = 0; i < open;) {
    const TWitnessTarget& t = pairs[i];
    if (t.node == w && t.length >= (t.restricted ? WitnessKey(w) : w->labelA)) {
      if (near) near->SwapOut(i, open);
      std::swap(pairs[i], pairs[--open]);
      dropped = true;
    } else {
      i++;
    }
  }
  if (!dropped) return false;
  if (open == 0) return true;
  limit = LongestPair(pairs, open);
  settleBelow = SettleBelow(pairs, open);
  return false;
}

namespace {
// One distance per landmark; a lane holds what one landmark's bound would.
typedef uint32_t TLandmarkBound __attribute__((vector_size(16)));
static_assert(sizeof(TLandmarkBound) == sizeof(uint32_t) * kLandmarks);

TLandmarkBound LoadLandmarks(const uint32_t* distances) {
  TLandmarkBound v;
  std::memcpy(&v, distances, sizeof v);
  return v;
}
TLandmarkBound Min(TLandmarkBound a, TLandmarkBound b) {
  const TLandmarkBound less = reinterpret_cast<TLandmarkBound>(a < b);
  return (a & less) | (b & ~less);
}
TLandmarkBound Max(TLandmarkBound a, TLandmarkBound b) {
  const TLandmarkBound more = reinterpret_cast<TLandmarkBound>(a > b);
  return (a & more) | (b & ~more);
}
// a - b where a exceeds b, else 0.
TLandmarkBound Above(TLandmarkBound a, TLandmarkBound b) {
  return (a - b) & reinterpret_cast<TLandmarkBound>(a > b);
}
}  // namespace

void CTargetPoints::Assign(size_t count) {
  lanes.Resize((count + kLane - 1) / kLane);
  for (size_t i = count; i < lanes.Size() * kLane; i++) Set(i, 0, 0, -1);
}

void CTargetPoints::SwapOut(size_t i, size_t count) {
  const TLane& last = lanes[(count - 1) / kLane];
  const size_t at = (count - 1) % kLane;
  Set(i, last.x[at], last.y[at], last.length[at]);
  Set(count - 1, 0, 0, -1);
}

void CGraph::WitnessSearch(TOrderingState& state, TChNode* u, TChNode* v, uint32_t targets, uint32_t limit,
                           bool confined) {
  CSearchStamp& stamp = state.stamp;
  stamp.Advance(*this);
  if (targets == 0) return;
  TContractionCounts& counts = state.counts;
  counts.witnessSearches++;
  stamp.Mark(*u);
  u->labelA = 0;
  u->labelB = kUnreached;
  u->flags = confined ? (u->flags | kNodePathState) : (u->flags & ~kNodePathState);
  state.witnessHeap.Clear();
  WitnessPush(state, u, 0);
  // The key goes with the item: a label lowered later pushes the node again.
  uint32_t settleLeft = state.witnessSettledLimit ? state.witnessSettledLimit : UINT32_MAX;
  // Searches bounded by points or landmarks stay near their targets: a
  // limit on their edges would only hide witnesses (g100000 Distance 1.1 %,
  // Time 4 % more shortcuts with it). The settled limit stays.
  const bool bounded = pointBounds || landmarkBounds;
  const uint32_t hopLimit = bounded || !state.witnessHopLimit ? UINT32_MAX : state.witnessHopLimit;
  // The listed pairs not yet witnessed come first; the caller's limit is
  // the longest of them. Labels only fall, so a witnessed pair stays
  // witnessed, and once every key left in the heap exceeds the longest open
  // pair no label can witness another: the labels the caller reads are then
  // final.
  TWitnessTarget* pairs = state.witnessTargets.data;
  size_t open = state.witnessTargets.Size();
  // A witness ends with an edge into its target, so once every key left
  // exceeds each open pair's length less its cheapest such edge, no node
  // still to settle can lower a label to a witness.
  uint64_t settleBelow = open ? SettleBelow(pairs, open) : UINT64_MAX;
  // The box around the targets' points: a node farther from it than the
  // limit leaves room for, or farther from each open target than that
  // pair's length leaves room for, leads to no witness: it is not expanded.
  const bool byPoints = pointBounds && open;
  CTargetPoints& near = state.targetPoints;
  float boxX0 = 0, boxX1 = 0, boxY0 = 0, boxY1 = 0;
  if (byPoints) {
    boxX0 = boxX1 = pairs[0].node->point.x;
    boxY0 = boxY1 = pairs[0].node->point.y;
    near.Assign(open);
    for (size_t i = 0; i < open; i++) {
      const TBoundPoint t = pairs[i].node->point;
      near.Set(i, t.x, t.y, static_cast<float>(pairs[i].length));
      boxX0 = std::min(boxX0, t.x), boxX1 = std::max(boxX1, t.x);
      boxY0 = std::min(boxY0, t.y), boxY1 = std::max(boxY1, t.y);
    }
  }
  // Over the open targets, per landmark: the least distance from it and the
  // largest to it. A node w then lies at least from(t) - from(w) and
  // to(w) - to(t) from every target t; only positive differences count.
  // Unreached is the largest distance: a node the landmark does not reach
  // (or that does not reach it) gets no bound on that side, and where an
  // unreached target makes one, it holds (were there a path from w to t,
  // the landmark would reach t, or w the landmark).
  const bool byLandmarks = landmarkBounds && open;
  TLandmarkBound nearFrom = {}, farTo = {};
  if (byLandmarks) {
    nearFrom = LoadLandmarks(pairs[0].node->landmarks.from);
    farTo = LoadLandmarks(pairs[0].node->landmarks.to);
    for (size_t i = 1; i < open; i++) {
      nearFrom = Min(nearFrom, LoadLandmarks(pairs[i].node->landmarks.from));
      farTo = Max(farTo, LoadLandmarks(pairs[i].node->landmarks.to));
    }
  }
  bool decided = false;
  // Counted in registers: the loop stores to the nodes it reaches.
  uint64_t settled = 0, scanned = 0;
  while (!decided && !state.witnessHeap.Empty()) {
    const TWitnessItem item = WitnessPop(state);
    if (item.key > limit || item.key >= settleBelow) break;
    TChNode* r = item.node;
    if ((r->flags & kNodeSettled) && stamp.IsCurrent(*r)) continue;  // an older copy
    settled++;
    // The next node to settle is likely the heap's top now: its adjacency
    // array is read next.
    if (!state.witnessHeap.Empty()) __builtin_prefetch(state.witnessHeap[0].node->out.data);
    if ((r->flags & kNodeTarget) && --targets == 0) break;
    if (--settleLeft == 0) break;
    r->flags |= kNodeSettled;
    if (item.hops >= hopLimit) continue;
    const uint32_t a = r->labelA, b = r->labelB, m = WitnessKey(r);
    const bool rArea = r->IsArea();
    const bool rState = (r->flags & kNodePathState) != 0;
    const TChAdjEntry* const entries = r->out.data;
    for (uint32_t k = r->out.size; k-- > 0;) {
      const TChAdjEntry* e = entries + k;
      // The nodes are reached out of order: ask for the next one early.
      if (k > 0) __builtin_prefetch(e[-1].other);
      TChNode* w = e->other;
      scanned++;
      if (w == v) continue;
      uint32_t c = EdgeCost(e->word);
      if (static_cast<uint64_t>(m) + c > limit) continue;
      if (rArea && rState && LeavesArea(*e)) continue;
      bool restricted = (e->word & kEdgeRestricted) != 0;
      uint32_t newA = !restricted && a != kUnreached ? AddLabel(a, c) : kUnreached;
      uint32_t newB = restricted || b != kUnreached ? AddLabel(m, c) : kUnreached;
      const bool pathState = (e->word & kEdgeLeavesArea) || !rArea || rState;
      if (!stamp.IsCurrent(*w)) {
        stamp.Mark(*w);
        w->labelA = newA;
        w->labelB = newB;
        w->flags &= ~kNodePathState;
      } else {
        bool improved = false;
        if (newA < w->labelA) {
          w->labelA = newA;
          improved = true;
        }
        if (newB < w->labelB) {
          w->labelB = newB;
          improved = true;
        }
        if (!improved) continue;
      }
      // Its labels may come from different paths: it is expanded under the
      // rule of the most confined of them, so every label it passes on
      // belongs to a legal path.
      if (pathState) w->flags |= kNodePathState;
      if ((w->flags & kNodeTarget) && open &&
          WitnessPairs(pairs, byPoints ? &near : nullptr, open, w, limit, settleBelow)) {
        decided = true;
        break;
      }
      // A node that could not be settled needs no place in the heap.
      if (WitnessKey(w) >= settleBelow) continue;
      if (byLandmarks) {
        // All landmarks at once, without branches: the bounds of one node
        // are coin tosses.
        const TLandmarkBound bound = Max(Above(nearFrom, LoadLandmarks(w->landmarks.from)),
                                         Above(LoadLandmarks(w->landmarks.to), farTo));
        const uint32_t most = std::max(std::max(bound[0], bound[1]), std::max(bound[2], bound[3]));
        if (uint64_t{WitnessKey(w)} + most > limit) continue;
      }
      if (byPoints) {
        // First against the box, then against each open target with its
        // own length.
        const TBoundPoint p = w->point;
        const float dx = std::max(0.0f, std::max(boxX0 - p.x, p.x - boxX1));
        const float dy = std::max(0.0f, std::max(boxY0 - p.y, p.y - boxY1));
        const float key = static_cast<float>(WitnessKey(w));
        const float room = static_cast<float>(limit) - key;
        if (room < 0 || dx * dx + dy * dy > room * room) continue;
        if (!near.Near(p.x, p.y, key, open)) continue;
      }
      WitnessPush(state, w, item.hops + 1);
    }
  }
  counts.settledNodes += settled;
  counts.scannedEdges += scanned;
  state.witnessHeap.Clear();
}

void CGraph::PerformContraction(TOrderingState& state, TChNode* v, bool fromNotes) {
  int64_t d = 0, h = 0;
  if (!state.incrementalUpdates) {
    ContractNode(state, v, true, &d, &h, &state.neighbours);
    return;
  }
  // The notes of a node simulated just now: its pairs without a witness.
  const CReallocArray<TNeededPair>* known = nullptr;
  if (fromNotes && v->id < state.notes.Size() && state.notes[v->id].valid) {
    CReallocArray<TNeededPair>& pairs = state.notes[v->id].pairs;
    std::sort(pairs.begin(), pairs.end(), PairBefore);
    known = &pairs;
  }
  ContractNode(state, v, true, &d, &h, &state.neighbours, nullptr, known);
  if (v->id < state.notes.Size()) state.notes[v->id] = TNodeNotes{};
  state.contractions++;
}

namespace {
TNodeNotes& NotesOf(TOrderingState& state, const TChNode* n) {
  if (n->id >= state.notes.Size()) state.notes.Resize(static_cast<size_t>(n->id) + 1);
  return state.notes[n->id];
}
}  // namespace

int32_t CGraph::SimulateAndNote(TOrderingState& state, TChNode* n) {
  TNodeNotes& notes = NotesOf(state, n);
  state.counts.simulations++;
  int64_t d = 0, h = 0;
  ContractNode(state, n, false, &d, &h, nullptr, &notes.pairs);
  notes.serial = linkSerial;
  notes.valid = notes.pairs.Size() <= kNotedPairsLimit;
  if (!notes.valid) notes.pairs.Free();
  return Priority(d, h);
}

int32_t CGraph::UpdatePriority(TOrderingState& state, TChNode* n) {
  TNodeNotes& notes = NotesOf(state, n);
  if (!notes.valid) return SimulateAndNote(state, n);
  state.counts.simulations++;
  CReallocArray<TNeededPair>& pairs = notes.pairs;
  // The pairs of entries that went are dropped.
  const TChAdjList& ins = n->in;
  const TChAdjList& outs = n->out;
  size_t kept = 0;
  CReallocArray<uint32_t>& viaRows = state.viaRows;
  CReallocArray<uint32_t>& viaColumns = state.viaColumns;
  viaRows.Clear();
  viaColumns.Clear();
  // The pairs come row by row: each in-entry is looked up once per row
  // (no serial is UINT32_MAX).
  uint32_t rowIn = UINT32_MAX;
  bool inStays = false;
  for (const TNeededPair& p : pairs) {
    if (p.in != rowIn) {
      inStays = Holds(ins, p.in);
      rowIn = p.in;
    }
    const bool outStays = Holds(outs, p.out);
    if (inStays && outStays) {
      pairs[kept++] = p;
    } else if (inStays) {
      viaRows.PushBack(p.in);
    } else if (outStays) {
      viaColumns.PushBack(p.out);
    }
  }
  pairs.Resize(kept);
  std::sort(viaRows.begin(), viaRows.end());
  std::sort(viaColumns.begin(), viaColumns.end());
  const bool guess = state.guessFreshPairs;
  // Out-entries that came pair with every in-entry; in-entries that came
  // with every out-entry. The pairs of the others stand as noted.
  CReallocArray<uint8_t>& freshOut = state.freshColumns;
  freshOut.Clear();
  bool anyFreshOut = false;
  for (const TChAdjEntry& o : n->out) {
    const bool fresh = o.serial >= notes.serial;
    freshOut.PushBack(fresh);
    anyFreshOut |= fresh;
  }
  state.lastEdges.Clear();  // found at the first search
  CReallocArray<uint8_t>& needs = state.pairNeeds;
  for (uint32_t fi = n->in.size; fi-- > 0;) {
    const TChAdjEntry& f = n->in.data[fi];
    if (f.other == n) continue;
    const bool freshIn = f.serial >= notes.serial;
    if (!freshIn && !anyFreshOut) continue;
    needs.Clear();
    bool any = false;
    size_t c = 0;
    for (const TChAdjEntry& o : n->out) {
      const bool fresh = freshOut[c++];
      bool need = freshIn || fresh;
      if (guess && need && !(freshIn && fresh)) {
        // A fresh entry replaces one to or from the contracted node: where
        // that one's pair had a witness, so does the new one (as a rule).
        need = freshIn ? Holds(viaColumns, o.serial) : Holds(viaRows, f.serial);
      }
      needs.PushBack(need);
      any |= need;
    }
    if (!any) continue;
    DecideRow(state, n, f, needs);
    size_t i = 0;
    for (const TChAdjEntry& o : n->out) {
      if (!needs[i++]) continue;
      pairs.PushBack(TNeededPair{f.serial, o.serial, PairHops(f, o), PairLegal(f.other, f, n, o)});
    }
  }
  notes.serial = linkSerial;
  int64_t d = -static_cast<int64_t>(n->in.size) - n->out.size, h = 0;
  for (const TNeededPair& p : pairs) {
    h = std::min<int64_t>(h + p.hops, kHopSumCap);
    d += p.legal;
  }
  if (pairs.Size() > kNotedPairsLimit) {
    notes.valid = false;
    pairs.Free();
  }
  return Priority(d, h);
}

void CGraph::OrderNodes(TOrderingState& state, CReallocArray<TChNode*>& nodes, TTieBreak tieBreak,
                        const bool* stop) {
  if (!tieBreak) tieBreak = CompareNodeIds;
  state.counts = TContractionCounts{};
  // All nodes, not only the listed ones: nodes left out of this ordering
  // (the core) still carry marks of an earlier run that the restarted
  // counter would meet again.
  state.stamp.Reset(*this);
  const bool incremental = state.incrementalUpdates;
  uint32_t idLimit = 0;
  for (const TChNode* n : nodes) idLimit = std::max(idLimit, n->id + 1);
  state.notes.Free();
  if (incremental) state.notes.Resize(idLimit);
  auto simulate = [&](TChNode* n) { return incremental ? SimulateAndNote(state, n) : SimulatePriority(*this, state, n); };
  for (TChNode* n : nodes) n->rank = simulate(n);

  // Each node's place in the tie-break order, once, instead of a
  // comparison of two nodes at every tie in the heap.
  CReallocArray<uint32_t> tiePlaces;  // by node id
  {
    CReallocArray<TChNode*> sorted;
    sorted.Assign(nodes.data, nodes.Size());
    std::sort(sorted.begin(), sorted.end(), tieBreak);
    tiePlaces.Resize(idLimit);
    for (size_t i = 0; i < sorted.Size(); i++) tiePlaces[sorted[i]->id] = static_cast<uint32_t>(i);
  }
  TOrderHeap heap(state.heapEntriesPerBlock, TRankOrder{tiePlaces.data});
  heap.Build(nodes.data, nodes.Size());
  uint32_t changes = 0;
  const uint32_t rebuildAfter = std::max<uint32_t>(
      state.rebuildAfterChanges, state.rebuildShare ? static_cast<uint32_t>(std::min<size_t>(nodes.Size() / state.rebuildShare, UINT32_MAX)) : 0);
  int32_t nextRank = 0;
  while (!heap.Empty() && !Stopped(stop)) {
    TChNode* top = heap.Top();
    int32_t priority = simulate(top);
    if (priority != top->rank) {
      state.counts.priorityChanges++;
      if (++changes == rebuildAfter) {
        // Lazy updates have drifted: simulate every waiting node again.
        changes = 0;
        state.counts.rebuilds++;
        nodes.Resize(heap.Size());
        for (size_t i = 0; i < nodes.Size(); i++) nodes[i] = heap.At(i);
        for (TChNode* n : nodes) {
          if (Stopped(stop)) break;
          n->rank = simulate(n);
        }
        ShrinkToFit(nodes);
        heap.Build(nodes.data, nodes.Size());
      } else {
        top->rank = priority;
        heap.Update(top->heapEntry);
        if (heap.Top() != top) continue;
      }
    }
    if (Stopped(stop)) break;
    top = heap.Top();
    top->rank = nextRank++;
    heap.Pop();
    PerformContraction(state, top, true);
    if (state.neighbourUpdateLimit && state.neighbours.Size() > state.neighbourUpdateLimit) {
      continue;  // the notes catch up at the next update
    }
    for (TChNode* n : state.neighbours) {
      if (!n->heapEntry) continue;
      if (Stopped(stop)) break;
      if (incremental) {
        TNodeNotes& notes = state.notes[n->id];
        if (notes.updatedAt == state.contractions) continue;  // listed twice
        notes.updatedAt = state.contractions;
        n->rank = UpdatePriority(state, n);
      } else {
        n->rank = SimulatePriority(*this, state, n);
      }
      heap.Update(n->heapEntry);
    }
  }
  heap.Clear();
  state.notes.Free();
}

void CGraph::ContractInOrder(TOrderingState& state, const CReallocArray<TChNode*>& nodes, const bool* stop) {
  state.counts = TContractionCounts{};
  state.stamp.Reset(*this);  // as OrderNodes: marks of an earlier run
  state.notes.Free();
  int32_t nextRank = 0;
  for (TChNode* v : nodes) {
    if (Stopped(stop)) break;
    v->rank = nextRank++;
    // Each in-entry's searches run after the shortcuts of those before it
    // are made, and may find a witness over them.
    int64_t d = 0, h = 0;
    ContractNode(state, v, true, &d, &h, &state.neighbours);
  }
}

// ---- landmarks ----

namespace {

// A monotone priority queue of (distance, id) for searches that settle a
// whole graph: an item waits in the bucket of the highest bit in which its
// distance differs from the last one taken, and only the first non-empty
// bucket is ever sorted out again. Items of equal distance leave in any
// order, which no distance depends on.
class TRadixHeap {
 public:
  void Clear() {
    for (std::vector<uint64_t>& b : buckets) b.clear();
    last = 0;
    size = 0;
  }
  bool Empty() const { return size == 0; }
  // distance: no less than that of the last item taken.
  void Push(uint32_t distance, uint32_t id) {
    buckets[Bucket(distance)].push_back(uint64_t{distance} << 32 | id);
    size++;
  }
  uint64_t Pop() {
    if (buckets[0].empty()) {
      size_t i = 1;
      while (buckets[i].empty()) i++;
      uint64_t least = UINT64_MAX;
      for (uint64_t item : buckets[i]) least = std::min(least, item);
      last = static_cast<uint32_t>(least >> 32);
      for (uint64_t item : buckets[i]) buckets[Bucket(static_cast<uint32_t>(item >> 32))].push_back(item);
      buckets[i].clear();
    }
    const uint64_t item = buckets[0].back();
    buckets[0].pop_back();
    size--;
    return item;
  }

 private:
  size_t Bucket(uint32_t distance) const { return distance == last ? 0 : 32 - std::countl_zero(distance ^ last); }

  std::vector<uint64_t> buckets[33];
  uint32_t last = 0;
  size_t size = 0;
};

// The graph's edges as linked now, by node id, one way (RoutingKit's
// first_out / head / weight), for the landmarks' full searches.
struct TLandmarkGraph {
  std::vector<uint32_t> firstOut, head, weight;

  void Build(const std::vector<TChNode*>& byId, bool backward) {
    firstOut.assign(byId.size() + 1, 0);
    head.clear();
    weight.clear();
    for (size_t i = 0; i < byId.size(); i++) {
      if (byId[i]) {
        for (const TChAdjEntry& e : backward ? byId[i]->in : byId[i]->out) {
          head.push_back(e.other->id);
          weight.push_back(EdgeCost(e.word));
        }
      }
      firstOut[i + 1] = static_cast<uint32_t>(head.size());
    }
  }

  // Distances from start into dist (kUnreached where none).
  void Distances(uint32_t start, std::vector<uint32_t>& dist, TRadixHeap& heap) const {
    dist.assign(firstOut.size() - 1, kUnreached);
    dist[start] = 0;
    heap.Clear();
    heap.Push(0, start);
    while (!heap.Empty()) {
      const uint64_t item = heap.Pop();
      const uint32_t id = static_cast<uint32_t>(item), d = static_cast<uint32_t>(item >> 32);
      if (d != dist[id]) continue;  // an older copy
      for (uint32_t k = firstOut[id]; k < firstOut[id + 1]; k++) {
        // Below kUnreached: a path of saturated costs still counts as a path.
        const uint32_t nd = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{d} + weight[k], kUnreached - 1));
        if (nd < dist[head[k]]) {
          dist[head[k]] = nd;
          heap.Push(nd, head[k]);
        }
      }
    }
  }
};

}  // namespace

void CGraph::SetBoundPoints(const TBoundPoint* points) {
  pointBounds = points != nullptr;
  if (!points) return;
  landmarkBounds = false;  // the points take the landmarks' place
  ForEachNode([&](TChNode& n) { n.point = points[n.id]; });
}

void CGraph::FindLandmarks() {
  landmarkBounds = false;
  pointBounds = false;  // the landmarks take the points' place
  uint32_t idLimit = 0;
  ForEachNode([&](TChNode& n) { idLimit = std::max(idLimit, n.id + 1); });
  std::vector<TChNode*> byId(idLimit, nullptr);
  // Of the nodes with an edge: the first landmark is the one farthest from
  // the first by id, each next one the farthest from the landmarks before
  // it; on equal distances the lower id. Nodes they do not reach are not
  // taken: on the generated grids most are links that no turn leads into,
  // and landmarks there bound little.
  std::vector<const TChNode*> candidates;
  ForEachNode([&](TChNode& n) {
    byId[n.id] = &n;
    n.landmarks = TLandmarkDistances{};  // the union's member now, in place of the point
    std::fill(std::begin(n.landmarks.from), std::end(n.landmarks.from), kUnreached);
    std::fill(std::begin(n.landmarks.to), std::end(n.landmarks.to), kUnreached);
    if (!n.in.Empty() || !n.out.Empty()) candidates.push_back(&n);
  });
  if (candidates.empty()) return;
  TLandmarkGraph forward, backward;
  forward.Build(byId, false);
  backward.Build(byId, true);
  const TChNode* seed = candidates[0];
  for (const TChNode* n : candidates) seed = n->id < seed->id ? n : seed;
  std::vector<uint32_t> dist, nearest;
  TRadixHeap heap;
  forward.Distances(seed->id, nearest, heap);
  for (uint32_t l = 0; l < kLandmarks; l++) {
    const TChNode* mark = seed;
    uint32_t farthest = 0;
    for (const TChNode* n : candidates) {
      const uint32_t d = nearest[n->id] == kUnreached ? 0 : nearest[n->id];
      if (d > farthest || (d == farthest && n->id < mark->id)) mark = n, farthest = d;
    }
    if (l == 0) nearest.assign(idLimit, kUnreached);
    forward.Distances(mark->id, dist, heap);
    for (uint32_t id = 0; id < idLimit; id++) {
      if (!byId[id]) continue;
      byId[id]->landmarks.from[l] = dist[id];
      nearest[id] = std::min(nearest[id], dist[id]);
    }
    backward.Distances(mark->id, dist, heap);
    for (uint32_t id = 0; id < idLimit; id++) {
      if (byId[id]) byId[id]->landmarks.to[l] = dist[id];
    }
  }
  landmarkBounds = true;
}

// ---- core selection ----

void CGraph::PathSearch(TOrderingState& state, TChNode* start, bool backward, CPathLabelMap& labels) {
  labels.Clear();
  CSearchStamp& stamp = state.stamp;
  stamp.Advance(*this);
  TPathHeap& heap = state.pathHeap;
  heap.Clear();
  // labelA holds the node's index in the map while the search runs.
  stamp.Mark(*start);
  start->labelA = 0;
  heap.Push(labels.Add(start, nullptr, 0));
  while (!heap.Empty()) {
    TPathLabel* xl = heap.Pop();
    TChNode* x = xl->node;
    const bool xArea = x->IsArea();
    const bool confined = xArea && xl->State();
    // Stalled: a higher node y, labelled already (its label only falls),
    // reaches x by an edge of the other list more cheaply, and no area rule
    // can keep a search from the other end from going on from x to y. There
    // y then meets that search with a smaller sum.
    //
    // Where neither x nor y lies in an area, a route passes between them,
    // and goes on from x, whatever state it is in: every path over x is
    // beaten by one over y, so the search need not go on from x at all (its
    // label stays, marked). An area node further on may then keep the state
    // of another path than before; the core may differ where paths tie or
    // such states differ, and it holds every entry and exit all the same.
    const TChAdjList& stallList = backward ? x->out : x->in;
    const TChAdjList& scanList = backward ? x->in : x->out;
    // Both lists' nodes are read out of order: ask for them early.
    for (uint32_t k = 0; k < stallList.size; k++) __builtin_prefetch(stallList.data[k].other);
    bool skip = false;
    for (const TChAdjEntry& e : stallList) {
      TChNode* y = e.other;
      if (!stamp.IsCurrent(*y) || (xArea && LeavesArea(e))) continue;
      if (static_cast<uint64_t>(labels.labels[y->labelA]->Distance()) + EdgeCost(e.word) < xl->Distance()) {
        xl->stalled = true;
        skip = !xArea && !y->IsArea() && state.skipStalledPaths;
        if (skip || xArea) break;
      }
    }
    if (skip) continue;
    for (uint32_t k = 0; k < scanList.size; k++) __builtin_prefetch(scanList.data[k].other);
    for (const TChAdjEntry& entry : scanList) {
      const TChAdjEntry* e = &entry;
      TChNode* y = e->other;
      if (confined && LeavesArea(*e)) continue;
      // Saturates: a wrapped distance would be a false short path.
      uint32_t dist = static_cast<uint32_t>(
          std::min<uint64_t>(static_cast<uint64_t>(xl->Distance()) + EdgeCost(e->word), kMaxPathDistance));
      bool pathState = (e->word & kEdgeLeavesArea) || !xArea || xl->State();
      if (!stamp.IsCurrent(*y)) {
        stamp.Mark(*y);
        y->labelA = static_cast<uint32_t>(labels.Size());
        heap.Push(labels.Add(y, xl, dist | (pathState ? 0x80000000u : 0)));
      } else {
        TPathLabel* yl = labels.labels[y->labelA];
        if (dist < yl->Distance()) {
          yl->word = (yl->word & 0x80000000u) | dist;
          yl->parent = xl;
          if (yl->heapEntry) heap.MoveUp(yl->heapEntry);
        }
      }
    }
  }
}

void CGraph::SelectCoreNodes(TOrderingState& state, const CReallocArray<TChNode*>& entries,
                             const CReallocArray<TChNode*>& exits, CReallocArray<TChNode*>& core,
                             const bool* stop) {
  CBlockPool<TPathLabel> labelPool(kHeapEntriesPerBlock);
  CReallocArray<CPathLabelMap> backward;
  CReallocArray<TCountEvent> events;
  backward.Reserve(exits.Size());
  for (TChNode* k : exits) {
    if (Stopped(stop)) return;
    events.PushBack(TCountEvent{k, 1, 0, 0});
    backward.EmplaceBack(labelPool);
    PathSearch(state, k, true, backward.Back());
  }

  // Every backward label in a bucket of its node, in exit order: an entry's
  // forward labels then meet each exit where both searches reached a node,
  // without a walk over the labels of every (entry, exit) pair. Stalled
  // labels, on either side, can never hold the smallest sum: they are left
  // out (on tiles about half the items scanned).
  uint32_t idLimit = 0;
  ForEachNode([&idLimit](TChNode& n) { idLimit = std::max(idLimit, n.id + 1); });
  CReallocArray<size_t> bucketStart;  // sums of every exit's labels: no 32-bit bound
  bucketStart.ResizeZeroed(static_cast<size_t>(idLimit) + 1);
  for (const CPathLabelMap& b : backward) {
    for (const TPathLabel* l : b.labels) bucketStart[l->id + 1] += !l->stalled;
  }
  for (size_t i = 1; i < bucketStart.Size(); i++) bucketStart[i] += bucketStart[i - 1];
  // The walk streams through the items: the labels, read only when taken,
  // lie apart in a parallel array.
  struct TBucketItem {
    uint32_t exit;
    uint32_t distance;  // the label's
  };
  CReallocArray<TBucketItem> buckets;
  CReallocArray<TPathLabel*> bucketLabels;
  buckets.Resize(bucketStart.Back());
  bucketLabels.Resize(bucketStart.Back());
  {
    CReallocArray<size_t> fill;
    fill.Assign(bucketStart.data, idLimit);
    for (size_t k = 0; k < backward.Size(); k++) {
      for (TPathLabel* l : backward[k].labels) {
        if (l->stalled) continue;
        const size_t i = fill[l->id]++;
        buckets[i] = TBucketItem{static_cast<uint32_t>(k), l->Distance()};
        bucketLabels[i] = l;
      }
    }
  }
  // The exits that are a node, by its id: an entry meets no exit that is
  // itself.
  CReallocArray<std::pair<uint32_t, uint32_t>> exitsById;
  for (size_t k = 0; k < exits.Size(); k++) exitsById.PushBack({exits[k]->id, static_cast<uint32_t>(k)});
  std::sort(exitsById.begin(), exitsById.end());

  // Meeting node of an entry with each exit: the smallest distance sum, the
  // first in node order on equal sums. The key holds the sum above the
  // forward node's id, so that one comparison decides both.
  constexpr uint64_t kUnmet = UINT64_MAX;
  CReallocArray<uint64_t> best;  // by exit
  CReallocArray<TPathLabel*> bestForward, bestBackward;
  best.Resize(exits.Size());
  bestForward.Resize(exits.Size());
  bestBackward.Resize(exits.Size());
  for (uint64_t& b : best) b = kUnmet;
  CReallocArray<uint32_t> met;

  CPathLabelMap forward(labelPool);
  CReallocArray<TPathEdge> pathEdges;
  size_t distinct = 0;
  for (size_t ji = 0; ji < entries.Size(); ji++) {
    TChNode* j = entries[ji];
    if (Stopped(stop)) return;
    events.PushBack(TCountEvent{j, 1, 0, 0});
    PathSearch(state, j, false, forward);
    // In node order, the walk reads the buckets front to back, and on equal
    // sums the first meeting found stands.
    std::sort(forward.labels.begin(), forward.labels.end(),
              [](const TPathLabel* a, const TPathLabel* b) { return a->id < b->id; });
    met.Clear();
    const auto selves = std::equal_range(exitsById.begin(), exitsById.end(), std::pair<uint32_t, uint32_t>{j->id, 0},
                                         [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto s = selves.first; s != selves.second; s++) best[s->second] = 0;  // nothing beats it
    // Raw pointers: the stores would otherwise make the compiler read the
    // arrays' bounds again for every item.
    uint64_t* const bestKeys = best.data;
    const TBucketItem* const items = buckets.data;
    for (TPathLabel* f : forward.labels) {
      if (f->stalled) continue;
      const uint32_t id = f->id;
      const uint32_t distance = f->Distance();
      const size_t end = bucketStart[id + 1];
      for (size_t i = bucketStart[id]; i < end; i++) {
        const TBucketItem item = items[i];
        const uint64_t key = static_cast<uint64_t>(distance + item.distance) << 32 | id;  // two 31-bit values
        if (key < bestKeys[item.exit]) {
          if (bestKeys[item.exit] == kUnmet) met.PushBack(item.exit);
          bestKeys[item.exit] = key;
          bestForward[item.exit] = f;
          bestBackward[item.exit] = bucketLabels[i];
        }
      }
    }
    for (auto s = selves.first; s != selves.second; s++) best[s->second] = kUnmet;
    // A marked label's path up to its search's start is taken already: for
    // this entry (forward labels), or for its exit (backward labels).
    const uint32_t entryMark = static_cast<uint32_t>(ji) + 1;
    for (uint32_t k : met) {
      for (TPathLabel* l = bestForward[k]; l->parent && l->mark != entryMark; l = l->parent) {
        l->mark = entryMark;
        pathEdges.PushBack(TPathEdge{l->parent->node, l->node});
      }
      for (TPathLabel* l = bestBackward[k]; l->parent && !l->mark; l = l->parent) {
        l->mark = 1;
        pathEdges.PushBack(TPathEdge{l->node, l->parent->node});
      }
      best[k] = kUnmet;
    }
    if (pathEdges.Size() >= 2 * distinct + 4096) {
      SortUnique(pathEdges);  // keeps the set's memory near its distinct size
      distinct = pathEdges.Size();
    }
  }
  SortUnique(pathEdges);

  events.Reserve(events.Size() + 2 * pathEdges.Size());
  for (const TPathEdge& e : pathEdges) {
    events.PushBack(TCountEvent{e.from, 0, 1, 0});
    events.PushBack(TCountEvent{e.to, 0, 0, 1});
  }
  std::sort(events.begin(), events.end(),
            [](const TCountEvent& a, const TCountEvent& b) { return a.node->id < b.node->id; });
  core.Clear();
  for (size_t i = 0; i < events.Size();) {
    TChNode* node = events[i].node;
    bool terminal = false;
    uint32_t out = 0, in = 0;
    for (; i < events.Size() && events[i].node == node; i++) {
      terminal |= events[i].terminal != 0;
      out += events[i].out;
      in += events[i].in;
    }
    if (terminal || out > 1 || in > 1) core.PushBack(node);
  }
}

// ---- self-checks ----

namespace {

struct TLinkFact {
  const TChNode* from;
  const TChNode* to;
  uint32_t word;
  uint32_t hops;
  bool operator<(const TLinkFact& o) const {
    if (from != o.from) return std::less<const TChNode*>()(from, o.from);
    if (to != o.to) return std::less<const TChNode*>()(to, o.to);
    if (word != o.word) return word < o.word;
    return hops < o.hops;
  }
  bool operator==(const TLinkFact& o) const {
    return from == o.from && to == o.to && word == o.word && hops == o.hops;
  }
};

struct TLinkFacts {
  CReallocArray<TLinkFact> outs;
  CReallocArray<TLinkFact> ins;
};

}  // namespace

const char* CGraph::CheckContracted(const TChNode* const* nodes, size_t count) {
  CReallocArray<uint8_t> seen;
  seen.ResizeZeroed(count);
  for (size_t i = 0; i < count; i++) {
    const TChNode* n = nodes[i];
    if (n->rank < 0 || static_cast<size_t>(n->rank) >= count) return "rank outside 0..count-1";
    if (seen[static_cast<size_t>(n->rank)]++) return "rank given twice";
    if (n->heapEntry) return "contracted node still in the heap";
    if (!n->in.Empty() || !n->out.Empty()) return "contracted node keeps edges";
  }
  TLinkFacts facts;
  ForEachNode([&facts](TChNode& n) {
    for (const TChAdjEntry& e : n.out) facts.outs.PushBack(TLinkFact{&n, e.other, e.word, e.hops});
    for (const TChAdjEntry& e : n.in) facts.ins.PushBack(TLinkFact{e.other, &n, e.word, e.hops});
  });
  if (facts.outs.Size() != facts.ins.Size()) return "an edge is linked at one end only";
  std::sort(facts.outs.begin(), facts.outs.end());
  std::sort(facts.ins.begin(), facts.ins.end());
  for (size_t i = 0; i < facts.outs.Size(); i++) {
    if (!(facts.outs[i] == facts.ins[i])) return "an edge is linked at one end only";
  }
  return nullptr;
}

const char* CGraph::CheckUpwardLinks() {
  const char* error = nullptr;
  ForEachNode([&error](TChNode& n) {
    for (const TChAdjEntry& e : n.out) {
      if (!error && e.other->rank < n.rank) error = "out-entry leads to a lower rank";
      if (!error && e.hops != 0) error = "upward entry carries hops";
    }
    for (const TChAdjEntry& e : n.in) {
      if (!error && e.other->rank < n.rank) error = "in-entry comes from a lower rank";
      if (!error && e.hops != 0) error = "upward entry carries hops";
    }
  });
  return error;
}

}  // namespace CH
