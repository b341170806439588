// The routing record of a routable polyline: id, classes, flags, access,
// route nodes, house numbers, height levels, lanes and turn lanes, read from
// the polyline's routing keys.
//
// Ownership: a record is created by the polyline's section on the first
// routing key, owned by the map's RoadAttributes list once the polyline is
// in the map (sorted by RoadId), and pointed to by CPolyline::Routing. Its
// arrays are its own.
//
// Route-node point indexes are kept as read. Readers must not index points
// with them unchecked: use GetRoadNodePoint, or HasValidNodeIndexes for the
// map writer's rule.
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/geo.h"

namespace PolskiFormat {

class CPolyline;
class CPolylineSection;

struct TRoadNode {
  uint32_t PointIndex;  // into the road's geometry entry
  uint32_t NodeId;      // shared by all roads that meet there
  uint8_t Bound;        // third number of the entry is non-zero
  uint8_t PartIndex;    // the N of "NodesN"; 0 for "Nod" keys
};

// Parity codes: 0 "N", 1 "E", 2 "O", 3 "B".
struct THouseNumbers {
  uint32_t PointIndex;
  uint32_t LeftStart;
  uint32_t LeftEnd;
  uint32_t LeftParity;
  uint32_t RightStart;
  uint32_t RightEnd;
  uint32_t RightParity;
};

struct THLevel {
  uint32_t PointIndex;
  int16_t Level;
  uint8_t PartIndex;  // the N of "HLevelN"
};

// Lane-direction codes of TurnLanesForward / TurnLanesBackward.
enum TLaneCode : uint8_t {
  LaneNone = 0,
  LaneThrough = 1,
  LaneSlightLeft = 2,
  LaneLeft = 3,
  LaneSharpLeft = 4,
  LaneSlightRight = 5,
  LaneRight = 6,
  LaneSharpRight = 7,
  LaneReverse = 8,
  LaneMergeToRight = 9,
  LaneMergeToLeft = 10,
  LaneSeparator = 11,  // between lanes ("|")
};

constexpr uint32_t kNoRoadId = 0xFFFFFFFF;

struct TRoadAttributes {
  uint32_t RoadId = kNoRoadId;  // unset: the road is not routable
  uint8_t RoadClass = 255;      // 0-4; 255 = unset
  uint8_t SpeedClass = 255;     // 0-7; 255 = unset
  uint8_t LegalSpeed = 0;
  uint8_t LanesForward = 0;
  uint8_t LanesBackward = 0;
  uint8_t OneWay = 0;
  uint8_t Toll = 0;
  uint8_t RouteParamExt = 0;
  uint8_t AccessDenied[8] = {};  // per vehicle class; [2] = cars
  uint8_t SpeedPairs[24][2] = {};
  CReallocArray<TPointD> FirstLevelPoints;  // the first geometry entry's points
  CReallocArray<TRoadNode> Nodes;
  CReallocArray<THouseNumbers> Numbers;
  CReallocArray<THLevel> HLevels;
  CReallocArray<uint8_t> TurnLanesForward;
  CReallocArray<uint8_t> TurnLanesBackward;
};

// ---- Reading the routing keys ------------------------------------------------------

enum TRoutingKeyResult {
  RoutingKeyNone,  // not a routing key
  RoutingKeyRead,
  RoutingKeyBad,   // a malformed "NodesN" or "HLevelN": the polyline fails
};

// The polyline's record, created with the defaults on first use.
TRoadAttributes* EnsureRoadAttributes(CPolylineSection& section);
// Reads pair `pair` of a polyline section when it is a routing key.
TRoutingKeyResult ParseRoutingKey(CPolylineSection& section, size_t pair);
// After all keys: keeps the record (and copies the first entry's points)
// or frees it and leaves the polyline without routing.
void FinishRoadAttributes(CPolyline& polyline);

// "index,id[,bound]" as scanf "%u,%u,%u"; false with fewer than two numbers.
bool ParseRoadNode(const char* text, uint8_t part, TRoadNode* node);
// The same, leaving the cursor behind what was read.
bool ScanRoadNode(const char*& cursor, uint8_t part, TRoadNode* node);
uint32_t ParseNumbersParity(const char*& cursor);
// Position after the item's first ")", or null.
const char* ParseHLevel(const char* text, uint8_t part, THLevel* level);
// Lane count (1 + bars), 0 with the array emptied on an unknown word.
uint32_t ParseTurnLanes(const char* text, CReallocArray<uint8_t>& lanes);

// km/h from the speed and road classes.
uint8_t EstimateRoadSpeed(const TRoadAttributes& road);

// ---- Safe access for later steps -----------------------------------------------------

// The point of route node `node`, or null when its index lies outside the
// road's points.
const TPointD* GetRoadNodePoint(const TRoadAttributes& road, size_t node);
// Every route node's point index lies inside the road's points and none is
// below the one before it (the map writer's rule).
bool HasValidNodeIndexes(const TRoadAttributes& road);

}  // namespace PolskiFormat
