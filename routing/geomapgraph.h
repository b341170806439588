// The contraction hierarchy of one map's roads, as the map file's routing
// section stores it. The graph is edge-based: a node is a road link
// travelled in one direction, an edge a permitted turn from the end of one
// link onto a link that starts there, costing the first link.
//
// Turn restrictions are applied while building: a restriction over two
// roads removes a turn edge; one over three or more roads (a chain) removes
// the nodes of its inner links (rank -1) and joins the nodes around them by
// bypass edges, one per legal way over removed nodes that no cheaper edge
// serves (see ProcessRestrictionChains).
//
// One graph serves both metrics of a map, "Distance" (metres) and "Time"
// (sixteenths of a second): the Distance build makes the nodes and turn
// edges, the Time build only rewrites their costs. Each build contracts
// twice: the first contraction finds the core nodes (where routes enter or
// leave the map, and where the shortest paths between them branch or
// merge), the second leaves them uncontracted with rank kCoreRank.
//
// After a build that was not stopped:
//   nodes   sorted by (start node id, end node id, road id), signed; rank 0,
//           1, 2, ... in contraction order, kCoreRank for a core node,
//           kExcludedRank for a node removed by a chain restriction.
//   edges   the turn edges (also those of removed nodes), then the bypass
//           edges of the chain restrictions (with the partial bypasses
//           they are made of, which end at removed nodes and are never
//           linked), then the shortcuts. A bypass or shortcut comes after
//           the two edges it joins.
//   lists   only the edges between core nodes stay linked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/containers.h"
#include "routing/chcore.h"
#include "routing/roadgraph.h"

namespace CH {

constexpr uint32_t kMetricDistance = 0;
constexpr uint32_t kMetricTime = 1;

// Nodes of the state map of the chain restrictions' searches, per pool block.
constexpr size_t kPairMapPerBlock = 2048;

// A node of the per-map graph: one road link travelled in one direction.
// Flag bit 31 (area node) is the RouteParamExt bit of the link's road.
struct TGeoMapNode : TChNode {
  TRoadLink link;
  uint8_t direction;      // 1 along the link (from -> to), 0 against it
  uint8_t startExternal;  // external flag of the start node's route node
  uint8_t endExternal;    // the same for the end node

  uint32_t StartNode() const { return direction ? link.From : link.To; }
  uint32_t EndNode() const { return direction ? link.To : link.From; }
  uint32_t RoadId() const { return link.RoadId; }
};

// An edge record: a turn edge (no via node), a bypass edge of a chain
// restriction (via = the removed node it passes) or a shortcut (via = the
// contracted node). A bypass or shortcut records the two edges it joins
// (from -> via and via -> to) as indexes into the edge array.
struct TChEdge : TChEdgeRecord {
  TChNode* via;
  TShortcutHalves halves;
};

// Node order: (start node id, end node id, road id), each signed 32-bit.
// The tie-break of both contractions.
bool CompareNodesByStartNode(const TChNode* a, const TChNode* b);

// Points for the witness searches' bound in Distance costs (metres, less a
// margin for the lengths' rounding) from map points; false, and none, when
// there are none or they span the 180th meridian.
bool ProjectBoundPoints(const TGeoPoint* at, size_t count, CReallocArray<TBoundPoint>& points);

// Link cost in a metric, at least 1 and within the 30-bit cost field.
uint32_t LinkCost(const TRoadLink& link, const TGraphRoad& road, uint32_t metric);

// Work of one Build, for the benchmark. Milliseconds of the tick counter.
struct TGeoBuildStats {
  TContractionCounts first;  // the contraction that finds the core; zero when skipped
  TContractionCounts second;
  uint32_t landmarksMs = 0, firstMs = 0, coreMs = 0, secondMs = 0;
  uint32_t entries = 0, exits = 0, core = 0;
  bool firstSkipped = false;  // no entry or no exit node: the core is just those
};

class CGeoMapGraph : public CGraph {
 public:
  CGeoMapGraph() = default;

  // Builds and contracts the graph for one metric. rebuild = false makes the
  // nodes and turn edges afresh; rebuild = true keeps those of an earlier
  // build and only recomputes their costs (the Time build after Distance).
  // A set stop flag leaves the graph unusable.
  void Build(const TRoadGraph& roads, uint32_t metric, bool rebuild, const bool* stop);

  // Makes the nodes (sorted) and the turn edges for a metric.
  void BuildFromRoadGraph(const TRoadGraph& roads, uint32_t metric);
  // Gives every turn edge the Time cost of its from node's link.
  void RecomputeTimeCosts(const TRoadGraph& roads);
  // All ranks 0, all lists empty; the turn edges are linked again (hop
  // count 1) and every later edge is dropped.
  void ResetAdjacency();
  // Removes the inner-link nodes of every chain restriction and joins the
  // nodes around them by bypass edges: per (first, last, bits 30 and 31)
  // the cheapest legal way over removed nodes, loops included.
  void ProcessRestrictionChains(const TRoadGraph& roads);

  void AddShortcut(TChNode* from, TChNode* to, TChNode* via, uint32_t cost, uint32_t hops, bool bit30,
                   bool bit31, TShortcutHalves halves) override;
  void VisitNodes(TNodeVisitor visit, void* context) override;

  // The node of an oriented link, or null (binary search in node order).
  TGeoMapNode* FindNode(uint32_t start, uint32_t end, uint32_t road);
  size_t Index(const TChNode* node) const { return static_cast<const TGeoMapNode*>(node) - nodes.data; }
  static const TGeoMapNode& Node(const TChNode* node) { return *static_cast<const TGeoMapNode*>(node); }
  size_t TurnEdgeCount() const { return turnEdges; }
  const TGeoBuildStats& Stats() const { return stats; }

  CReallocArray<TGeoMapNode> nodes;
  CReallocArray<TChEdge> edges;
  // In the Distance metric the final contraction takes the nodes in the
  // order the first one gave them (the core left out) instead of ordering
  // them again: it keeps no priorities, and on tile maps it cost 0.3-1.1 %
  // more shortcuts for a 25 % faster build. Not in Time, where it cost
  // 5-13 %, the more the larger the core. Off: a second ordering.
  bool reuseFirstOrder = true;
  // In the Distance metric the witness searches leave out nodes that lie
  // too far from the targets to lead to a witness (TBoundPoint): on the
  // generated grids 45 % fewer nodes settled, the same shortcuts. In Time,
  // where no point bounds a cost, landmarks do (CGraph::FindLandmarks):
  // 40 % fewer nodes settled. Off: neither.
  bool boundWitnessSearches = true;

 private:
  // Gives every turn edge the cost of its from node's link in the metric.
  void RecomputeCosts(const TRoadGraph& roads, uint32_t metric);
  void CollectUnranked(CReallocArray<TChNode*>& list);

  // Every node's start point in Distance cost units, for the witness
  // searches' bound; none in Time or with boundWitnessSearches off.
  void MakeBoundPoints(const TRoadGraph& roads, uint32_t metric);

  size_t turnEdges = 0;  // the leading edges of the edge array
  TGeoBuildStats stats;
};

}  // namespace CH
