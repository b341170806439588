// The road graph of one map: the routing view of its roads, built at the
// start of every map write and freed at its end. It holds no geometry but
// one point per node; roads are named by RoadId, nodes by the node ids of
// the roads' route nodes. Everything is a flat array sorted once and
// searched by binary search.
//
// Node and road ids are unsigned 32-bit (public data passes 2^31), but
// Roads, Nodes, Links and LinksByTo are ordered by ids seen as signed
// 32-bit (the order the routing sections rely on); NodeRoads is ordered
// unsigned. Every search below uses the order of the array it searches.
//
// Ownership: the graph owns its arrays (a chain its two id arrays); the
// LinksByTo entries point into Links. The map is only read, except that
// BuildRoadGraph fills in missing lane counts of its routing records.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/containers.h"
#include "core/geo.h"
#include "polski/map.h"

// Byte-wise key order compares the little-endian words as stored.
static_assert(std::endian::native == std::endian::little, "keys are compared as little-endian bytes");

// TGraphRoad::Word bits.
constexpr uint32_t kRoadTypeMask = 0xFFFF;   // low 16 bits of the object type
constexpr uint32_t kRoadSpeedShift = 16;     // 8 bits, km/h
constexpr uint32_t kRoadOneWay = 1u << 24;
constexpr uint32_t kRoadType0A = 1u << 25;   // object type 0x0a
constexpr uint32_t kRoadExt = 1u << 26;      // RouteParamExt

struct TGraphRoad {
  uint32_t RoadId;
  uint32_t Word;

  uint8_t Speed() const { return static_cast<uint8_t>(Word >> kRoadSpeedShift); }
  bool OneWay() const { return (Word & kRoadOneWay) != 0; }
};

struct TGraphNode {
  TGeoPoint Point;
  uint32_t NodeId;
  uint8_t External;  // some road marks the node as a boundary node
};

// TRoadLink::Length bits.
constexpr uint32_t kLinkLengthMask = 0x7FFFFFFF;  // metres
constexpr uint32_t kLinkOneWay = 0x80000000u;     // travel only from -> to

// One segment between consecutive route nodes of a road, in point order.
struct TRoadLink {
  uint32_t From;
  uint32_t To;
  uint32_t RoadId;
  uint32_t Length;

  uint32_t Metres() const { return Length & kLinkLengthMask; }
  bool OneWay() const { return (Length & kLinkOneWay) != 0; }
  // The end that is not `node` (From for a link that starts and ends there).
  uint32_t FarEnd(uint32_t node) const { return From == node ? To : From; }
};

struct TNodeRoadRef {
  uint32_t NodeId;
  uint32_t RoadId;
  uint32_t Position;  // in the road's route-node list
};

// Forbids arriving at ViaNode from FromNode on FromRoad and leaving to
// ToNode on ToRoad. Ordered byte-wise over the 20 bytes.
struct TRestrictionKey {
  uint32_t FromNode;
  uint32_t ViaNode;
  uint32_t ToNode;
  uint32_t FromRoad;
  uint32_t ToRoad;
};
static_assert(sizeof(TRestrictionKey) == 20);

// A restriction over more than two roads: road i runs from node i to node
// i + 1 (Roads has one entry fewer than Nodes, Nodes at least 4).
struct TRestrictionChain {
  CReallocArray<uint32_t> Roads;
  CReallocArray<uint32_t> Nodes;
};

// Lanes of the entry road that lead onto the exit road at ViaNode. Ordered
// byte-wise over the first 20 bytes.
struct TLaneConnection {
  uint32_t FromNode;
  uint32_t ViaNode;
  uint32_t ToNode;
  uint32_t EntryRoad;
  uint32_t ExitRoad;
  uint8_t Lanes;      // entry lanes: count << 4 | first lane (0-based)
  uint8_t ExitLanes;  // distinct exit lanes of a "Lane Connection"; 0 derived
  // "Lane Connection": pairs starting on the highest entry lane minus those
  // starting on the lowest. Derived: 0.
  int8_t EntryBias;
  // "Lane Connection": the same for the exit lanes. Derived: +1 when a
  // turn lane merges to the left, -1 to the right, 0 both or neither.
  int8_t ExitBias;
};
static_assert(offsetof(TLaneConnection, Lanes) == 20);

// Ids compared as signed 32-bit, the order of Roads, Nodes and Links.
inline bool SignedLess(uint32_t a, uint32_t b) { return static_cast<int32_t>(a) < static_cast<int32_t>(b); }

// Chain order: fewer roads first, then road i and node i for i from 0
// (signed), then the last node.
bool CompareRestrictionChains(const TRestrictionChain& x, const TRestrictionChain& y);

constexpr uint32_t kMaxLaneExits = 20;   // exits looked at for turn lanes
constexpr uint32_t kMaxAdjacentLinks = 255;

struct TRoadGraph {
  TRoadGraph() = default;
  TRoadGraph(const TRoadGraph&) = delete;
  TRoadGraph& operator=(const TRoadGraph&) = delete;

