// Lane connections of the road graph, and the turn angle of a path over
// its first metres that they are classified by.
#include <algorithm>
#include <cstdlib>

#include "core/log.h"
#include "routing/roadgraph.h"
#include "routing/roadgraph_internal.h"

using namespace PolskiFormat;
using namespace RoadGraphDetail;

int RoadGraphDetail::Bearing(TGeoPoint a, TGeoPoint b) {
  TGeoOffset o = a.GetOffset(b);
  int bearing = 90 - VectorAngle(o.dy, o.dx);
  return bearing < 0 ? bearing + 360 : bearing;
}

TGeoPoint RoadGraphDetail::GeoPointAt(const TRoadAttributes& road, uint32_t index) {
  TPointD p = RoadPoint(road, index);
  return DegreesToGeoPoint(p.x, p.y);
}

namespace {

bool OppositeSigns(int a, int b) { return (a > 0 && b < 0) || (a < 0 && b > 0); }

// A walk over links that never gets anywhere (a ring of links shorter than
// a metre each) ends after this many links.
constexpr int kMaxWalkDepth = 64;

int Walk(const TRoadGraph& graph, const CMap& map, uint32_t from, uint32_t to, uint32_t roadId, uint32_t remaining,
         int bearing, int depth) {
  const TRoadAttributes* road = FindRoadById(map, roadId);
  const TNodeRoadRef* ref =
      FindLinkRecord(FindRoadLinksByNode(graph, from), graph.NodeRoads.end(), from, roadId);
  if (!road || !ref || ref->Position >= road->Nodes.Size()) return 0;
  const size_t k = ref->Position;
  const int step = k + 1 < road->Nodes.Size() && road->Nodes[k + 1].NodeId == to ? 1 : -1;
  if (step < 0 && k == 0) return 0;
  const uint32_t first = NodePointIndex(*road, k);
  const uint32_t last = NodePointIndex(*road, step > 0 ? k + 1 : k - 1);
  const int dir = last >= first ? 1 : -1;

  int sum = 0;
  TGeoPoint p = GeoPointAt(*road, first);
  for (uint32_t i = first; i != last; i += dir) {
    TGeoPoint q = GeoPointAt(*road, i + dir);
    int b = Bearing(p, q);
    int change = b - bearing;
    if (change > 180) change -= 360;
    if (change < -180) change += 360;
    if (OppositeSigns(sum, change)) return sum;
    sum += change;
    uint32_t length = GeoDistance(p, q);
    if (remaining < length) return sum;
    remaining -= length;
    bearing = b;
    p = q;
  }
  if ((step < 0 && road->OneWay) || depth >= kMaxWalkDepth) return sum;

  // Go on only where the way is unambiguous: one exit besides turning back.
  const TRoadLink* next = nullptr;
  int others = 0;
  graph.ForEachAllowedExit(from, to, roadId, [&](const TRoadLink* link) {
    if (link->RoadId == roadId && link->FarEnd(to) == from) return;
    next = link;
    others++;
  });
  if (others != 1) return sum;
  int rest = Walk(graph, map, to, next->FarEnd(to), next->RoadId, remaining, bearing, depth + 1);
  return OppositeSigns(sum, rest) ? sum : sum + rest;
}

// ---- "Lane Connection" records ----

uint8_t LaneByte(uint32_t count, uint32_t first) {
  // A count of 16 lanes does not fit its nibble: 15 is the nearest it holds.
  return static_cast<uint8_t>((count > 15 ? 15 : count) << 4 | (first & 15));
}

int8_t Bias(int32_t difference) {
  return static_cast<int8_t>(difference > 127 ? 127 : (difference < -128 ? -128 : difference));
}

// The lane count of `road` from node a to node b: filled in when the road
// gives none, a warning when it has fewer lanes than the connection uses.
void CheckLaneCount(const TRoadGraph& graph, CMap& map, uint32_t a, uint32_t b, uint32_t road, uint32_t highest,
                    const TLanesRecord& record) {
  uint8_t* lanes = graph.FindDirectionLanes(a, b, road, map);
  if (!lanes) return;
  if (*lanes == 0) {
    *lanes = static_cast<uint8_t>(highest + 1);
  } else if (*lanes <= highest) {
    double lat, lon;
    NodeDegrees(graph, record.LanePoints[1], &lat, &lon);
    g_Log.Print("Wrong lanes count: roadId = %u, nodes %u -> %u -> %u [%lf, %lf]", road, record.LanePoints[0],
                record.LanePoints[1], record.LanePoints[2], lat, lon);
  }
}

void AddRecordConnection(TRoadGraph& graph, CMap& map, const TLanesRecord& record) {
  uint32_t entryPairs[16] = {}, exitPairs[16] = {};
  for (uint8_t pair : record.LaneConnections) {
    entryPairs[pair & 15]++;
    exitPairs[pair >> 4]++;
  }
  // Without a lane pair there is no range to store.
  if (record.LaneConnections.Empty()) return;
  uint32_t entryLow = 16, entryHigh = 0, exitLow = 16, exitHigh = 0, entryLanes = 0, exitLanes = 0;
  for (uint32_t lane = 0; lane < 16; lane++) {
    if (entryPairs[lane]) {
      entryLow = std::min(entryLow, lane);
      entryHigh = lane;
      entryLanes++;
    }
    if (exitPairs[lane]) {
      exitLow = std::min(exitLow, lane);
      exitHigh = lane;
      exitLanes++;
    }
  }
  const uint32_t* points = record.LanePoints;
  if (entryLanes < entryHigh - entryLow + 1) {
    double lat, lon;
    NodeDegrees(graph, points[1], &lat, &lon);
    g_Log.Print("Bad lanes connection: %u -> %u -> %u [%lf, %lf]", points[0], points[1], points[2], lat, lon);
  }
  graph.LaneConnections.PushBack(
      {points[0], points[1], points[2], record.LaneRoads[0], record.LaneRoads[1], LaneByte(entryLanes, entryLow),
       static_cast<uint8_t>(exitLanes),
       Bias(static_cast<int32_t>(entryPairs[entryHigh]) - static_cast<int32_t>(entryPairs[entryLow])),
       Bias(static_cast<int32_t>(exitPairs[exitHigh]) - static_cast<int32_t>(exitPairs[exitLow]))});
  CheckLaneCount(graph, map, points[0], points[1], record.LaneRoads[0], entryHigh, record);
  CheckLaneCount(graph, map, points[1], points[2], record.LaneRoads[1], exitHigh, record);
}

// ---- Turn lanes of the roads ----

// The lanes of one turn direction: slots 0-6 slight left, left, sharp
// left, slight right, right, sharp right, reverse; slot 7 through (and
// every lane without a turn of its own).
constexpr int kThroughSlot = 7;

struct TLaneSlot {
  uint32_t lowest = 0;
  uint32_t highest = 0;
  uint32_t count = 0;

