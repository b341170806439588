// Contraction-hierarchy core: orders and contracts the nodes of a directed
// graph with 30-bit edge costs, adding shortcuts so that shortest paths
// survive, and selects the core nodes that routes between given entry and
// exit nodes run through. The per-map graph and the atlas graph derive from
// CH::CGraph; the core sees only nodes, edge words, hop counts and the
// area flag of each node.
//
// Area rule: a route's area state is set once it has left a node outside
// the area or used a bit-30 edge; in that state it may not leave an area
// node by a bit-30 edge or towards a node outside. Area nodes serve only
// the beginning and the end of a route, never its middle. Every edge is
// legal for a route in state 0 at its from node, and a bit-30 edge is the
// only kind an area node in state 1 may not take towards another area node.
//
// Edge word (edge records and adjacency entries):
//   bits 0-29  cost
//   bit 30     the edge joins two area nodes by a path that leaves the area
//   bit 31     restricted edge (a restricted search avoids it)
// Node flag word:
//   bits 0-27  search stamp: labels and bits 28, 30 count only while it is current
//   bit 28     settled in the current witness search
//   bit 29     target of the current witness search
//   bit 30     path state: set when any path that labelled the node had it set
//   bit 31     area node (set by the graph's builder)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "core/containers.h"

namespace CH {

constexpr uint32_t kCostMask = 0x3fffffff;
constexpr uint32_t kEdgeLeavesArea = 1u << 30;
constexpr uint32_t kEdgeRestricted = 1u << 31;

constexpr uint32_t kStampMask = 0x0fffffff;
constexpr uint32_t kNodeSettled = 1u << 28;
constexpr uint32_t kNodeTarget = 1u << 29;
constexpr uint32_t kNodePathState = 1u << 30;
constexpr uint32_t kNodeArea = 1u << 31;

constexpr uint32_t kUnreached = 0xffffffff;
// Largest distance of a path search (31 bits).
constexpr uint32_t kMaxPathDistance = 0x7fffffff;

constexpr int32_t kCoreRank = 0x7fffffff;  // never contracted
constexpr int32_t kExcludedRank = -1;      // takes no part

constexpr size_t kHeapEntriesPerBlock = 4096;
// Top-of-heap priority changes after which every waiting node is simulated
// again: at least this many, and one per kRebuildShare nodes ordered. The
// neighbours' updates keep priorities close, so a large graph drifts by
// more changes than 1000 before a rebuild pays (on generated grids of 62k
// nodes 7 rebuilds took a fifth of the Distance time and bought no
// shortcut; 17 took half of it at 157k). A dense graph is where they cost
// most and where they may pay: in atlas cores of 8k nodes, one change per 8
// nodes brought 3 rebuilds that took 40-50 % of the whole Distance build;
// none made up to 43 % more shortcuts there, one made as many as three.
constexpr uint32_t kRebuildAfterChanges = 1000;
constexpr uint32_t kRebuildShare = 4;
// A contraction with more neighbours than this leaves their priorities to
// their next update or the re-check at the top of the heap. At a dense top
// (a grid in the Distance metric) the updates grow with the cube of the
// degree, and past this degree they no longer make a better order
// (measured on generated grids: 8, 12, 32 and no limit were slower or made
// more shortcuts).
constexpr uint32_t kNeighbourUpdateLimit = 20;
// Bounds of one witness search: edges on a path (not in a graph with bound
// points or landmarks), nodes settled. A witness they hide only costs a
// shortcut, never a route.
constexpr uint32_t kWitnessHopLimit = 6;
constexpr uint32_t kWitnessSettledLimit = 1000;

inline uint32_t EdgeCost(uint32_t word) { return word & kCostMask; }
inline uint32_t MakeEdgeWord(uint32_t cost, bool leavesArea, bool restricted) {
  return (cost & kCostMask) | (leavesArea ? kEdgeLeavesArea : 0) | (restricted ? kEdgeRestricted : 0);
}

struct TChNode;

// Index of an edge record in the derived graph's edge storage, as the
// adjacency entries carry it; kNoEdge for none (the halves of a base edge).
constexpr uint32_t kNoEdge = 0xffffffff;

// One edge in a node's in-list (other = source) or out-list (other = target).
struct TChAdjEntry {
  TChNode* other;
  uint32_t word;
  uint32_t hops;    // base edges the edge stands for; 0 once linked upward
  uint32_t edge;    // the edge record it links (the derived graph's index)
  // Of the link: the two entries of one edge share it, later links count
  // higher, so a list's array is in serial order.
  uint32_t serial;
};

// A node's in- or out-list: its entries in one block of the graph's
// adjacency store, so that a search walks them in a row. They are stored in
// the order they were linked; the list order is the reverse, the edge
// linked last first, and iteration runs that way.
struct TChAdjList {
  TChAdjEntry* data = nullptr;
  uint32_t size = 0;
  uint32_t capacity = 0;

