// Section 10: the CH graphs of the map, Distance then Time.
//
// Header (16 bytes, 4-aligned):
//   0   u32  Distance core-node count: the records from the first record of
//            a core node (rank 0x7fffffff) to the end of that graph; 0 = none
//   4   u32  image offset of that first core-node record; 0 = none
//   8   u32  Time core-node count
//   12  u32  image offset of the first Time core-node record
// Then the node records of the Distance graph and those of the Time graph,
// back to back, each graph's nodes by rank (signed: -1 first, core last),
// equal ranks in node order. Every record starts 4-aligned.
//
// Node record:
//   0   u32  image offset of the record of the road of the node's link
//            (filled when the road references are patched)
//   4   u32  bits 0-15 index of the link on its road, bits 16-23 1 along
//            the road's point order, 0 against (filled likewise)
//   8   u8   flags: bit 0 the start node is external, bit 1 the road has
//            type 0x0a, bit 2 area node (the road's RouteParamExt)
//   9   u8   1 when the end node is external
//   10  u8   incoming edge count; 255 = a u16 count follows
//   11  u8   outgoing edge count; 255 = a u16 count follows
//   12  0/2  u16 incoming count, when byte 10 is 255
//   ..  0/2  u16 outgoing count, when byte 11 is 255
//   ..  0-3  zeros to a multiple of 4
//   ..  12 per edge: the incoming edges, then the outgoing ones
//   ..  0/4  u32 Time cost of the node's link, when the end node is
//            external (in both graphs)
// Edge:
//   0   u32  bits 2-31 cost in the graph's metric; bit 0 U-turn mark,
//            bit 1 type-0x0a mark
//   4   u32  image offset of the record at the other end | edge bit 30
//   8   u32  a shortcut's via node record; 0 for a plain edge
#include <algorithm>

#include "core/log.h"
#include "mapfile/text.h"
#include "routing/graphsections.h"

using CH::CGeoMapGraph;
using CH::TGeoMapNode;
using ZorvaneMap::AlignTo4;
using ZorvaneMap::WriteZeros;

namespace {

bool Stopped(const bool* stop) { return stop && *stop; }

TOrientedLink LinkOf(const TGeoMapNode& n) { return {n.StartNode(), n.EndNode(), n.RoadId()}; }

void OrU32(CMemStream& out, uint64_t position, uint32_t value) {
  out.PutU32At(position, out.GetU32At(position) | value);
}

// One edge as stored at one of its ends; `host` and `other` are positions
// in the node order.
struct TEdgeEntry {
  uint32_t host;
  uint32_t other;
  uint32_t edge;
  uint8_t outgoing;
};

// Where a record offset is still to be ORed in: a node index and a place.
struct TRecordPatch {
  uint32_t node;
  uint32_t position;
};

constexpr uint32_t kMaxNodeEdges = 0xffff;
constexpr uint64_t kMaxRecordOffset = 0x7fffffff;

void WriteEdgeCount(CMemStream& out, uint32_t n) {
  if (n >= 255) out.WriteU16(static_cast<uint16_t>(n));
}

}  // namespace

bool OrientedLinkLess(const TOrientedLink& a, const TOrientedLink& b) {
  if (a.start != b.start) return SignedLess(a.start, b.start);
  if (a.end != b.end) return SignedLess(a.end, b.end);
  return SignedLess(a.road, b.road);
}

void CGraphSectionWriter::Free() {
  linkScratch.Free();
  turnScratch.Free();
  laneScratch.Free();
  NodeTable.Free();
  RefsToFill.Free();
  TimeNodes.Free();
  DistanceNodes.Free();
  NodeRefPlaces.Free();
  RoadLinks.Free();
  ExternalNodes.Free();
}

void ComputeEdgeMarks(const CGeoMapGraph& graph, const TRoadGraph& roads, CReallocArray<uint8_t>& marks) {
  marks.Free();
  marks.ResizeZeroed(graph.edges.Size());
  for (size_t i = 0; i < graph.edges.Size(); i++) {
    const CH::TChEdge& e = graph.edges[i];
    if (e.via) {
      // From the two edges the shortcut was made of, recorded then: a
      // search for them could pick a parallel edge with other marks.
      // Halves always come before the edge that joins them.
      uint8_t m = 0;
      if (e.halves.first < i) m |= marks[e.halves.first];
      if (e.halves.second < i) m |= marks[e.halves.second];
      marks[i] = m;
      continue;
    }
    const TGeoMapNode& from = CGeoMapGraph::Node(e.from);
    const TGeoMapNode& to = CGeoMapGraph::Node(e.to);
    const TGraphRoad* road = roads.FindRoad(to.RoadId());
    uint8_t m = road && (road->Word & kRoadType0A) ? 2 : 0;
    const bool sameLink = from.link.From == to.link.From && from.link.To == to.link.To &&
                          from.link.RoadId == to.link.RoadId && from.direction != to.direction;
    marks[i] = static_cast<uint8_t>(m | (sameLink ? 1 : 0));
  }
}

