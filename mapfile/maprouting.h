// The routing part of a map write. The map writer calls it at fixed
// points; the routing library implements it and the application hands one
// to the writer (CMapWriter::routing). Without one the routing sections 8,
// 10 and 11 are written empty and the road records carry no routing data.
#pragma once

#include <cstdint>

#include "core/streams.h"
#include "polski/map.h"

namespace ZorvaneMap {

class CMapRouting {
 public:
  virtual ~CMapRouting() = default;

  // Builds the road graph of the map before any section is written; false
  // gives the map up (the reason is logged).
  virtual bool BuildRoadGraph(PolskiFormat::CMap& map) = 0;
  // Section 10 at the image position, right after section 1; false when
  // stopped.
  virtual bool WriteChGraphs(CMemStream& image, const bool* stop) = 0;
  // Section 11 directly after section 10.
  virtual void WriteExternalNodeTree(CMemStream& image) = 0;
  // For each route node of a road record: its key (node id, bound flag)
  // with the pair (record offset, point index) for section 8.
  virtual void InsertNodeKey(uint32_t nodeId, uint8_t bound, uint32_t record, uint32_t pointIndex) = 0;
  // The image position of a road record's u32 that is to hold the offset
  // of the node's section 8 entry.
  virtual void AddNodeRefPlace(uint32_t nodeId, uint32_t position) = 0;
  // The segment blocks of a road record at the image end (after its
  // route-node references); fills the record's segment table.
  virtual void WriteRoadGraphData(const PolskiFormat::TRoadAttributes& road, CMemStream& image,
                                  uint32_t record) = 0;
  // After the tiles: the road references of section 10 and of the blocks.
  virtual void PatchTileGraphRefs(CMemStream& image) = 0;
  // Section 8 at the image position; fills the route-node references.
  virtual void WriteGraphNodeTable(CMemStream& image) = 0;
  // Releases the map's road graph and lists; called after every write.
  virtual void Free() = 0;
};

}  // namespace ZorvaneMap