  bool Empty() const { return size == 0; }
  std::reverse_iterator<TChAdjEntry*> begin() const { return std::reverse_iterator<TChAdjEntry*>(data + size); }
  std::reverse_iterator<TChAdjEntry*> end() const { return std::reverse_iterator<TChAdjEntry*>(data); }
  // The first entry in list order, the one linked last.
  TChAdjEntry& Head() const { return data[size - 1]; }
};

// The blocks of a graph's lists. A list that fills moves to a block twice
// its size; blocks go back to a free list of their size and are reused.
// Blocks come from slabs of 1 MB (a larger block has a slab of its own),
// and a block never moves while its list keeps it: an entry stays where it
// is until its list grows.
class CAdjacencyStore {
 public:
  CAdjacencyStore() = default;
  CAdjacencyStore(const CAdjacencyStore&) = delete;
  CAdjacencyStore& operator=(const CAdjacencyStore&) = delete;
  ~CAdjacencyStore() { FreeBlocks(); }

  // Appends an entry: it comes first in list order.
  void Push(TChAdjList& list, const TChAdjEntry& entry) {
    if (list.size == list.capacity) Grow(list);
    list.data[list.size++] = entry;
  }
  // Removes the entry at a position of the array, keeping the order of the rest.
  void Erase(TChAdjList& list, uint32_t index);
  // Empties a list and gives back its block.
  void Release(TChAdjList& list);
  // Frees every slab; the lists of the graph must be dropped as well.
  void FreeBlocks();
  size_t SlabCount() const { return slabs.Size(); }

 private:
  void Grow(TChAdjList& list);
  TChAdjEntry* Alloc(uint32_t sizeClass);

  static constexpr size_t kSlabBytes = size_t{1} << 20;
  static constexpr uint32_t kClasses = 32;  // blocks of 2 << class entries
  unsigned char* freeBlocks[kClasses] = {};  // each block holds the next one's address
  CReallocArray<unsigned char*> slabs;
  unsigned char* cursor = nullptr;
  size_t left = 0;
};

// The two edges a shortcut replaces (u -> v and v -> w), recorded when it
// is made: searching for them later could pick a parallel edge of another
// cost or other marks.
struct TShortcutHalves {
  uint32_t first = kNoEdge;
  uint32_t second = kNoEdge;
};

template <class TItem>
struct THeapEntry {
  TItem* item;
  size_t position;
};

// Landmarks of a graph's witness searches (CGraph::FindLandmarks).
constexpr uint32_t kLandmarks = 4;

// A node's place for the witness searches' lower bound: no path from node a
// to node b costs less than the straight distance between their points.
struct TBoundPoint {
  float x;
  float y;
};

// Distances from each landmark and to it (kUnreached: no path).
struct TLandmarkDistances {
  uint32_t from[kLandmarks];
  uint32_t to[kLandmarks];
};

struct TChNode {
  // What a witness search reads of every node it reaches comes first.
  uint32_t flags = 0;
  // Witness labels; a path search keeps its label index in labelA.
  uint32_t labelA = kUnreached;
  uint32_t labelB = kUnreached;
  // What bounds every distance from or to this node, read by the witness
  // searches with the labels: its point in a graph bounded by points, else
  // its landmark distances.
  union {
    TLandmarkDistances landmarks = {};
    TBoundPoint point;
  };
  // Priority while in the ordering heap, then the contraction number;
  // kCoreRank or kExcludedRank for nodes left out of an ordering.
  int32_t rank = 0;
  TChAdjList out;  // edges that start here; their other node is the target
  TChAdjList in;   // edges that end here; their other node is the source
  THeapEntry<TChNode>* heapEntry = nullptr;
  // Identity order of the graph's nodes (the label maps and the core
  // selection walk nodes in it): unique, set by the owning graph.
  uint32_t id = 0;

