// The routing sections of a map file and the routing data of its road
// records: the CH graph section (10), the external-node tree (11, written
// by routing/nodetree.h), the per-segment blocks of the road records and
// the graph node table (8). CGraphSectionWriter collects the cross
// references while the map writer writes, and resolves them at the end:
//   1. WriteChGraphs writes section 10 right after section 1: it lists the
//      CH node record of every oriented link per metric, registers every
//      record's road reference to fill and collects the external nodes;
//   2. per road record: InsertNodeKey for each route node, then, after the
//      record's route-node references, WriteRoadGraphData;
//   3. after the tiles, PatchTileGraphRefs writes every road reference;
//   4. WriteGraphNodeTable writes section 8 and fills the route-node
//      references of the road records.
// All positions are offsets in the uncompressed map image. The layouts are
// given beside the code that writes them (chsection.cpp, roadblocks.cpp).
//
// Ids: every list of oriented links is ordered and searched by one
// comparator, OrientedLinkLess (signed, as the CH graph's node order); the
// node table and its reference places by node id unsigned.
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/streams.h"
#include "polski/map.h"
#include "routing/geomapgraph.h"
#include "routing/nodetree.h"
#include "routing/roadgraph.h"

// One road link travelled in one direction: a CH node, a road-reference
// place and a section 10 record are keyed by it.
struct TOrientedLink {
  uint32_t start;
  uint32_t end;
  uint32_t road;
};
// (start, end, road) lexicographically, each as signed 32-bit.
bool OrientedLinkLess(const TOrientedLink& a, const TOrientedLink& b);
inline bool operator==(const TOrientedLink& a, const TOrientedLink& b) {
  return a.start == b.start && a.end == b.end && a.road == b.road;
}

// An image position tied to an oriented link: a road reference to fill
// (RefsToFill), or the CH node record of the link (TimeNodes, DistanceNodes).
struct TLinkPlace {
  TOrientedLink link;
  uint32_t position;
};

// Where a road link is written: its road's record, its index on the road
// and the direction (1 along the road's point order, 0 against).
struct TRoadLinkRef {
  TOrientedLink link;
  uint32_t record;
  uint16_t index;
  uint8_t direction;
};

// A route node of a written road record: the node table's key (node id,
// bound flag) with one (record, point index) pair.
struct TNodeTablePair {
  uint32_t nodeId;
  uint8_t bound;
  uint32_t record;
  uint32_t pointIndex;
};

// A u32 of a road record to fill with the offset of its node's entry.
struct TNodeRefPlace {
  uint32_t nodeId;
  uint32_t position;
};

// Turn classes of an exit.
enum TTurnClass : uint32_t {
  TurnStraight = 0,
  TurnSlightLeft = 1,
  TurnSlightRight = 2,
  TurnLeft = 3,
  TurnRight = 4,
  TurnSharpLeft = 5,
  TurnSharpRight = 6,
  TurnU = 7,  // also the arrival leg itself
};

// One road leg at a junction b, as seen by a vehicle that arrives from
// node a on road c.
struct TTurnEntry {
  uint32_t road;
  uint32_t farNode;    // the neighbouring route node on the leg's road
  uint32_t roadClass;  // 255 read as 0
  // The arrival leg: the bearing of arrival (degrees clockwise from
  // north); the other legs: the turn angle, signed degrees, right positive.
  int32_t angle;
  uint32_t turnClass;
  const TLaneConnection* lanes;  // of (a, b, far node, c, road), or null
  uint8_t allowed;
  uint8_t arrival;  // far node = a and road = c
  uint8_t mark;
};

class CGraphSectionWriter {
 public:
  CGraphSectionWriter(const TRoadGraph& roads, PolskiFormat::CMap& map) : graph(&roads), map(&map) {}
  CGraphSectionWriter(const CGraphSectionWriter&) = delete;
  CGraphSectionWriter& operator=(const CGraphSectionWriter&) = delete;

  // Releases every list.
  void Free();

  // Enters a route node of the road record at `record` into the node table.
  void InsertNodeKey(uint32_t nodeId, uint8_t bound, uint32_t record, uint32_t pointIndex) {
    NodeTable.PushBack(TNodeTablePair{nodeId, bound, record, pointIndex});
  }
  void AddNodeRefPlace(uint32_t nodeId, uint32_t position) { NodeRefPlaces.PushBack(TNodeRefPlace{nodeId, position}); }