void WriteChGraph(CGraphSectionWriter& writer, CGeoMapGraph& graph, const TRoadGraph& roads, uint32_t metric,
                  CMemStream& out, uint32_t* coreCount, uint32_t* corePosition) {
  const uint32_t n = static_cast<uint32_t>(graph.nodes.Size());
  const CReallocArray<TGeoMapNode>& nodes = graph.nodes;

  // Node order: rank (signed), then node order.
  CReallocArray<uint32_t> order, rankOf;
  order.Resize(n);
  for (uint32_t i = 0; i < n; i++) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return nodes[a].rank != nodes[b].rank ? nodes[a].rank < nodes[b].rank : a < b;
  });
  rankOf.Resize(n);
  for (uint32_t k = 0; k < n; k++) rankOf[order[k]] = k;

  // Every edge at its lower-ranked end. Equal ranks (two core nodes, or
  // two nodes of rank -1) store it at both ends, as readers expect. A query
  // that starts or ends on a rank -1 node (an inner link of a chain
  // restriction) could then complete the chain through such edges; routes
  // are only ever asked between links of rank 0 or more.
  CReallocArray<TEdgeEntry> entries;
  for (uint32_t i = 0; i < graph.edges.Size(); i++) {
    const CH::TChEdge& e = graph.edges[i];
    const uint32_t from = static_cast<uint32_t>(graph.Index(e.from)), to = static_cast<uint32_t>(graph.Index(e.to));
    const int32_t rf = nodes[from].rank, rt = nodes[to].rank;
    if (rf <= rt) entries.PushBack(TEdgeEntry{rankOf[from], rankOf[to], i, 1});
    if (rt <= rf) entries.PushBack(TEdgeEntry{rankOf[to], rankOf[from], i, 0});
  }
  // At one node the incoming edges first, then by the other end; parallel
  // edges in edge order.
  std::sort(entries.begin(), entries.end(), [](const TEdgeEntry& a, const TEdgeEntry& b) {
    if (a.host != b.host) return a.host < b.host;
    if (a.outgoing != b.outgoing) return a.outgoing < b.outgoing;
    if (a.other != b.other) return a.other < b.other;
    return a.edge < b.edge;
  });
  CReallocArray<uint8_t> marks;
  ComputeEdgeMarks(graph, roads, marks);

  CReallocArray<uint32_t> recordAt;
  recordAt.ResizeZeroed(n);
  CReallocArray<TRecordPatch> patches;
  *coreCount = 0;
  *corePosition = 0;
  size_t next = 0, coreEntries = 0;
  for (uint32_t k = 0; k < n; k++) {
    const uint32_t i = order[k];
    const TGeoMapNode& node = nodes[i];
    // Record offsets go into 29 bits of the tree's words (offset / 4) and
    // into u32 references: the section must end below 2^31 like the image.
    if (out.GetPos() > kMaxRecordOffset) throw "Too big out file";
    const uint32_t pos = static_cast<uint32_t>(out.GetPos());
    recordAt[i] = pos;
    if (node.rank == CH::kCoreRank && *coreCount == 0) {
      *coreCount = n - k;
      *corePosition = pos;
    }
    const TOrientedLink link = LinkOf(node);
    writer.RefsToFill.PushBack(TLinkPlace{link, pos});
    out.WriteU32(0);
    out.WriteU32(0);

    const TGraphRoad* road = roads.FindRoad(node.RoadId());
    const bool type0a = road && (road->Word & kRoadType0A);
    const uint32_t word = pos >> 2 << 3 | metric << 1;
    if (node.startExternal) {
      const TGraphNode* at = roads.FindNode(link.start);
      TGeoPoint p = at ? at->Point : TGeoPoint{0, 0};
      writer.ExternalNodes.PushBack(TExternalNodeEntry{p.x, p.y, word | (type0a ? 4u : 0u), 0});
    }
    if (node.endExternal) {
      const TGraphNode* at = roads.FindNode(link.end);
      TGeoPoint p = at ? at->Point : TGeoPoint{0, 0};
      // The metric's own cost here, while the record below keeps the Time
      // cost in both graphs.
      const uint32_t cost = road ? CH::LinkCost(node.link, *road, metric) : 1;
      writer.ExternalNodes.PushBack(TExternalNodeEntry{p.x, p.y, word | 1u, cost});
    }

    const size_t first = next;
    while (next < entries.Size() && entries[next].host == k) next++;
    uint32_t incoming = 0;
    for (size_t j = first; j < next; j++) incoming += entries[j].outgoing ? 0 : 1;
    const uint32_t outgoing = static_cast<uint32_t>(next - first) - incoming;
    if (incoming > kMaxNodeEdges || outgoing > kMaxNodeEdges) throw "Too much CH-node edges";
    if (node.rank == CH::kCoreRank) coreEntries += next - first;

    out.WriteU8(static_cast<uint8_t>((node.startExternal ? 1 : 0) | (type0a ? 2 : 0) |
                                     ((node.flags & CH::kNodeArea) ? 4 : 0)));
    out.WriteU8(node.endExternal ? 1 : 0);
    out.WriteU8(static_cast<uint8_t>(std::min<uint32_t>(incoming, 255)));
    out.WriteU8(static_cast<uint8_t>(std::min<uint32_t>(outgoing, 255)));
    WriteEdgeCount(out, incoming);
    WriteEdgeCount(out, outgoing);
    AlignTo4(out);
    for (size_t j = first; j < next; j++) {
      const CH::TChEdge& e = graph.edges[entries[j].edge];
      out.WriteU32(CH::EdgeCost(e.word) << 2 | marks[entries[j].edge]);
      patches.PushBack(TRecordPatch{order[entries[j].other], static_cast<uint32_t>(out.GetPos())});
      out.WriteU32((e.word & CH::kEdgeLeavesArea) ? 1 : 0);
      if (e.via) patches.PushBack(TRecordPatch{static_cast<uint32_t>(graph.Index(e.via)), static_cast<uint32_t>(out.GetPos())});
      out.WriteU32(0);
    }
    if (node.endExternal) out.WriteU32(road ? CH::LinkCost(node.link, *road, CH::kMetricTime) : 1);
  }
  // Every record has its place now: the references between them.
  for (const TRecordPatch& p : patches) OrU32(out, p.position, recordAt[p.node]);

  CReallocArray<TLinkPlace>& list = metric == CH::kMetricTime ? writer.TimeNodes : writer.DistanceNodes;
  list.Free();
  list.Reserve(n);
  for (uint32_t i = 0; i < n; i++) list.PushBack(TLinkPlace{LinkOf(nodes[i]), recordAt[i]});
  auto less = [](const TLinkPlace& a, const TLinkPlace& b) { return OrientedLinkLess(a.link, b.link); };
  if (!std::is_sorted(list.begin(), list.end(), less)) std::stable_sort(list.begin(), list.end(), less);

  const uint32_t edges = static_cast<uint32_t>(entries.Size());
  g_Log.Print("%s graph: %u (%u), %u, %u (%u)", metric == CH::kMetricTime ? "Time" : "Distance", n, *coreCount,
              edges / 2, n ? edges / n / 2 : 0, *coreCount ? static_cast<uint32_t>(coreEntries / *coreCount / 2) : 0);
}

bool WriteChGraphs(CGraphSectionWriter& writer, const TRoadGraph& roads, CMemStream& out, const bool* stop) {
  const uint64_t header = out.GetPos();
  WriteZeros(out, 16);
  uint32_t counts[4] = {};
  CGeoMapGraph graph;
  graph.Build(roads, CH::kMetricDistance, false, stop);
  if (Stopped(stop)) return false;
  WriteChGraph(writer, graph, roads, CH::kMetricDistance, out, &counts[0], &counts[1]);
  graph.Build(roads, CH::kMetricTime, true, stop);
  if (Stopped(stop)) return false;
  WriteChGraph(writer, graph, roads, CH::kMetricTime, out, &counts[2], &counts[3]);
  const uint64_t end = out.GetPos();
  out.Seek(header);
  for (uint32_t v : counts) out.WriteU32(v);
  out.Seek(end);
  return true;
}