  bool IsArea() const { return (flags & kNodeArea) != 0; }
};

// The leading fields of every edge record of a derived graph.
struct TChEdgeRecord {
  TChNode* from;
  TChNode* to;
  uint32_t word;
};

// One node's record in a path search.
struct TPathLabel {
  TChNode* node;
  TPathLabel* parent;  // null at the start
  uint32_t word;       // bits 0-30 distance, bit 31 path state
  uint32_t id;         // the node's, so that sorts and walks read no node
  THeapEntry<TPathLabel>* heapEntry;
  // Set by the core selection once the label's path edge is taken.
  uint32_t mark;
  // A node higher up reaches this one by a shorter path, and every search
  // from the other end that labels this node goes on to that one: this node
  // can never be the meeting node of the core selection.
  bool stalled;

  uint32_t Distance() const { return word & kMaxPathDistance; }
  bool State() const { return (word & 0x80000000u) != 0; }
};

// Binary heap of entries that know their position, so that an item whose
// key changed is moved in place. Item a goes before item b when
// order.Key(a) < order.Key(b), or the keys are equal and
// order.Tie(a, b). Each place of the heap array keeps its item's key, so
// that the sifts compare without reading the items but on equal keys.
// Entries come from the heap's own pool.
template <class TItem, class TOrder>
class TNodeHeap {
 public:
  using TEntry = THeapEntry<TItem>;

  explicit TNodeHeap(size_t entriesPerBlock = kHeapEntriesPerBlock, TOrder order = TOrder())
      : pool(entriesPerBlock), order(order) {}
  TNodeHeap(const TNodeHeap&) = delete;
  TNodeHeap& operator=(const TNodeHeap&) = delete;

  bool Empty() const { return heap.Empty(); }
  size_t Size() const { return heap.Size(); }
  TItem* Top() const { return heap[0].entry->item; }
  TItem* At(size_t position) const { return heap[position].entry->item; }

  void Push(TItem* item) {
    heap.Reserve(heap.Size() + 1);  // before the entry exists, so a failure leaves nothing half-linked
    TEntry* e = pool.Alloc();
    e->item = item;
    e->position = heap.Size();
    item->heapEntry = e;
    heap.PushBack(TSlot{order.Key(item), e});
    SiftUp(e->position);
  }

  // Removes the top entry and returns its item.
  TItem* Pop() {
    TEntry* top = heap[0].entry;
    TItem* item = top->item;
    item->heapEntry = nullptr;
    pool.Release(top);
    const TSlot last = heap.Back();
    heap.PopBack();
    if (!heap.Empty()) {
      Place(last, 0);
      SiftDown(0);
    }
    return item;
  }

  // Repositions an entry whose key changed.
  void Update(TEntry* e) {
    size_t p = e->position;
    heap[p].key = order.Key(e->item);
    if (p > 0 && Before(heap[p], heap[(p - 1) / 2])) {
      SiftUp(p);
    } else {
      SiftDown(p);
    }
  }
  // Repositions an entry whose key fell.
  void MoveUp(TEntry* e) {
    heap[e->position].key = order.Key(e->item);
    SiftUp(e->position);
  }

