#include "routing/roadgraph.h"

#include <algorithm>

#include "core/log.h"
#include "routing/roadgraph_internal.h"

using namespace PolskiFormat;

namespace RoadGraphDetail {

TPointD RoadPoint(const TRoadAttributes& road, uint32_t index) {
  const CReallocArray<TPointD>& points = road.FirstLevelPoints;
  if (points.Empty()) return {0, 0};
  return points[index < points.Size() ? index : points.Size() - 1];
}

uint32_t NodePointIndex(const TRoadAttributes& road, size_t position) {
  uint32_t index = road.Nodes[position].PointIndex;
  size_t n = road.FirstLevelPoints.Size();
  return n == 0 ? 0 : (index < n ? index : static_cast<uint32_t>(n - 1));
}

bool IsGraphRoad(const CPolyline& line) { return line.Routing && !line.Routing->AccessDenied[2]; }

void NodeDegrees(const TRoadGraph& graph, uint32_t node, double* lat, double* lon) {
  const TGraphNode* n = graph.FindNode(node);
  *lat = n ? n->Point.y / static_cast<double>(kGeoUnitsPerDegree) : 0;
  *lon = n ? n->Point.x / static_cast<double>(kGeoUnitsPerDegree) : 0;
}

}  // namespace RoadGraphDetail

using namespace RoadGraphDetail;

