#include "polski/roadattributes.h"

#include <cstring>

#include "polski/objects.h"

namespace PolskiFormat {

TRoadAttributes* EnsureRoadAttributes(CPolylineSection& section) {
  CPolyline* polyline = section.Polyline();
  if (!polyline->Routing) polyline->Routing = new TRoadAttributes;
  return polyline->Routing;
}

bool ScanRoadNode(const char*& cursor, uint8_t part, TRoadNode* node) {
  // As scanf "%u,%u,%u": a "," after the second number is consumed even
  // when no third number follows.
  const char* p = cursor;
  uint32_t index, id, bound = 0;
  if (!ScanUInt32(p, &index) || *p != ',') return false;
  p++;
  if (!ScanUInt32(p, &id)) return false;
  if (*p == ',') {
    p++;
    ScanUInt32(p, &bound);
  }
  *node = {index, id, static_cast<uint8_t>(bound != 0), part};
  cursor = p;
  return true;
}

bool ParseRoadNode(const char* text, uint8_t part, TRoadNode* node) { return ScanRoadNode(text, part, node); }

uint32_t ParseNumbersParity(const char*& cursor) {
  while (*cursor == ' ') cursor++;
  if (*cursor == 0) return 0;
  const char* found = std::strchr("NEOB", *cursor);
  uint32_t parity = found ? static_cast<uint32_t>(found - "NEOB") : 0;
  cursor++;
  while (*cursor == ' ') cursor++;
  if (*cursor == ',') cursor++;
  return parity;
}

const char* ParseHLevel(const char* text, uint8_t part, THLevel* level) {
  // As scanf "(%u,%d)", then behind the first ")".
  const char* p = text;
  uint32_t index;
  int32_t value;
  if (*p != '(') return nullptr;
  p++;
  if (!ScanUInt32(p, &index) || *p != ',') return nullptr;
  p++;
  if (!ScanInt32(p, &value)) return nullptr;
  const char* close = std::strchr(text, ')');
  if (!close) return nullptr;
  *level = {index, static_cast<int16_t>(value), part};
  return close + 1;
}

uint32_t ParseTurnLanes(const char* text, CReallocArray<uint8_t>& lanes) {
  static constexpr std::string_view kWords[] = {"none",         "through", "slight_left",    "left",
                                                "sharp_left",   "slight_right", "right",   "sharp_right",
                                                "reverse",      "merge_to_right", "merge_to_left"};
  lanes.Clear();
  uint32_t count = 1;
  const char* p = text;
  while (*p) {
    if (*p == ' ' || *p == ';') {
      p++;
    } else if (*p == '|') {
      lanes.PushBack(LaneSeparator);
      count++;
      p++;
    } else {
      bool matched = false;
      for (size_t code = 0; code < std::size(kWords) && !matched; code++) {
        std::string_view word = kWords[code];
        size_t i = 0;
        while (i < word.size() && AsciiLower(p[i]) == word[i]) i++;
        char after = p[i];
        if (i == word.size() && (after == 0 || after == ' ' || after == ';' || after == '|')) {
          lanes.PushBack(static_cast<uint8_t>(code));
          p += i;
          matched = true;
        }
      }
      if (!matched) {
        lanes.Clear();
        return 0;
      }
    }
  }
  return count;
}

namespace {

// The part number of "NodesN" / "HLevelN"; false for anything but digits
// up to 255 (an empty tail counts as 0 when allowed).
bool ParsePartIndex(std::string_view tail, bool emptyIsZero, uint8_t* part) {
  uint32_t n = 0;
  if (!(tail.empty() && emptyIsZero) && !ParseDigits(tail, &n)) return false;
  if (n > 255) return false;
  *part = static_cast<uint8_t>(n);
  return true;
}

bool ParseNodeGroups(const char* value, uint8_t part, CReallocArray<TRoadNode>& nodes) {
  const char* p = value;
  for (;;) {
    TRoadNode node;
    if (*p != '(') return false;
    p++;
    if (!ScanRoadNode(p, part, &node) || *p != ')') return false;
    p++;
    nodes.PushBack(node);
    if (*p == 0) return true;
    if (*p != ',') return false;
    p++;
  }
}

void ParseHLevels(const char* value, uint8_t part, CReallocArray<THLevel>& levels) {
  const char* p = value;
  while (*p) {
    THLevel level;
    p = ParseHLevel(p, part, &level);
    if (!p || (*p != ',' && *p != 0)) {
      levels.Clear();  // also the levels of earlier keys
      return;
    }
    levels.PushBack(level);
    if (*p == ',') p++;
  }
}

uint8_t Low8(int32_t v) { return static_cast<uint8_t>(v); }

}  // namespace

TRoutingKeyResult ParseRoutingKey(CPolylineSection& section, size_t pair) {
  std::string_view key = section.Pairs[pair].key;
  const char* value = section.Pairs[pair].value;
  if (TextStarts(key, "Nodes")) {
    uint8_t part;
    if (!ParsePartIndex(key.substr(5), true, &part)) return RoutingKeyBad;
    TRoadAttributes* road = EnsureRoadAttributes(section);
    return ParseNodeGroups(value, part, road->Nodes) ? RoutingKeyRead : RoutingKeyBad;
  }
  if (TextStarts(key, "Nod")) {
    TRoadNode node;
    if (ParseRoadNode(value, 0, &node)) EnsureRoadAttributes(section)->Nodes.PushBack(node);
    return RoutingKeyRead;
  }
  if (TextEquals(key, "RouteParam") || TextEquals(key, "RouteParams")) {
    TRoadAttributes* road = EnsureRoadAttributes(section);
    const char* p = value;
    road->SpeedClass = Low8(ParseNumber(p, 255, ','));
    road->RoadClass = Low8(ParseNumber(p, 255, ','));
    road->OneWay = ParseNumber(p, 0, ',') != 0;
    road->Toll = ParseNumber(p, 0, ',') != 0;
    for (uint8_t& denied : road->AccessDenied) denied = ParseNumber(p, 0, ',') != 0;
  } else if (TextEquals(key, "RouteParamExt")) {
    const char* p = value;
    EnsureRoadAttributes(section)->RouteParamExt = ParseNumber(p, 0, ',') != 0;
  } else if (TextEquals(key, "TrafficLanes")) {
    TRoadAttributes* road = EnsureRoadAttributes(section);
    const char* p = value;
    road->LanesForward = Low8(ParseNumber(p, 0, ','));
    ParseNumber(p, 0, ',');
    ParseNumber(p, 0, ',');
    road->LanesBackward = Low8(ParseNumber(p, 0, ','));
  } else if (TextStarts(key, "TurnLanes")) {
    TRoadAttributes* road = EnsureRoadAttributes(section);
    std::string_view rest = key.substr(9);
    bool forward = rest.empty() || TextEquals(rest, "Forward");
    if (forward || TextEquals(rest, "Backward")) {
      uint32_t n = ParseTurnLanes(value, forward ? road->TurnLanesForward : road->TurnLanesBackward);
      if (n != 0) (forward ? road->LanesForward : road->LanesBackward) = static_cast<uint8_t>(n);
    }
  } else if (TextEquals(key, "LegalSpeed")) {
    int32_t speed = 0;
    ScanInt32(value, &speed);
    EnsureRoadAttributes(section)->LegalSpeed = Low8(speed);
  } else if (TextEquals(key, "RoadId")) {
    uint32_t id = 0;
    ScanUInt32(value, &id);
    EnsureRoadAttributes(section)->RoadId = id;
  } else if (TextEquals(key, "Speed")) {
    TRoadAttributes* road = EnsureRoadAttributes(section);
    const char* p = value;
    for (auto& speedPair : road->SpeedPairs) {
      speedPair[0] = Low8(ParseNumber(p, 0, ','));
      speedPair[1] = Low8(ParseNumber(p, 0, '|'));
    }
  } else if (TextStarts(key, "Numbers")) {
    const char* p = value;
    THouseNumbers n;
    n.PointIndex = static_cast<uint32_t>(ParseNumber(p, 0, ','));
    n.LeftParity = ParseNumbersParity(p);
    n.LeftStart = static_cast<uint32_t>(ParseNumber(p, 0, ','));
    n.LeftEnd = static_cast<uint32_t>(ParseNumber(p, 0, ','));
    n.RightParity = ParseNumbersParity(p);
    n.RightStart = static_cast<uint32_t>(ParseNumber(p, 0, ','));
    n.RightEnd = static_cast<uint32_t>(ParseNumber(p, 0, ','));
    EnsureRoadAttributes(section)->Numbers.PushBack(n);
  } else if (TextStarts(key, "HLevel")) {
    uint8_t part;
    if (!ParsePartIndex(key.substr(6), false, &part)) return RoutingKeyBad;
    ParseHLevels(value, part, EnsureRoadAttributes(section)->HLevels);
  } else {
    return RoutingKeyNone;
  }
  return RoutingKeyRead;
}

void FinishRoadAttributes(CPolyline& polyline) {
  TRoadAttributes* road = polyline.Routing;
  if (!road) return;
  uint32_t maxIndex = 0;
  for (const THLevel& level : road->HLevels) {
    if (level.PointIndex > maxIndex) maxIndex = level.PointIndex;
  }
  const CReallocArray<TPointD>* first = polyline.Geometry.Empty() ? nullptr : &polyline.Geometry[0].Points;
  if (road->RoadId != kNoRoadId && first && first->Size() > 1 && maxIndex < first->Size()) {
    road->FirstLevelPoints.Assign(first->data, first->Size());
  } else {
    delete road;
    polyline.Routing = nullptr;
  }
}

uint8_t EstimateRoadSpeed(const TRoadAttributes& road) {
  static constexpr int kSpeed[8] = {5, 20, 40, 60, 80, 90, 110, 120};
  static constexpr int kAdjust[5] = {-10, -5, 0, 5, 10};
  int s = road.SpeedClass == 255 ? 0 : (road.SpeedClass > 7 ? 7 : road.SpeedClass);
  int c = road.RoadClass == 255 ? 0 : (road.RoadClass > 4 ? 4 : road.RoadClass);
  int speed = kSpeed[s] + kAdjust[c];
  return static_cast<uint8_t>(speed <= 5 ? 5 : speed);
}

const TPointD* GetRoadNodePoint(const TRoadAttributes& road, size_t node) {
  if (node >= road.Nodes.Size()) return nullptr;
  uint32_t index = road.Nodes[node].PointIndex;
  return index < road.FirstLevelPoints.Size() ? &road.FirstLevelPoints[index] : nullptr;
}

bool HasValidNodeIndexes(const TRoadAttributes& road) {
  uint32_t previous = 0;
  for (const TRoadNode& node : road.Nodes) {
    if (node.PointIndex >= road.FirstLevelPoints.Size() || node.PointIndex < previous) return false;
    previous = node.PointIndex;
  }
  return true;
}

}  // namespace PolskiFormat