  // Builds the heap from the items in order (the entries of earlier
  // contents are dropped).
  void Build(TItem* const* items, size_t n) {
    Clear();
    heap.Reserve(n);
    for (size_t i = 0; i < n; i++) {
      TEntry* e = pool.Alloc();
      e->item = items[i];
      e->position = i;
      items[i]->heapEntry = e;
      heap.PushBack(TSlot{order.Key(items[i]), e});
    }
    for (size_t i = n / 2; i-- > 0;) SiftDown(i);
  }

  // Empties the heap; items still in it lose their entries, which go back
  // to the pool's free list.
  void Clear() {
    for (const TSlot& slot : heap) {
      slot.entry->item->heapEntry = nullptr;
      pool.Release(slot.entry);
    }
    heap.Clear();
  }

 private:
  struct TSlot {
    int64_t key;
    TEntry* entry;
  };

  bool Before(const TSlot& a, const TSlot& b) const {
    return a.key < b.key || (a.key == b.key && order.Tie(a.entry->item, b.entry->item));
  }
  void Place(const TSlot& slot, size_t p) {
    heap[p] = slot;
    slot.entry->position = p;
  }
  void SiftUp(size_t p) {
    const TSlot slot = heap[p];
    while (p > 0) {
      size_t parent = (p - 1) / 2;
      if (!Before(slot, heap[parent])) break;
      Place(heap[parent], p);
      p = parent;
    }
    Place(slot, p);
  }
  void SiftDown(size_t p) {
    const TSlot slot = heap[p];
    size_t n = heap.Size();
    for (;;) {
      size_t child = 2 * p + 1;
      if (child >= n) break;
      if (child + 1 < n && Before(heap[child + 1], heap[child])) child++;
      if (!Before(heap[child], slot)) break;
      Place(heap[child], p);
      p = child;
    }
    Place(slot, p);
  }

  CReallocArray<TSlot> heap;
  CBlockPool<TEntry> pool;
  TOrder order;
};

struct TPathLabelOrder {
  static int64_t Key(const TPathLabel* l) { return l->Distance(); }
  bool Tie(const TPathLabel*, const TPathLabel*) const { return false; }
};
using TPathHeap = TNodeHeap<TPathLabel, TPathLabelOrder>;

// Labels of one path search, in the order the search reached their nodes.
// The labels come from a pool shared by the maps of one selection.
class CPathLabelMap {
 public:
  explicit CPathLabelMap(CBlockPool<TPathLabel>& labelPool) : pool(&labelPool) {}
  CPathLabelMap(CPathLabelMap&&) = default;
  CPathLabelMap& operator=(CPathLabelMap&&) = delete;
  ~CPathLabelMap() { Clear(); }

  void Clear() {
    for (TPathLabel* l : labels) pool->Release(l);
    labels.Clear();
  }
  // The label of a node, or null: a scan, for checks.
  const TPathLabel* Find(const TChNode* node) const;
  size_t Size() const { return labels.Size(); }
  TPathLabel* Add(TChNode* node, TPathLabel* parent, uint32_t word);

  CReallocArray<TPathLabel*> labels;

 private:
  CBlockPool<TPathLabel>* pool;
};

class CGraph;

// Kinds of the pairs of one in-entry during a contraction.
constexpr uint8_t kPairOpen = 0;    // witnessed by the search from u in state 0
constexpr uint8_t kPairInArea = 1;  // stays in the area: by the confined search
constexpr uint8_t kPairNone = 2;    // no pair, or witnessed

// Per-search marks in the nodes' flag words. The counter skips 0, so a
// cleared node is never current; when it wraps every node of the graph is
// cleared, so an old mark can never pass for a current one.
class CSearchStamp {
 public:
  // Starts over: clears the marks of every node of the graph.
  void Reset(CGraph& graph);
  // Begins a new search.
  void Advance(CGraph& graph);
  bool IsCurrent(const TChNode& node) const { return (node.flags & kStampMask) == value; }
  // Stamps the node, clearing its settled bit.
  void Mark(TChNode& node) const { node.flags = (node.flags & ~(kStampMask | kNodeSettled)) | value; }