namespace {

// ---- Orders ----

bool LinkFromLess(const TRoadLink& a, const TRoadLink& b) { return SignedLess(a.From, b.From); }
bool LinkToLess(const TRoadLink* a, const TRoadLink* b) { return SignedLess(a->To, b->To); }

bool NodeRoadLess(const TNodeRoadRef& a, const TNodeRoadRef& b) {
  return a.NodeId != b.NodeId ? a.NodeId < b.NodeId : a.RoadId < b.RoadId;
}

template <class T>
bool KeyLess(const T& a, const T& b) {
  return std::memcmp(&a, &b, 20) < 0;
}

// ---- Build steps ----

uint32_t RoadWord(const CPolyline& line, const TRoadAttributes& road) {
  uint32_t word = static_cast<uint32_t>(line.Type) & kRoadTypeMask;
  word |= static_cast<uint32_t>(EstimateRoadSpeed(road)) << kRoadSpeedShift;
  if (road.OneWay & 1) word |= kRoadOneWay;
  if (line.Type == 0x0a) word |= kRoadType0A;
  if (road.RouteParamExt & 1) word |= kRoadExt;
  return word;
}

// Ground length of the road between two point indexes, in metres. Saturates
// rather than wrapping: a wrapped length would make a long link look short.
uint32_t RoadLength(const TRoadAttributes& road, uint32_t from, uint32_t to) {
  if (to <= from) return 0;
  TPointD p = RoadPoint(road, from);
  TGeoPoint previous = DegreesToGeoPoint(p.x, p.y);
  uint64_t sum = 0;
  for (uint32_t i = from + 1; i <= to && sum < kLinkLengthMask; i++) {
    p = RoadPoint(road, i);
    TGeoPoint next = DegreesToGeoPoint(p.x, p.y);
    sum += GeoDistance(previous, next);
    previous = next;
  }
  return sum < kLinkLengthMask ? static_cast<uint32_t>(sum) : kLinkLengthMask;
}

void AddRoad(TRoadGraph& graph, const CPolyline& line, const TRoadAttributes& road) {
  graph.Roads.PushBack({road.RoadId, RoadWord(line, road)});
  const uint32_t oneWay = (road.OneWay & 1) ? kLinkOneWay : 0;
  for (size_t j = 0; j < road.Nodes.Size(); j++) {
    const TRoadNode& node = road.Nodes[j];
    uint32_t index = NodePointIndex(road, j);
    TPointD p = RoadPoint(road, index);
    graph.Nodes.PushBack({DegreesToGeoPoint(p.x, p.y), node.NodeId, static_cast<uint8_t>(node.Bound ? 1 : 0)});
    graph.NodeRoads.PushBack({node.NodeId, road.RoadId, static_cast<uint32_t>(j)});
    if (j > 0) {
      uint32_t length = RoadLength(road, NodePointIndex(road, j - 1), index);
      graph.Links.PushBack({road.Nodes[j - 1].NodeId, node.NodeId, road.RoadId, length | oneWay});
    }
  }
}

void SortArrays(TRoadGraph& graph) {
  // Stable sorts: equal keys keep the map's order, the same on every build.
  std::stable_sort(graph.Roads.begin(), graph.Roads.end(),
                   [](const TGraphRoad& a, const TGraphRoad& b) { return SignedLess(a.RoadId, b.RoadId); });
  std::stable_sort(graph.Links.begin(), graph.Links.end(), LinkFromLess);
  std::sort(graph.NodeRoads.begin(), graph.NodeRoads.end(), [](const TNodeRoadRef& a, const TNodeRoadRef& b) {
    return NodeRoadLess(a, b) || (!NodeRoadLess(b, a) && a.Position < b.Position);
  });

  graph.LinksByTo.Reserve(graph.Links.Size());
  for (const TRoadLink& link : graph.Links) graph.LinksByTo.PushBack(&link);
  std::stable_sort(graph.LinksByTo.begin(), graph.LinksByTo.end(), LinkToLess);

  // One node per id; it is external when any road marks it so. Of equal
  // entries the first road's point is kept.
  std::stable_sort(graph.Nodes.begin(), graph.Nodes.end(), [](const TGraphNode& a, const TGraphNode& b) {
    if (a.NodeId != b.NodeId) return SignedLess(a.NodeId, b.NodeId);
    return a.External > b.External;
  });
  size_t kept = 0;
  for (size_t i = 0; i < graph.Nodes.Size(); i++) {
    if (kept == 0 || graph.Nodes[kept - 1].NodeId != graph.Nodes[i].NodeId) graph.Nodes[kept++] = graph.Nodes[i];
  }
  graph.Nodes.Resize(kept);
}

void AddRestrictions(TRoadGraph& graph, const CMap& map) {
  for (const TRestriction* r : map.Restrictions) {
    size_t points = r->TraffPoints.Size(), roads = r->TraffRoads.Size();
    if (points == 3 && roads == 2) {
      const uint32_t* p = r->TraffPoints.data;
      graph.RestrictionKeys.PushBack({p[0], p[1], p[2], r->TraffRoads[0], r->TraffRoads[1]});
    } else if (points > 3 && roads + 1 == points) {
      TRestrictionChain* chain = graph.RestrictionChains.EmplaceBack();
      chain->Roads.Assign(r->TraffRoads.data, roads);
      chain->Nodes.Assign(r->TraffPoints.data, points);
    }
  }
  std::sort(graph.RestrictionKeys.begin(), graph.RestrictionKeys.end(), KeyLess<TRestrictionKey>);
  std::sort(graph.RestrictionChains.begin(), graph.RestrictionChains.end(), CompareRestrictionChains);
}

// ---- Validation ----

// Counts the link ends at each node id: Links by from and LinksByTo by to
// are both in signed order, so one merge walk visits each id once.
bool CheckAdjacentLinks(const TRoadGraph& graph) {
  bool ok = true;
  size_t i = 0, j = 0;
  const size_t nf = graph.Links.Size(), nt = graph.LinksByTo.Size();
  while (i < nf || j < nt) {
    uint32_t node;
    if (j == nt || (i < nf && !SignedLess(graph.LinksByTo[j]->To, graph.Links[i].From))) {
      node = graph.Links[i].From;
    } else {
      node = graph.LinksByTo[j]->To;
    }
    size_t ends = 0;
    while (i < nf && graph.Links[i].From == node) i++, ends++;
    while (j < nt && graph.LinksByTo[j]->To == node) j++, ends++;
    if (ends > kMaxAdjacentLinks) {
      g_Log.Print("Error: too many adjacent roads (node id %u)", node);
      ok = false;
    }
  }
  return ok;
}

// A chain must pass through inner nodes of this map: a boundary node or an
// unknown one makes it unusable. Unusable chains are dropped in one pass.
void CheckRestrictionChains(TRoadGraph& graph) {
  CReallocArray<TRestrictionChain>& chains = graph.RestrictionChains;
  size_t kept = 0;
  for (size_t i = 0; i < chains.Size(); i++) {
    const CReallocArray<uint32_t>& nodes = chains[i].Nodes;
    bool usable = true;
    for (size_t k = 1; k + 1 < nodes.Size() && usable; k++) {
      const TGraphNode* node = graph.FindNode(nodes[k]);
      usable = node && !node->External;
    }
    if (!usable) {
      g_Log.Print("Bad restriction (%u, %u)", nodes[0], nodes.Back());
      continue;
    }
    if (kept != i) chains[kept] = std::move(chains[i]);
    kept++;
  }
  chains.Resize(kept);
}

// A road that passes one node twice cannot be routed.
bool CheckDuplicateNodes(const TRoadGraph& graph, const CMap& map) {
  bool ok = true;
  for (size_t i = 1; i < graph.NodeRoads.Size(); i++) {
    const TNodeRoadRef& a = graph.NodeRoads[i - 1];
    const TNodeRoadRef& b = graph.NodeRoads[i];
    if (a.NodeId != b.NodeId || a.RoadId != b.RoadId) continue;
    TPointD p{0, 0};
    const TRoadAttributes* road = FindRoadById(map, b.RoadId);
    if (road && b.Position < road->Nodes.Size()) p = RoadPoint(*road, NodePointIndex(*road, b.Position));
    g_Log.Print("Error: duplicate node id %d, road %d, [%lf %lf]", static_cast<int32_t>(b.NodeId),
                static_cast<int32_t>(b.RoadId), p.y, p.x);
    ok = false;
  }
  return ok;
}

// Two roads with one id cannot be told apart: every look-up by road id
// would give one road's one-way flag, speed and type for the links of both.
bool CheckDuplicateRoads(const TRoadGraph& graph) {
  bool ok = true;
  for (size_t i = 1; i < graph.Roads.Size(); i++) {
    const uint32_t id = graph.Roads[i].RoadId;
    if (graph.Roads[i - 1].RoadId != id || (i >= 2 && graph.Roads[i - 2].RoadId == id)) continue;
    g_Log.Print("Error: duplicate road id %u", id);
    ok = false;
  }
  return ok;
}

}  // namespace