  void Add(uint32_t lane) {
    if (count == 0 || lane < lowest) lowest = lane;
    if (count == 0 || lane > highest) highest = lane;
    count++;
  }
};

int SlotOfCode(uint8_t code) {
  switch (code) {
    case LaneSlightLeft: return 0;
    case LaneLeft: return 1;
    case LaneSharpLeft: return 2;
    case LaneSlightRight: return 3;
    case LaneRight: return 4;
    case LaneSharpRight: return 5;
    case LaneReverse: return 6;
    default: return kThroughSlot;
  }
}

// The lane slot that a turn of `angle` degrees (positive right) takes.
int SlotOfAngle(int angle) {
  int magnitude = angle < 0 ? -angle : angle;
  if (magnitude >= 170) return 6;
  if (angle >= 120) return 5;
  if (angle <= -120) return 2;
  if (angle >= 60) return 4;
  if (angle <= -60) return 1;
  return angle > 0 ? 3 : 0;
}

uint32_t LaneMask(const TLaneSlot& slot) {
  uint32_t mask = 0;
  for (uint32_t lane = slot.lowest; lane <= slot.highest && lane < 32; lane++) mask |= 1u << lane;
  return mask;
}

struct TExit {
  const TRoadLink* link;
  int angle;
  int slot;
};

// Connections of the turn lanes of `road` at route node p, for a vehicle
// arriving from node p - d.
void AddTurnLaneConnections(TRoadGraph& graph, const CMap& map, const TRoadAttributes& road, size_t p, int d,
                            const TLaneSlot* slots, int8_t merge, CReallocArray<const TRoadLink*>& scratch) {
  const uint32_t a = road.Nodes[d > 0 ? p - 1 : p + 1].NodeId, b = road.Nodes[p].NodeId;
  graph.GetAllowedExits(a, b, road.RoadId, scratch);
  const size_t count = std::min<size_t>(scratch.Size(), kMaxLaneExits);

  const uint32_t at = NodePointIndex(road, p);
  const size_t points = road.FirstLevelPoints.Size();
  const uint32_t before = d > 0 ? (at > 0 ? at - 1 : 0) : (at + 1 < points ? at + 1 : at);
  const int approach = Bearing(GeoPointAt(road, before), GeoPointAt(road, at));

  TExit exits[kMaxLaneExits];
  for (size_t i = 0; i < count; i++) {
    const TRoadLink* link = scratch[i];
    int angle = WalkLinks(graph, map, b, link->FarEnd(b), link->RoadId, 30, approach);
    size_t j = i;  // after the equal magnitudes
    while (j > 0 && std::abs(exits[j - 1].angle) > std::abs(angle)) {
      exits[j] = exits[j - 1];
      j--;
    }
    exits[j] = {link, angle, 0};
  }

  const TLaneSlot& through = slots[kThroughSlot];
  bool throughGiven = false;
  for (size_t i = 0; i < count; i++) {
    if (through.count && std::abs(exits[0].angle) <= 20 && exits[i].angle == exits[0].angle) {
      exits[i].slot = kThroughSlot;
      throughGiven = true;
    } else {
      exits[i].slot = SlotOfAngle(exits[i].angle);
    }
  }

  // Through lanes also serve the neighbouring turn lanes that no exit uses.
  uint32_t low = through.lowest, high = through.highest + 1;
  if (throughGiven) {
    uint32_t mask = 0;
    for (int s = 0; s < kThroughSlot; s++) {
      bool used = false;
      for (size_t i = 0; i < count; i++) used = used || exits[i].slot == s;
      if (slots[s].count && !used) mask |= LaneMask(slots[s]);
    }
    while (low > 0 && low <= 32 && (mask >> (low - 1) & 1)) low--;
    while (high < 32 && (mask >> high & 1)) high++;
  }

  for (size_t i = 0; i < count; i++) {
    const TLaneSlot& slot = slots[exits[i].slot];
    if (!slot.count) continue;
    const TRoadLink* link = exits[i].link;
    uint8_t lanes = exits[i].slot == kThroughSlot ? LaneByte(high - low, low) : LaneByte(slot.count, slot.lowest);
    graph.LaneConnections.PushBack({a, b, link->FarEnd(b), road.RoadId, link->RoadId, lanes, 0, 0, merge});
  }
}

void BuildLaneRanges(TRoadGraph& graph, const CMap& map, const TRoadAttributes& road, int direction,
                     const CReallocArray<uint8_t>& turnLanes, CReallocArray<const TRoadLink*>& scratch) {
  TLaneSlot slots[8];
  uint32_t lane = 0;
  bool afterSeparator = true;
  bool mergeRight = false, mergeLeft = false;
  for (uint8_t code : turnLanes) {
    if (code == LaneSeparator) {
      if (afterSeparator) slots[kThroughSlot].Add(lane);
      lane++;
      afterSeparator = true;
      continue;
    }
    slots[SlotOfCode(code)].Add(lane);
    mergeRight = mergeRight || code == LaneMergeToRight;
    mergeLeft = mergeLeft || code == LaneMergeToLeft;
    afterSeparator = false;
  }
  if (!turnLanes.Empty() && turnLanes.Back() == LaneSeparator) slots[kThroughSlot].Add(lane);
  const int8_t merge = static_cast<int8_t>(mergeLeft == mergeRight ? 0 : (mergeLeft ? 1 : -1));

  for (const TLaneSlot& slot : slots) {
    if (slot.count && slot.count != slot.highest - slot.lowest + 1) {
      TPointD p = road.FirstLevelPoints.Empty()
                      ? TPointD{0, 0}
                      : (direction > 0 ? road.FirstLevelPoints.Back() : road.FirstLevelPoints[0]);
      g_Log.Print("Bad lanes connection: roadId = %u, [%lf, %lf]", road.RoadId, p.y, p.x);
    }
  }
  for (size_t i = 1; i < road.Nodes.Size(); i++) {
    AddTurnLaneConnections(graph, map, road, direction > 0 ? i : i - 1, direction, slots, merge, scratch);
  }
}

}  // namespace

int WalkLinks(const TRoadGraph& graph, const CMap& map, uint32_t from, uint32_t to, uint32_t road,
              uint32_t distance, int bearing) {
  return Walk(graph, map, from, to, road, distance, bearing, 0);
}

void BuildLaneConnections(TRoadGraph& graph, CMap& map) {
  for (const TLanesRecord* record : map.Lanes) AddRecordConnection(graph, map, *record);
  CReallocArray<const TRoadLink*> scratch;
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const CPolyline& line = *map.Polyline(i);
    if (!IsGraphRoad(line)) continue;
    const TRoadAttributes& road = *line.Routing;
    if (!road.TurnLanesForward.Empty()) BuildLaneRanges(graph, map, road, 1, road.TurnLanesForward, scratch);
    if (!(road.OneWay & 1) && !road.TurnLanesBackward.Empty()) {
      BuildLaneRanges(graph, map, road, -1, road.TurnLanesBackward, scratch);
    }
  }
  // Stable: a "Lane Connection" record comes before a derived connection
  // of the same key and is the one found.
  std::stable_sort(graph.LaneConnections.begin(), graph.LaneConnections.end(),
            [](const TLaneConnection& x, const TLaneConnection& y) { return std::memcmp(&x, &y, 20) < 0; });
}