  uint32_t value = 0;
};

// Work of one ordering, for the benchmark: plain increments in loops that
// do far more per step.
struct TContractionCounts {
  uint64_t witnessSearches = 0;
  uint64_t settledNodes = 0;  // by witness searches
  uint64_t scannedEdges = 0;  // by witness searches
  uint64_t shortcuts = 0;     // made
  uint64_t simulations = 0;   // priority updates
  uint32_t priorityChanges = 0;  // of the top node, found on its re-check
  uint32_t rebuilds = 0;         // full re-simulations
};

// An entry of the witness heap: the node's key when it was pushed and the
// number of edges on the path that gave it. A node may be in the heap
// several times; its first pop settles it.
struct TWitnessItem {
  uint32_t key;
  uint32_t hops;
  TChNode* node;
};

// A pair the current witness search decides: a witness to node is one no
// longer than length, over label A alone unless the pair is restricted.
// lastEdge is the cheapest edge into node that a witness may end with (any
// but those from the contracted node; UINT32_MAX when there is none): the
// node before node on a witness lies within length - lastEdge of the start.
struct TWitnessTarget {
  TChNode* node;
  uint32_t length;
  uint32_t lastEdge;
  bool restricted;
};

// The open targets' points and their pairs' lengths, for the bound of a
// witness search, in lanes of four so that a node is tested against four
// targets at once. Places past the open targets hold a negative length,
// which lets no node pass.
class CTargetPoints {
 public:
  void Assign(size_t count);
  void Set(size_t i, float x, float y, float length) {
    TLane& lane = lanes[i / kLane];
    lane.x[i % kLane] = x, lane.y[i % kLane] = y, lane.length[i % kLane] = length;
  }
  // Moves target i to the place of the last of count open targets, which
  // takes i's place, and closes the last place.
  void SwapOut(size_t i, size_t count);
  // Whether a node at (x, y) reached at key is near enough to one of the
  // first count targets to lie on a path to it no longer than its pair.
  bool Near(float x, float y, float key, size_t count) const;

 private:
  static constexpr size_t kLane = 4;
  struct TLane {
    float x[kLane], y[kLane], length[kLane];
  };
  CReallocArray<TLane> lanes;
};

inline bool CTargetPoints::Near(float x, float y, float key, size_t count) const {
  // Without branches: most nodes that get here are near no target. Each
  // lane computes what one float test would, in the same steps.
  typedef float TFloat4 __attribute__((vector_size(16)));
  typedef int32_t TInt4 __attribute__((vector_size(16)));
  static_assert(sizeof(TFloat4) == sizeof(float) * kLane);
  TInt4 any = {0, 0, 0, 0};
  for (size_t i = 0; i * kLane < count; i++) {
    TFloat4 tx, ty, length;
    std::memcpy(&tx, lanes[i].x, sizeof tx);
    std::memcpy(&ty, lanes[i].y, sizeof ty);
    std::memcpy(&length, lanes[i].length, sizeof length);
    const TFloat4 left = length - key;
    const TFloat4 ex = tx - x, ey = ty - y;
    any |= (left >= 0) & (ex * ex + ey * ey <= left * left);
  }
  return (any[0] | any[1] | any[2] | any[3]) != 0;
}

// A pair of a node's in-entry and out-entry that a simulation found no
// witness for, by the serials of the two entries.
struct TNeededPair {
  uint32_t in;
  uint32_t out;
  uint32_t hops;   // of both entries
  uint32_t legal;  // 1 when a route can take it: a shortcut the edge difference counts
};

// What the simulations of a waiting node found: its pairs without a
// witness, of the entries linked before `serial`. After a neighbour's
// contraction only the pairs of the entries linked since need witness
// searches; the pairs of entries that went are dropped (UpdatePriority).
struct TNodeNotes {
  CReallocArray<TNeededPair> pairs;
  uint32_t serial = 0;      // the link serial when the notes were made
  bool valid = false;
  uint32_t updatedAt = 0;   // the contraction after which it was updated last
};

// One contraction run of a graph: the searches' heaps and stamp.
struct TOrderingState {
  explicit TOrderingState(CGraph& owner, size_t heapEntriesPerBlock = kHeapEntriesPerBlock)
      : graph(owner), pathHeap(heapEntriesPerBlock), heapEntriesPerBlock(heapEntriesPerBlock) {}
  TOrderingState(const TOrderingState&) = delete;
  TOrderingState& operator=(const TOrderingState&) = delete;