bool CompareRestrictionChains(const TRestrictionChain& x, const TRestrictionChain& y) {
  if (x.Roads.Size() != y.Roads.Size()) return x.Roads.Size() < y.Roads.Size();
  for (size_t i = 0; i < x.Roads.Size(); i++) {
    if (x.Roads[i] != y.Roads[i]) return SignedLess(x.Roads[i], y.Roads[i]);
    if (x.Nodes[i] != y.Nodes[i]) return SignedLess(x.Nodes[i], y.Nodes[i]);
  }
  return SignedLess(x.Nodes.Back(), y.Nodes.Back());
}

void TRoadGraph::Free() {
  Roads.Free();
  Nodes.Free();
  Links.Free();
  LinksByTo.Free();
  NodeRoads.Free();
  RestrictionKeys.Free();
  RestrictionChains.Free();
  LaneConnections.Free();
}

const TGraphRoad* TRoadGraph::FindRoad(uint32_t roadId) const {
  const TGraphRoad* it = std::lower_bound(Roads.begin(), Roads.end(), roadId,
                                          [](const TGraphRoad& r, uint32_t id) { return SignedLess(r.RoadId, id); });
  return it != Roads.end() && it->RoadId == roadId ? it : nullptr;
}

const TGraphNode* TRoadGraph::FindNode(uint32_t nodeId) const {
  const TGraphNode* it = std::lower_bound(Nodes.begin(), Nodes.end(), nodeId,
                                          [](const TGraphNode& n, uint32_t id) { return SignedLess(n.NodeId, id); });
  return it != Nodes.end() && it->NodeId == nodeId ? it : nullptr;
}

const TRoadLink* TRoadGraph::LinksFromBegin(uint32_t node) const {
  return std::lower_bound(Links.begin(), Links.end(), node,
                          [](const TRoadLink& l, uint32_t id) { return SignedLess(l.From, id); });
}
const TRoadLink* TRoadGraph::LinksFromEnd(uint32_t node) const {
  return std::upper_bound(Links.begin(), Links.end(), node,
                          [](uint32_t id, const TRoadLink& l) { return SignedLess(id, l.From); });
}
const TRoadLink* const* TRoadGraph::LinksToBegin(uint32_t node) const {
  return std::lower_bound(LinksByTo.begin(), LinksByTo.end(), node,
                          [](const TRoadLink* l, uint32_t id) { return SignedLess(l->To, id); });
}
const TRoadLink* const* TRoadGraph::LinksToEnd(uint32_t node) const {
  return std::upper_bound(LinksByTo.begin(), LinksByTo.end(), node,
                          [](uint32_t id, const TRoadLink* l) { return SignedLess(id, l->To); });
}

bool TRoadGraph::HasRestrictionKey(uint32_t fromNode, uint32_t viaNode, uint32_t toNode, uint32_t fromRoad,
                                   uint32_t toRoad) const {
  const TRestrictionKey key{fromNode, viaNode, toNode, fromRoad, toRoad};
  const TRestrictionKey* it =
      std::lower_bound(RestrictionKeys.begin(), RestrictionKeys.end(), key, KeyLess<TRestrictionKey>);
  return it != RestrictionKeys.end() && std::memcmp(it, &key, sizeof key) == 0;
}