  // The exit items at b for a vehicle from a on road c; the count written.
  // *uturn is set when turning back is allowed and written as no item.
  uint32_t WriteAdjacentLinks(uint32_t a, uint32_t b, uint32_t c, uint8_t lanes, CMemStream& out, bool* uturn);
  // The entry items: the legs by which a vehicle can come to a and turn
  // onto road c towards b; the count written.
  uint32_t WriteEntryLinks(uint32_t a, uint32_t b, uint32_t c, CMemStream& out);

  const TRoadGraph* graph;
  PolskiFormat::CMap* map;  // its lane counts are read through the road graph

  CReallocArray<const TRoadLink*> linkScratch;
  CReallocArray<TTurnEntry> turnScratch;
  // LaneChangeCode looks at the next junction while WriteAdjacentLinks
  // walks turnScratch: it has a list of its own.
  CReallocArray<TTurnEntry> laneScratch;

  // In the order the road records were written; sorted (stable) by key when
  // section 8 is written, so each key's pairs keep that order.
  CReallocArray<TNodeTablePair> NodeTable;
  CReallocArray<TLinkPlace> RefsToFill;
  CReallocArray<TLinkPlace> TimeNodes;      // sorted by OrientedLinkLess
  CReallocArray<TLinkPlace> DistanceNodes;  // sorted by OrientedLinkLess
  CReallocArray<TNodeRefPlace> NodeRefPlaces;
  // In the order written; sorted (stable) when the references are patched:
  // the first entry of a link counts.
  CReallocArray<TRoadLinkRef> RoadLinks;
  CReallocArray<TExternalNodeEntry> ExternalNodes;
};

// ---- Section 10 ----------------------------------------------------------------------

// Builds the Distance and the Time graph and writes section 10 at the
// stream's position (4-aligned). False when stopped (the section is then
// incomplete). Throws "Too much CH-node edges".
bool WriteChGraphs(CGraphSectionWriter& writer, const TRoadGraph& roads, CMemStream& out, const bool* stop);
// The node records of one built graph at the stream's position.
void WriteChGraph(CGraphSectionWriter& writer, CH::CGeoMapGraph& graph, const TRoadGraph& roads, uint32_t metric,
                  CMemStream& out, uint32_t* coreCount, uint32_t* corePosition);

// The edge marks: bit 0 U-turn (a reversal onto the same link), bit 1 the
// edge enters a road of type 0x0a; a shortcut ORs the marks of its halves.
// One byte per edge of the graph's edge array.
void ComputeEdgeMarks(const CH::CGeoMapGraph& graph, const TRoadGraph& roads, CReallocArray<uint8_t>& marks);

// ---- Road records and section 8 ------------------------------------------------------

// The segment blocks of one road at the stream's position (the image end),
// filling the u16 table of its record at `record`. Throws "Too big road
// (RoadId = %u)" as a standard string.
void WriteRoadGraphData(CGraphSectionWriter& writer, const PolskiFormat::TRoadAttributes& road, CMemStream& out,
                        uint32_t record);
// The legs at b for a vehicle from a on road c, classified.
void CollectTurnEntries(CGraphSectionWriter& writer, uint32_t a, uint32_t b, uint32_t c,
                        CReallocArray<TTurnEntry>& list);
TTurnEntry FillTurnEntry(const CGraphSectionWriter& writer, uint32_t a, uint32_t b, uint32_t c,
                         const TNodeRoadRef& ref, const PolskiFormat::TRoadAttributes& road, int side);
// Turn class and mark of an allowed leg among the list's legs.
void ClassifyTurn(TTurnEntry& x, const CReallocArray<TTurnEntry>& list);
// 0-6: how the lanes change along a straight exit x (to road x.road).
uint32_t LaneChangeCode(CGraphSectionWriter& writer, uint32_t a, uint32_t b, uint32_t c, const TTurnEntry& x);
// The packed length of a segment: bits 4-15 mantissa m, bits 0-3 exponent
// e, metres = m x 2^e / 128; saturates at m = 4095, e = 15.
uint16_t PackSegmentLength(double metres);
// Fills every registered road reference.
void PatchTileGraphRefs(CGraphSectionWriter& writer, CMemStream& out);
// Section 8 at the stream's position (4-aligned); fills the route-node
// references. Throws a format-limit text when a node has more than 255
// (road, route node) pairs.
void WriteGraphNodeTable(CGraphSectionWriter& writer, CMemStream& out);