  CGraph& graph;
  // 4-ary min-heap by key = min(label A, label B): shallow for its tens of items.
  CReallocArray<TWitnessItem> witnessHeap;
  TPathHeap pathHeap;
  CSearchStamp stamp;
  CReallocArray<TChNode*> neighbours;  // of the node contracted last
  CReallocArray<uint8_t> pairKinds;    // per out-entry of the node being contracted
  CReallocArray<uint8_t> pairNeeds;    // the same: a pair to decide, then one without a witness
  CReallocArray<uint8_t> freshColumns;  // per out-entry of a node updated: linked since its notes
  // Per out-entry of the node being decided: TWitnessTarget::lastEdge.
  // Empty until its first search (pairs with short witnesses need none),
  // and always without the early end.
  CReallocArray<uint32_t> lastEdges;
  // The pairs of the next witness search; when given, the search ends as
  // soon as no label it could still set would decide another of them.
  CReallocArray<TWitnessTarget> witnessTargets;
  // The open targets' points and lengths, in the order of witnessTargets,
  // while a search bounded by points runs.
  CTargetPoints targetPoints;
  bool witnessEarlyEnd = true;  // off: searches run to their bounds (a test compares)
  size_t heapEntriesPerBlock;
  uint32_t rebuildAfterChanges = kRebuildAfterChanges;
  uint32_t rebuildShare = kRebuildShare;  // 0: rebuildAfterChanges alone
  uint32_t neighbourUpdateLimit = kNeighbourUpdateLimit;  // 0: no limit
  uint32_t witnessHopLimit = kWitnessHopLimit;
  uint32_t witnessSettledLimit = kWitnessSettledLimit;
  // Neighbours after a contraction: their notes updated by the entries they
  // lost and gained (off: simulated afresh, as at the top of the heap), and
  // the node at the top contracted by the pairs its check there found.
  bool incrementalUpdates = true;
  // A gained entry's pair whose forerunner had a witness taken as witnessed
  // (UpdatePriority); off: every pair of a gained entry searched.
  bool guessFreshPairs = true;
  // A path search of the core selection goes on from no node that it
  // finds stalled by a node outside any area (off: from every node, as a
  // test compares).
  bool skipStalledPaths = true;
  CReallocArray<TNodeNotes> notes;  // by node id
  // Of a node updated: the other entries of its noted pairs with an entry
  // that went, sorted by serial.
  CReallocArray<uint32_t> viaRows, viaColumns;
  uint32_t contractions = 0;  // performed, to update a neighbour listed twice once
  // Statistics of the last ordering.
  TContractionCounts counts;
};

// True when node a is to be contracted before node b of equal priority; a strict order.
using TTieBreak = bool (*)(const TChNode* a, const TChNode* b);
bool CompareNodeIds(const TChNode* a, const TChNode* b);

class CGraph {
 public:
  CGraph() = default;
  CGraph(const CGraph&) = delete;
  CGraph& operator=(const CGraph&) = delete;
  virtual ~CGraph() = default;

  // Appends an edge record {from, to, MakeEdgeWord(cost, bit30, bit31), via}
  // and links it with LinkEdge and the hop count. via is null (and the
  // halves kNoEdge) for a base edge.
  virtual void AddShortcut(TChNode* from, TChNode* to, TChNode* via, uint32_t cost, uint32_t hops, bool bit30,
                           bool bit31, TShortcutHalves halves) = 0;
  using TNodeVisitor = void (*)(TChNode& node, void* context);
  // Calls visit for every node of the graph.
  virtual void VisitNodes(TNodeVisitor visit, void* context) = 0;

