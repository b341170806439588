// The routing part of every map write: the road graph of the map and the
// CGraphSectionWriter over it, both owned for the duration of one write.
#pragma once

#include <memory>

#include "mapfile/maprouting.h"
#include "routing/graphsections.h"
#include "routing/roadgraph.h"

class CMapRoutingWriter : public ZorvaneMap::CMapRouting {
 public:
  CMapRoutingWriter() = default;

  bool BuildRoadGraph(PolskiFormat::CMap& map) override;
  bool WriteChGraphs(CMemStream& image, const bool* stop) override;
  void WriteExternalNodeTree(CMemStream& image) override;
  void InsertNodeKey(uint32_t nodeId, uint8_t bound, uint32_t record, uint32_t pointIndex) override;
  void AddNodeRefPlace(uint32_t nodeId, uint32_t position) override;
  void WriteRoadGraphData(const PolskiFormat::TRoadAttributes& road, CMemStream& image, uint32_t record) override;
  void PatchTileGraphRefs(CMemStream& image) override;
  void WriteGraphNodeTable(CMemStream& image) override;
  void Free() override;

  TRoadGraph roads;
  // Made over the road graph for each map; the last one is kept until the
  // next write or Free.
  std::unique_ptr<CGraphSectionWriter> sections;
};
