#include "routing/maprouting.h"

bool CMapRoutingWriter::BuildRoadGraph(PolskiFormat::CMap& map) {
  Free();
  bool ok = ::BuildRoadGraph(roads, map);
  if (ok) sections = std::make_unique<CGraphSectionWriter>(roads, map);
  return ok;
}

bool CMapRoutingWriter::WriteChGraphs(CMemStream& image, const bool* stop) {
  return ::WriteChGraphs(*sections, roads, image, stop);
}

void CMapRoutingWriter::WriteExternalNodeTree(CMemStream& image) {
  ::WriteExternalNodeTree(sections->ExternalNodes, image);
}

void CMapRoutingWriter::InsertNodeKey(uint32_t nodeId, uint8_t bound, uint32_t record, uint32_t pointIndex) {
  sections->InsertNodeKey(nodeId, bound, record, pointIndex);
}

void CMapRoutingWriter::AddNodeRefPlace(uint32_t nodeId, uint32_t position) {
  sections->AddNodeRefPlace(nodeId, position);
}

void CMapRoutingWriter::WriteRoadGraphData(const PolskiFormat::TRoadAttributes& road, CMemStream& image,
                                           uint32_t record) {
  ::WriteRoadGraphData(*sections, road, image, record);
}

void CMapRoutingWriter::PatchTileGraphRefs(CMemStream& image) { ::PatchTileGraphRefs(*sections, image); }

void CMapRoutingWriter::WriteGraphNodeTable(CMemStream& image) { ::WriteGraphNodeTable(*sections, image); }

void CMapRoutingWriter::Free() {
  sections.reset();
  roads.Free();
}