  template <class F>
  void ForEachNode(F f) {
    VisitNodes([](TChNode& n, void* c) { (*static_cast<F*>(c))(n); }, &f);
  }

  // Links an edge both ways: into from's out-list and to's in-list. index
  // names the record in the derived graph's storage (the entries carry it).
  void LinkEdge(const TChEdgeRecord& edge, uint32_t hops, uint32_t index);
  // Links an edge at its lower-ranked end (both ends on equal ranks), so
  // that forward searches climb out-lists and backward searches in-lists.
  void LinkUpwardEdge(const TChEdgeRecord& edge, uint32_t index);
  // Every node loses its lists and the adjacency store is emptied; the
  // derived graph links its edges again.
  void ClearAdjacency();
  // Empties a node's lists and removes its entries from its neighbours' lists.
  void UnlinkNode(TChNode* node);

  // Contracts the listed nodes in priority order, giving each its
  // contraction number; after each contraction the priorities of its
  // neighbours are updated, unless there are more of them than the state's
  // neighbourUpdateLimit. The list's contents may be replaced. A set stop
  // flag leaves the graph partly contracted.
  void OrderNodes(TOrderingState& state, CReallocArray<TChNode*>& nodes, TTieBreak tieBreak, const bool* stop);
  // Contracts the listed nodes in list order, ranks 0..count-1, each by the
  // witness searches of its own pairs; no priorities are kept. The order of
  // an earlier ordering is reused this way. A set stop flag leaves the
  // graph partly contracted.
  void ContractInOrder(TOrderingState& state, const CReallocArray<TChNode*>& nodes, const bool* stop);
  // Simulates or performs the contraction of v: edge difference and hop
  // sum out; when performing, the shortcuts are made and the neighbours
  // whose priority may have changed are listed. A pair u -> v -> w needs a
  // shortcut unless a witness search finds a path that serves every route
  // the pair serves; it is made when a route can take it (PairLegal).
  // needed, when given, receives the pairs without a witness; known, when
  // given, holds them already (sorted by in and out serial), and no
  // witness search is run.
  void ContractNode(TOrderingState& state, TChNode* v, bool perform, int64_t* edgeDifference, int64_t* hopSum,
                    CReallocArray<TChNode*>* neighbours, CReallocArray<TNeededPair>* needed = nullptr,
                    const CReallocArray<TNeededPair>* known = nullptr);
  // Labels the nodes reachable from u without passing v, within the limit,
  // until the given number of targets is settled, every pair listed in the
  // state's witnessTargets is decided, or the state's bounds on path edges
  // and settled nodes end it. A node's path state is
  // that of every path that labelled it together; confined starts u in
  // state 1, so that only area nodes are reached.
  void WitnessSearch(TOrderingState& state, TChNode* u, TChNode* v, uint32_t targets, uint32_t limit,
                     bool confined = false);
  // Whether a route that starts at u in area state 0 may take the path
  // u -> v -> w over the entries f (u -> v) and o (v -> w).
  static bool PairLegal(const TChNode* u, const TChAdjEntry& f, const TChNode* v, const TChAdjEntry& o);
  // Shortcut for the in-entry (u -> v) and out-entry (v -> w) of v.
  void MakeShortcut(const TChAdjEntry& in, const TChAdjEntry& out, TChNode* v);
  // Labels every node reachable from start over out-lists (in-lists when backward).
  void PathSearch(TOrderingState& state, TChNode* start, bool backward, CPathLabelMap& labels);
  // After a contraction with the edges linked upward: replaces the list by
  // the entry and exit nodes and the nodes where the shortest paths between
  // them split or join. A set stop flag leaves the list as it was.
  void SelectCoreNodes(TOrderingState& state, const CReallocArray<TChNode*>& entries,
                       const CReallocArray<TChNode*>& exits, CReallocArray<TChNode*>& core, const bool* stop);

