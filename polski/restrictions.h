// Turn restrictions ("Restrict" sections) and lane connections ("Lane
// Connection" sections): routing data that belongs to no single object.
// Roads are named by RoadId, route nodes by node id; all are unsigned
// 32-bit (ids of maps made from public data pass 2^31).
//
// Ownership: a section owns the record it builds until the loader takes it
// (TakeRecord, see CRecordSection); the map then owns it through its
// Restrictions or Lanes list.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/containers.h"
#include "polski/sections.h"

namespace PolskiFormat {

struct TRestriction {
  int32_t NodeId = -1;  // "Nod" (the bits of an unsigned id); -1 = absent; not used by the road graph
  CReallocArray<uint32_t> TraffPoints;  // node ids along the path
  CReallocArray<uint32_t> TraffRoads;   // road i runs from point i to point i + 1
};

struct TLanesRecord {
  uint32_t LanePoints[3] = {};  // entry road start, junction, exit road end
  uint32_t LaneRoads[2] = {};   // entry road, exit road
  // Per connected lane pair: low nibble = entry lane - 1, high nibble = exit
  // lane - 1.
  CReallocArray<uint8_t> LaneConnections;
};

class CRestrictSection : public CRecordSection<TRestriction> {
 public:
  CRestrictSection() : CRecordSection(SectionRestrict) {}
  bool Parse() override;
  bool IsOwnKey(std::string_view key) const override;
  void Write(FILE* out) override;
};

class CLanesSection : public CRecordSection<TLanesRecord> {
 public:
  CLanesSection() : CRecordSection(SectionLanes) {}
  bool Parse() override;
};

// Reads a "TraffPoints" / "TraffRoads" list into `list` (emptied first).
void ParseRestrictionList(const char* value, CReallocArray<uint32_t>& list);

}  // namespace PolskiFormat