  CReallocArray<TGraphRoad> Roads;                // road id (signed)
  CReallocArray<TGraphNode> Nodes;                // node id (signed), one per id
  CReallocArray<TRoadLink> Links;                 // from node (signed)
  CReallocArray<const TRoadLink*> LinksByTo;      // to node (signed)
  CReallocArray<TNodeRoadRef> NodeRoads;          // (node, road) unsigned
  CReallocArray<TRestrictionKey> RestrictionKeys;  // byte-wise
  CReallocArray<TRestrictionChain> RestrictionChains;  // CompareRestrictionChains
  CReallocArray<TLaneConnection> LaneConnections;      // byte-wise key

  // Empties the graph.
  void Free();

  const TGraphRoad* FindRoad(uint32_t roadId) const;
  const TGraphNode* FindNode(uint32_t nodeId) const;
  // The links that start at / end at a node: [first, end).
  const TRoadLink* LinksFromBegin(uint32_t node) const;
  const TRoadLink* LinksFromEnd(uint32_t node) const;
  const TRoadLink* const* LinksToBegin(uint32_t node) const;
  const TRoadLink* const* LinksToEnd(uint32_t node) const;

  bool HasRestrictionKey(uint32_t fromNode, uint32_t viaNode, uint32_t toNode, uint32_t fromRoad,
                         uint32_t toRoad) const;
  const TLaneConnection* FindLaneConnection(uint32_t fromNode, uint32_t viaNode, uint32_t toNode,
                                            uint32_t entryRoad, uint32_t exitRoad) const;
  // The lane count of `road` in the direction from node a to node b (the
  // routing record's byte, writable), or null unless both nodes are on it.
  uint8_t* FindDirectionLanes(uint32_t a, uint32_t b, uint32_t road, PolskiFormat::CMap& map) const;

  // Links by which a vehicle that came from a to b on road c may leave b:
  // first those starting at b, then those ending at b travelled backwards
  // (two-way only). Restricted turns are left out; the U-turn is not.
  void GetAllowedExits(uint32_t a, uint32_t b, uint32_t c, CReallocArray<const TRoadLink*>& out) const;
  // Links by which a vehicle may arrive at a and turn onto road c towards b.
  void GetAllowedEntries(uint32_t a, uint32_t b, uint32_t c, CReallocArray<const TRoadLink*>& out) const;

  // The same walk without a list: fn(link) for each allowed exit.
  template <class TFn>
  void ForEachAllowedExit(uint32_t a, uint32_t b, uint32_t c, TFn&& fn) const {
    for (const TRoadLink* l = LinksFromBegin(b), *e = LinksFromEnd(b); l != e; ++l) {
      if (!HasRestrictionKey(a, b, l->To, c, l->RoadId)) fn(l);
    }
    for (const TRoadLink* const *l = LinksToBegin(b), *const *e = LinksToEnd(b); l != e; ++l) {
      if (!(*l)->OneWay() && !HasRestrictionKey(a, b, (*l)->From, c, (*l)->RoadId)) fn(*l);
    }
  }
};

// ---- Building -----------------------------------------------------------------------

// Fills an empty graph from the map's roads (routable polylines open to
// cars), restrictions and lane connections, then validates it. False on a
// validation error (already logged); the graph is filled either way.
bool BuildRoadGraph(TRoadGraph& graph, PolskiFormat::CMap& map);
// Lane connections from the map's "Lane Connection" records and the roads'
// turn lanes; fills in lane counts of the routing records.
void BuildLaneConnections(TRoadGraph& graph, PolskiFormat::CMap& map);
// Logs every error and warning; drops restriction chains that cannot be
// used. False when the map cannot be routed.
bool ValidateRoadGraph(TRoadGraph& graph, const PolskiFormat::CMap& map);

// ---- Look-ups ----------------------------------------------------------------------

// The routing record of a road id, or null (the map's list is sorted by
// RoadId, unsigned).
PolskiFormat::TRoadAttributes* FindRoadById(const PolskiFormat::CMap& map, uint32_t roadId);
// The first NodeRoads entry whose node id is not below `node` (unsigned);
// the caller walks on while the node id matches.
const TNodeRoadRef* FindRoadLinksByNode(const TRoadGraph& graph, uint32_t node);
// The entry with exactly (node, road) in [first, end), or null.
const TNodeRoadRef* FindLinkRecord(const TNodeRoadRef* first, const TNodeRoadRef* end, uint32_t node,
                                   uint32_t road);

// The turn, in signed degrees (positive to the right), of a path that
// leaves along the link from `from` to `to` on `road` and follows the roads
// for `distance` metres, relative to `bearing` (degrees clockwise from
// north, 0..359).
int WalkLinks(const TRoadGraph& graph, const PolskiFormat::CMap& map, uint32_t from, uint32_t to, uint32_t road,
              uint32_t distance, int bearing);

// ---- Costs -------------------------------------------------------------------------

// Link costs of the two routing metrics, at least 1. They are kept within
// the 30 bits of a routing edge's cost field (a longer link saturates).
constexpr uint32_t kMaxLinkCost = 0x3FFFFFFF;
// Distance: metres.
uint32_t LinkDistanceCost(const TRoadLink& link);
// Time: sixteenths of a second, metres x 576 / (10 x km/h), truncated.
uint32_t LinkTimeCost(const TRoadLink& link, uint8_t speedKmh);
