#include "polski/restrictions.h"

#include "polski/mpwriter.h"

namespace PolskiFormat {

void ParseRestrictionList(const char* value, CReallocArray<uint32_t>& list) {
  list.Clear();
  const char* p = value;
  for (;;) {
    uint32_t id;
    if (!ScanUInt32(p, &id) || id == 0xFFFFFFFF) return;  // -1 ends the list
    list.PushBack(id);
    while (*p == ' ') p++;
    if (*p == ',') p++;
  }
}

bool CRestrictSection::Parse() {
  Record = new TRestriction;
  for (const TPair& pair : Pairs) {
    if (TextEquals(pair.key, "Nod")) {
      // A node id: ids of maps made from public data pass 2^31, so the
      // field keeps the bits of the unsigned number ("-5" still gives -5).
      const char* p = pair.value;
      uint32_t id = 0;
      ScanUInt32(p, &id);
      Record->NodeId = static_cast<int32_t>(id);
    } else if (TextEquals(pair.key, "TraffPoints")) {
      ParseRestrictionList(pair.value, Record->TraffPoints);
    } else if (TextEquals(pair.key, "TraffRoads")) {
      ParseRestrictionList(pair.value, Record->TraffRoads);
    }
  }
  return Record->TraffPoints.Size() > 1;
}

bool CRestrictSection::IsOwnKey(std::string_view key) const {
  return TextEquals(key, "Nod") || TextEquals(key, "TraffPoints") || TextEquals(key, "TraffRoads");
}

void CRestrictSection::Write(FILE* out) {
  if (Record) WriteRestriction(out, *Record);
}

namespace {

// scanf "%u,%u,..." over `count` fields; returns how many were converted.
int ScanUIntFields(const char* value, uint32_t* fields, int count) {
  const char* p = value;
  for (int i = 0; i < count; i++) {
    if (i > 0) {
      if (*p != ',') return i;
      p++;
    }
    if (!ScanUInt32(p, &fields[i])) return i;
  }
  return count;
}

// "(a,b),(c,d),...": false refuses the whole record.
bool ParseLaneConnections(const char* value, CReallocArray<uint8_t>& connections) {
  const char* p = value;
  if (*p != '(') return false;
  for (;;) {
    p++;
    int32_t a = ParseNumber(p, 0, ',');
    int32_t b = ParseNumber(p, 0, ')');
    if (a <= 0 || b <= 0) return false;
    if (a <= 16 && b <= 16) connections.PushBack(static_cast<uint8_t>((b - 1) << 4 | (a - 1)));
    if (*p == 0) return true;
    if (*p != ',' || p[1] != '(') return false;
    p++;
  }
}

}  // namespace

bool CLanesSection::Parse() {
  Record = new TLanesRecord;
  int points = 0, roads = 0;
  for (const TPair& pair : Pairs) {
    if (TextEquals(pair.key, "LanePoints")) {
      points = ScanUIntFields(pair.value, Record->LanePoints, 3);
    } else if (TextEquals(pair.key, "LaneRoads")) {
      roads = ScanUIntFields(pair.value, Record->LaneRoads, 2);
    } else if (TextEquals(pair.key, "LaneConnections")) {
      if (!ParseLaneConnections(pair.value, Record->LaneConnections)) return false;
    }
  }
  return points == 3 && roads == 2;
}

}  // namespace PolskiFormat
