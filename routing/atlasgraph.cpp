#include "routing/atlasgraph.h"

#include <algorithm>

#include "core/bytes.h"
#include "core/log.h"
#include "mapfile/reader.h"
#include "routing/geomapgraph.h"

namespace ZorvaneMap {

namespace {

bool Stopped(const bool* stop) { return stop && *stop; }

// Offsets in a section 10 node record.
constexpr uint32_t kRecordFlags = 8;   // u8: bit 0 start node external, bit 1 type 0x0a, bit 2 area
constexpr uint32_t kRecordCounts = 10;
constexpr uint32_t kMapEdgeSize = 12;
constexpr uint32_t kSmallestRecord = 12;

// The core of one graph of a map: the number of core records and the first.
struct TCoreHead {
  uint32_t count;
  uint32_t first;
};

TCoreHead ReadCoreHead(CMapFile* map, uint32_t metric) {
  if (!map->HasSection(SectionChGraphs)) throw TStreamException{StreamErrorRange};
  const uint32_t section = map->GetSectionOffset(SectionChGraphs);
  TCoreHead head;
  {
    CLockGuard guard(map->GetCache()->Lock());
    map->Seek(uint64_t{section} + (metric == kAtlasTime ? 8 : 0));
    head.count = map->ReadU32();
    head.first = map->ReadU32();
  }
  // Each record takes at least 12 bytes of the section: a larger count is damage.
  if (head.count > map->GetSectionSize(SectionChGraphs) / kSmallestRecord) throw TStreamException{StreamErrorRange};
  return head;
}

// Pole points have no rectangle of 25 m (the cosine of their latitude,
// rounded to whole degrees, is 0): they meet nothing.
bool NearPole(TGeoPoint p) {
  const int64_t y = p.y < 0 ? -int64_t{p.y} : int64_t{p.y};
  return ((y + 0x400000) >> 23) >= 90;
}

// The Distance cost of a border node's link: the end-node reference of
// the node in its own map's tree carries it (the word behind the record
// holds the Time cost in both graphs). False when the tree holds no such
// reference near the link's end: a node id that stands at two points has
// its references at one of them only.
bool OwnTreeCost(CMapFile* map, uint32_t position, TGeoPoint end, uint32_t metric, CReallocArray<TNodeRef>& refs,
                 uint32_t& cost) {
  uint64_t best = kAtlasMatchDistance;
  CStreamNodeTree found = CStreamNodeTree(map).FindNearest(end, 1, best);
  if (found.IsEmpty()) return false;
  refs.Clear();
  found.CollectNodeRefs(1, metric, refs);
  for (const TNodeRef& r : refs) {
    if (r.position == position) {
      cost = r.word;
      return true;
    }
  }
  return false;
}

}  // namespace

bool CompareAtlasNodeKeys(const CH::TChNode* a, const CH::TChNode* b) {
  return static_cast<const TAtlasNode*>(a)->key < static_cast<const TAtlasNode*>(b)->key;
}

TGeoPoint AtlasLinkPoint(CMapFile* map, uint32_t mapIndex, uint32_t position, bool end) {
  const TRoadRef ref = CStreamGraphNode(map, position).GetRoadRef(mapIndex);
  const uint32_t link = ref.node & 0xffff, along = ref.node >> 16 & 1;
  // The link runs from route node `link` to `link` + 1 in the road's point
  // order; against it the ends swap.
  const uint32_t routeNode = end ? link + along : link + 1 - along;
  CStreamPolyline road(map, ref.road);
  return road.GetPoint(road.GetNodePointIndex(routeNode));
}

// ---- building ----

TAtlasNode* CAtlasGraph::AddNode(uint64_t key, uint8_t mapFlags) {
  TAtlasNode n;
  n.key = key;
  n.mapFlags = mapFlags;
  n.role = (mapFlags & 1) ? kAtlasStartNode : 0;
  n.flags = (mapFlags & 4) ? CH::kNodeArea : 0;
  n.id = static_cast<uint32_t>(nodes.Size());
  return nodes.PushBack(n);
}

TAtlasNode* CAtlasGraph::FindNode(uint64_t key) {
  TAtlasNode* n = std::lower_bound(nodes.begin(), nodes.end(), key,
                                   [](const TAtlasNode& x, uint64_t k) { return x.key < k; });
  return n != nodes.end() && n->key == key ? n : nullptr;
}

void CAtlasGraph::AddLoadedEdge(uint32_t from, uint32_t to, const uint8_t* mapEdge) {
  const uint32_t first = LoadLE32(mapEdge), second = LoadLE32(mapEdge + 4), third = LoadLE32(mapEdge + 8);
  TAtlasEdge e;
  e.from = from;
  e.to = to;
  e.word = (second & 1) << 30 | first >> 2;
  e.via = third & ~3u;
  e.marks = static_cast<uint8_t>(first & 3);
  e.shortcut = 0;
  edges.PushBack(e);
}

void CAtlasGraph::AddJoin(uint32_t border, uint32_t matched, uint32_t cost, bool s) {
  TAtlasEdge e;
  e.from = border;
  e.to = matched;
  e.word = cost & CH::kCostMask;
  e.via = 0;
  e.marks = s ? 2 : 0;
  e.shortcut = 0;
  edges.PushBack(e);
}

void CAtlasGraph::LinkRecord(const TAtlasEdge& edge, uint32_t hops, uint32_t index) {
  LinkEdge(CH::TChEdgeRecord{&nodes[edge.from], &nodes[edge.to], edge.word}, hops, index);
}

void CAtlasGraph::AddShortcut(CH::TChNode* from, CH::TChNode* to, CH::TChNode* via, uint32_t cost, uint32_t hops,
                              bool bit30, bool bit31, CH::TShortcutHalves halves) {
  TAtlasEdge e;
  e.from = Index(from);
  e.to = Index(to);
  e.word = CH::MakeEdgeWord(cost, bit30, bit31);
  e.via = via ? Index(via) : 0;
  // The marks of the two edges it replaces, as the contraction recorded them.
  e.marks = 0;
  if (halves.first != CH::kNoEdge) e.marks |= edges[halves.first].marks;
  if (halves.second != CH::kNoEdge) e.marks |= edges[halves.second].marks;
  e.shortcut = via ? 1 : 0;
  const uint32_t index = static_cast<uint32_t>(edges.Size());
  LinkRecord(*edges.PushBack(e), hops, index);
}

void CAtlasGraph::VisitNodes(TNodeVisitor visit, void* context) {
  for (TAtlasNode& n : nodes) visit(n, context);
}

void CAtlasGraph::RelinkBaseEdges() {
  ClearAdjacency();
  edges.Resize(baseEdges);
  for (TAtlasNode& n : nodes) {
    n.rank = 0;
    n.heapEntry = nullptr;
  }
  for (size_t i = 0; i < edges.Size(); i++) LinkRecord(edges[i], 1, static_cast<uint32_t>(i));
}

void CAtlasGraph::LinkAllEdges() {
  ClearAdjacency();
  for (size_t i = 0; i < edges.Size(); i++) {
    const TAtlasEdge& e = edges[i];
    LinkUpwardEdge(CH::TChEdgeRecord{&nodes[e.from], &nodes[e.to], e.word}, static_cast<uint32_t>(i));
  }
}

void CAtlasGraph::CollectTerminals(CReallocArray<CH::TChNode*>& entries, CReallocArray<CH::TChNode*>& exits) {
  entries.Clear();
  exits.Clear();
  for (TAtlasNode& n : nodes) {
    if (n.role & kAtlasStartNode) entries.PushBack(&n);
    if (n.role & kAtlasExitNode) exits.PushBack(&n);
  }
}

// ---- loading ----

int32_t CAtlasGraph::MatchPoint(const CReallocArray<CMapFile*>& maps, uint32_t ownMap, TGeoPoint point,
                                uint32_t metric, CReallocArray<TNodeRef>& refs) {
  refs.Clear();
  if (NearPole(point)) return -1;
  const CGeoRect around = CGeoRect::AroundPoint(point);
  uint64_t best = kAtlasMatchDistance;
  int32_t found = -1;
  CStreamNodeTree node(nullptr, 0, 0);
  for (uint32_t i = 0; i < maps.Size(); i++) {
    if (i == ownMap || !maps[i]->GetBounds().Intersects(around)) continue;
    // Only a strictly nearer node replaces the best: on equal distances the
    // lower map index wins, and an exact hit ends the search.
    CStreamNodeTree hit = ReadingMap(i, [&] { return CStreamNodeTree(maps[i]).FindNearest(point, 0, best); });
    if (hit.IsEmpty()) continue;
    found = static_cast<int32_t>(i);
    node = hit;
    if (best == 0) break;
  }
  if (found < 0) return -1;
  ReadingMap(static_cast<uint32_t>(found), [&] { node.CollectNodeRefs(0, metric, refs); });
  // A point with start nodes of the other metric only joins nothing: the
  // border node stays an exit rather than a dead end.
  return refs.Empty() ? -1 : found;
}

int32_t CAtlasGraph::MatchBorderNode(const CReallocArray<CMapFile*>& maps, uint64_t key, uint32_t metric,
                                     CReallocArray<TNodeRef>& refs) {
  const uint32_t own = KeyMap(key);
  const TGeoPoint end = ReadingMap(own, [&] { return AtlasLinkPoint(maps[own], own, KeyPosition(key), true); });
  return MatchPoint(maps, own, end, metric, refs);
}

void CAtlasGraph::LoadMap(const CReallocArray<CMapFile*>& maps, uint32_t index, uint32_t metric, const bool* stop,
                          CReallocArray<TAtlasJoin>& joins) {
  CMapFile* map = maps[index];
  Platform::CCriticalSection* lock = map->GetCache()->Lock();
  const TCoreHead head = ReadingMap(index, [&] { return ReadCoreHead(map, metric); });
  const size_t mapFirst = nodes.Size();
  uint32_t timeCostJoins = 0;
  uint32_t e = head.first;
  for (uint32_t k = 0; k < head.count && !Stopped(stop); k++) {
    if (!nodes.Empty() && nodes.Back().key >= AtlasNodeKey(index, e)) throw TAtlasMapError{index};
    CStreamGraphNode record(map, e);
    uint8_t flags = 0, border = 0;
    uint32_t in = 0, out = 0;
    ReadingMap(index, [&] {
      CLockGuard guard(lock);
      const CStreamGraphNode::TEdgeCounts counts = record.ReadEdgeCounts(e + kRecordCounts);
      map->Seek(uint64_t{e} + kRecordFlags);
      flags = map->ReadU8();
      border = map->ReadU8();
      in = counts.in;
      out = counts.out;
      edgeScratch.Resize(size_t{kMapEdgeSize} * (in + out));
      map->Seek(counts.edgesPos);
      map->Read(edgeScratch.data, edgeScratch.Size());
    });
    const uint32_t self = static_cast<uint32_t>(nodes.Size());
    AddNode(AtlasNodeKey(index, e), flags);
    for (uint32_t j = 0; j < in + out; j++) {
      const uint8_t* edge = edgeScratch.data + size_t{kMapEdgeSize} * j;
      const uint32_t other = LoadLE32(edge + 4) & ~3u;
      // An edge between two core records is stored at both: take it where
      // its other end has been read already.
      if (other >= e) continue;
      const TAtlasNode* found = std::lower_bound(nodes.begin() + mapFirst, nodes.begin() + self,
                                                 AtlasNodeKey(index, other),
                                                 [](const TAtlasNode& x, uint64_t k) { return x.key < k; });
      if (found == nodes.begin() + self || found->key != AtlasNodeKey(index, other)) throw TAtlasMapError{index};
      const uint32_t o = static_cast<uint32_t>(found - nodes.data);
      if (j < in) {
        AddLoadedEdge(o, self, edge);
      } else {
        AddLoadedEdge(self, o, edge);
      }
    }
    if (border & 1) {
      uint32_t cost = 0;
      bool ownCost = true;
      const TGeoPoint end = ReadingMap(index, [&] {
        cost = record.GetExtraWord();
        const TGeoPoint p = AtlasLinkPoint(map, index, e, true);
        if (metric == kAtlasDistance) ownCost = OwnTreeCost(map, e, p, metric, refScratch, cost);
        return p;
      });
      const int32_t matched = MatchPoint(maps, index, end, metric, refScratch);
      if (matched < 0) {
        nodes[self].role |= kAtlasExitNode;
      } else {
        if (!ownCost) timeCostJoins += static_cast<uint32_t>(refScratch.Size());
        for (const TNodeRef& r : refScratch) {
          joins.PushBack(TAtlasJoin{self, AtlasNodeKey(static_cast<uint32_t>(matched), r.position), cost,
                                    static_cast<uint8_t>(r.word & 1)});
        }
      }
    }
    e = ReadingMap(index, [&] { return record.GetEndPos(); });
  }
  // Such a join is costed in the wrong unit, but one odd node should not
  // cost the map every route across its border.
  if (timeCostJoins) {
    g_Log.Print("Joins without a Distance cost of their own in %s: %u (Time cost used)", map->GetFileName().c_str(),
                timeCostJoins);
  }
}

bool CAtlasGraph::MakeJoins(const CReallocArray<TAtlasJoin>& joins, const bool* stop) {
  for (const TAtlasJoin& j : joins) {
    if (Stopped(stop)) return false;
    TAtlasNode* matched = FindNode(j.matched);
    // A tree reference to a record that is no core node of its map.
    if (!matched) throw TAtlasMapError{KeyMap(j.matched)};
    AddJoin(j.border, Index(matched), j.cost, j.s != 0);
    matched->role &= static_cast<uint8_t>(~kAtlasStartNode);
  }
  return true;
}

bool CAtlasGraph::Load(const CReallocArray<CMapFile*>& maps, uint32_t metric, const bool* stop) {
  ClearAdjacency();
  SetBoundPoints(nullptr);
  nodes.Free();
  edges.Free();
  baseEdges = 0;
  CReallocArray<TAtlasJoin> joins;
  for (uint32_t i = 0; i < maps.Size(); i++) {
    LoadMap(maps, i, metric, stop, joins);
    if (Stopped(stop)) return false;
  }
  if (!MakeJoins(joins, stop)) return false;
  baseEdges = edges.Size();
  if (metric == kAtlasDistance) MakeBoundPoints(maps);
  return true;
}

void CAtlasGraph::MakeBoundPoints(const CReallocArray<CMapFile*>& maps) {
  // Every edge of a map's graph costs at least the straight distance
  // between its ends' start points, and a join the length of its border
  // link, which ends within 25 m of the matched node's start: a bound
  // that is that much too high where a path crosses a border only hides a
  // witness now and then. The bound only saves work: a point that cannot
  // be read leaves the searches without it (Load cleared it), and the
  // build as it would have been.
  CReallocArray<TGeoPoint> at;
  at.Reserve(nodes.Size());
  try {
    for (const TAtlasNode& n : nodes) {
      at.PushBack(AtlasLinkPoint(maps[KeyMap(n.key)], KeyMap(n.key), KeyPosition(n.key), false));
    }
  } catch (const TStreamException&) {
    return;
  }
  CReallocArray<CH::TBoundPoint> points;
  if (CH::ProjectBoundPoints(at.data, at.Size(), points)) SetBoundPoints(points.data);
}

// ---- contraction ----

bool CAtlasGraph::Contract(const bool* stop) {
  RelinkBaseEdges();
  CReallocArray<CH::TChNode*> all;
  all.Reserve(nodes.Size());
  for (TAtlasNode& n : nodes) all.PushBack(&n);
  // Time costs have no points to bound them: landmarks do, over the joined
  // base edges, for all three orderings.
  landmarkBounds = false;
  if (!pointBounds) FindLandmarks();
  CH::TOrderingState state(*this, CH::kHeapEntriesPerBlock);

  CReallocArray<CH::TChNode*> list, entries, exits, core;
  CollectTerminals(entries, exits);
  entryCount = static_cast<uint32_t>(entries.Size());
  exitCount = static_cast<uint32_t>(exits.Size());
  if (entries.Empty() || exits.Empty()) {
    // No route runs from an entry to an exit (an island's atlas, say): the
    // selection would return the entry and exit nodes alone, in node order,
    // so a first ordering only costs.
    for (TAtlasNode& n : nodes) {
      if (n.role & (kAtlasStartNode | kAtlasExitNode)) core.PushBack(&n);
    }
  } else {
    // First ordering: only to find the core.
    list.Assign(all.data, all.Size());
    OrderNodes(state, list, CompareAtlasNodeKeys, stop);
    if (Stopped(stop)) return false;
    LinkAllEdges();
    SelectCoreNodes(state, entries, exits, core, stop);
    if (Stopped(stop)) return false;
  }

  // Second ordering: the rest first with the core left out, then the core.
  RelinkBaseEdges();
  for (CH::TChNode* n : core) n->rank = CH::kCoreRank;
  list.Clear();
  for (CH::TChNode* n : all) {
    if (n->rank != CH::kCoreRank) list.PushBack(n);
  }
  OrderNodes(state, list, CompareAtlasNodeKeys, stop);
  if (Stopped(stop)) return false;
  list.Assign(core.data, core.Size());
  OrderNodes(state, list, CompareAtlasNodeKeys, stop);
  if (Stopped(stop)) return false;
  const int32_t coreStart = static_cast<int32_t>(nodes.Size() - core.Size());
  for (CH::TChNode* n : core) n->rank += coreStart;
  coreCount = static_cast<uint32_t>(core.Size());
  return true;
}

const char* CAtlasGraph::CheckContracted() const {
  const size_t n = nodes.Size();
  CReallocArray<uint8_t> seen;
  seen.ResizeZeroed(n);
  for (const TAtlasNode& node : nodes) {
    if (node.rank < 0 || static_cast<size_t>(node.rank) >= n) return "rank outside 0..N-1";
    if (seen[static_cast<size_t>(node.rank)]++) return "rank given twice";
  }
  for (size_t i = 0; i < edges.Size(); i++) {
    const TAtlasEdge& e = edges[i];
    if (e.from >= n || e.to >= n) return "edge end outside the nodes";
    if (e.from == e.to) return "edge from a node to itself";
    if ((i < baseEdges) != !e.shortcut) return "shortcut among the base edges";
    if (e.shortcut) {
      const int32_t via = nodes[e.via].rank;
      if (via >= nodes[e.from].rank || via >= nodes[e.to].rank) return "shortcut via a node above its ends";
    }
  }
  return nullptr;
}

}  // namespace ZorvaneMap