const TLaneConnection* TRoadGraph::FindLaneConnection(uint32_t fromNode, uint32_t viaNode, uint32_t toNode,
                                                      uint32_t entryRoad, uint32_t exitRoad) const {
  TLaneConnection key{fromNode, viaNode, toNode, entryRoad, exitRoad, 0, 0, 0, 0};
  const TLaneConnection* it =
      std::lower_bound(LaneConnections.begin(), LaneConnections.end(), key, KeyLess<TLaneConnection>);
  return it != LaneConnections.end() && std::memcmp(it, &key, 20) == 0 ? it : nullptr;
}

uint8_t* TRoadGraph::FindDirectionLanes(uint32_t a, uint32_t b, uint32_t road, CMap& map) const {
  const TNodeRoadRef* end = NodeRoads.end();
  const TNodeRoadRef* ra = FindLinkRecord(FindRoadLinksByNode(*this, a), end, a, road);
  const TNodeRoadRef* rb = FindLinkRecord(FindRoadLinksByNode(*this, b), end, b, road);
  if (!ra || !rb) return nullptr;
  TRoadAttributes* record = FindRoadById(map, road);
  if (!record) return nullptr;
  return ra->Position < rb->Position ? &record->LanesForward : &record->LanesBackward;
}

void TRoadGraph::GetAllowedExits(uint32_t a, uint32_t b, uint32_t c, CReallocArray<const TRoadLink*>& out) const {
  out.Clear();
  ForEachAllowedExit(a, b, c, [&out](const TRoadLink* link) { out.PushBack(link); });
}

void TRoadGraph::GetAllowedEntries(uint32_t a, uint32_t b, uint32_t c,
                                   CReallocArray<const TRoadLink*>& out) const {
  out.Clear();
  for (const TRoadLink *l = LinksFromBegin(a), *e = LinksFromEnd(a); l != e; ++l) {
    if (!l->OneWay() && !HasRestrictionKey(l->To, a, b, l->RoadId, c)) out.PushBack(l);
  }
  for (const TRoadLink* const *l = LinksToBegin(a), *const *e = LinksToEnd(a); l != e; ++l) {
    if (!HasRestrictionKey((*l)->From, a, b, (*l)->RoadId, c)) out.PushBack(*l);
  }
}

PolskiFormat::TRoadAttributes* FindRoadById(const CMap& map, uint32_t roadId) {
  TRoadAttributes* const* begin = map.RoadAttributes.begin();
  TRoadAttributes* const* end = map.RoadAttributes.end();
  TRoadAttributes* const* it = std::lower_bound(
      begin, end, roadId, [](const TRoadAttributes* r, uint32_t id) { return r->RoadId < id; });
  return it != end && (*it)->RoadId == roadId ? *it : nullptr;
}

const TNodeRoadRef* FindRoadLinksByNode(const TRoadGraph& graph, uint32_t node) {
  return std::lower_bound(graph.NodeRoads.begin(), graph.NodeRoads.end(), node,
                          [](const TNodeRoadRef& r, uint32_t id) { return r.NodeId < id; });
}

const TNodeRoadRef* FindLinkRecord(const TNodeRoadRef* first, const TNodeRoadRef* end, uint32_t node,
                                   uint32_t road) {
  const TNodeRoadRef key{node, road, 0};
  const TNodeRoadRef* it = std::lower_bound(first, end, key, NodeRoadLess);
  return it != end && it->NodeId == node && it->RoadId == road ? it : nullptr;
}

uint32_t LinkDistanceCost(const TRoadLink& link) {
  uint32_t cost = link.Metres();
  return cost == 0 ? 1 : (cost > kMaxLinkCost ? kMaxLinkCost : cost);
}

uint32_t LinkTimeCost(const TRoadLink& link, uint8_t speedKmh) {
  uint64_t cost = static_cast<uint64_t>(link.Metres()) * 576 / (10u * (speedKmh ? speedKmh : 1));
  return cost == 0 ? 1 : (cost > kMaxLinkCost ? kMaxLinkCost : static_cast<uint32_t>(cost));
}

bool ValidateRoadGraph(TRoadGraph& graph, const CMap& map) {
  bool ok = CheckAdjacentLinks(graph);
  CheckRestrictionChains(graph);
  ok = CheckDuplicateNodes(graph, map) && ok;
  return CheckDuplicateRoads(graph) && ok;
}

bool BuildRoadGraph(TRoadGraph& graph, CMap& map) {
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const CPolyline& line = *map.Polyline(i);
    if (IsGraphRoad(line)) AddRoad(graph, line, *line.Routing);
  }
  SortArrays(graph);
  AddRestrictions(graph, map);
  BuildLaneConnections(graph, map);
  return ValidateRoadGraph(graph, map);
}