  // Priority of a simulated contraction: 1000 x hop sum + edge difference,
  // clamped below kCoreRank.
  static int32_t Priority(int64_t edgeDifference, int64_t hopSum);

  // The priority of a waiting node after a neighbour's contraction, from
  // its notes: the pairs of the entries that went are dropped, the pairs of
  // the entries that came are decided (or guessed, guessFreshPairs).
  // Without valid notes it is simulated. A priority set too low is raised
  // again by the check at the top of the heap; one set too high would keep
  // its node waiting, so a guess only ever takes a pair as witnessed.
  int32_t UpdatePriority(TOrderingState& state, TChNode* n);
  // Simulates a node and keeps its pairs in its notes.
  int32_t SimulateAndNote(TOrderingState& state, TChNode* n);
  // Contracts v and lists its neighbours in the state. fromNotes: v was
  // simulated just now, and its notes decide its pairs.
  void PerformContraction(TOrderingState& state, TChNode* v, bool fromNotes = false);

  // Self-checks; each returns null, or a text naming the first broken rule.
  // After OrderNodes over the given nodes (before upward linking): their
  // ranks are 0..count-1, they have no edges left, and every remaining
  // edge is linked at both of its ends.
  const char* CheckContracted(const TChNode* const* nodes, size_t count);
  // After upward linking: every entry leads to a rank not below its own.
  const char* CheckUpwardLinks();

  CAdjacencyStore adjacency;
  // Gives every node its point (points by node id), or with null none: a
  // witness search then expands no node whose key and distance to each
  // open target exceed that pair's length. A bound that is too high only
  // hides a witness, which costs a shortcut. Replaces landmark bounds.
  void SetBoundPoints(const TBoundPoint* points);
  bool pointBounds = false;  // set by SetBoundPoints
  // Set by FindLandmarks: a witness search expands no node whose key and
  // landmark bound to the nearest open target exceed the longest open pair.
  bool landmarkBounds = false;
  // Fills every node's landmark distances over the edges linked now and
  // sets landmarkBounds: kLandmarks nodes of the graph, each the farthest
  // from those before it. Contractions never shorten a distance, so the
  // bounds hold for every ordering of the graph; one that is too high, as
  // where a sum of costs saturated, only hides a witness.
  void FindLandmarks();

 private:
  uint32_t linkSerial = 0;  // of the next LinkEdge
  uint32_t NextSerial();
  // Unlinks the first entry in list order whose other node is given.
  void RemoveEntryTo(TChAdjList& list, const TChNode* other);
  // The bound of every out-entry of v for the witness searches of its pairs
  // (TWitnessTarget::lastEdge), into the state's lastEdges; DecideRow calls
  // it before the node's first search.
  static void PrepareTargets(TOrderingState& state, const TChNode* v);
  // Drops from the open pairs of v's in-entry f (the state's pair kinds)
  // those that a path of one or two unrestricted edges from u witnesses,
  // keeping the count of open pairs and their longest out-entry.
  void ShortWitnesses(TOrderingState& state, const TChNode* v, const TChAdjEntry& f, uint32_t& targets,
                      uint32_t& maxOut);
  // Decides the pairs of v's in-entry f with the out-entries whose flag in
  // needs is set (one flag per out-entry, in list order): a flag stays set
  // only for a pair that no witness serves.
  void DecideRow(TOrderingState& state, TChNode* v, const TChAdjEntry& f, CReallocArray<uint8_t>& needs);
  // near, when given, holds the targets' points in the order of pairs and
  // is kept in that order.
  static bool WitnessPairs(TWitnessTarget* pairs, CTargetPoints* near, size_t& open, const TChNode* w,
                           uint32_t& limit, uint64_t& settleBelow);
  static void WitnessPush(TOrderingState& state, TChNode* node, uint32_t hops);
  static TWitnessItem WitnessPop(TOrderingState& state);
};

}  // namespace CH
