// Level trees and tiles: for every level but the top one, an RTree of the
// polylines shown there and one of the POIs and polygons. The trees decide
// which objects get records and in which order (first visit, depth-first,
// level 0 first), and are saved with record offsets as their items:
//   section 5: n - 1 saved polyline trees (items: record offsets)
//   section 6: n - 1 saved item trees (record offsets, bit 31 for polygons)
// An empty level is saved as the 20-byte empty tree.
#pragma once

#include <cstdint>

#include "core/rtree.h"
#include "mapfile/writer.h"
#include "polski/map.h"

namespace ZorvaneMap {

// Item of the POI and polygon trees: an object index while building, a
// record offset once written; bit 31 marks a polygon.
union TTreeItem {
  uint32_t raw;
};
constexpr uint32_t kPolygonItem = 0x80000000u;

struct TLevelTrees {
  CReallocArray<RTree::CRTreeNodeBase<uint32_t>*> polylines;  // per tree level, may be null
  CReallocArray<RTree::CRTreeNodeBase<TTreeItem>*> items;
  TLevelTrees() = default;
  TLevelTrees(const TLevelTrees&) = delete;
  TLevelTrees& operator=(const TLevelTrees&) = delete;
  ~TLevelTrees() { Delete(); }
  void Delete();
};

// Assigns the objects to levels 0..n-2 and bulk-loads the trees; false when
// stopped.
bool BuildLevelTrees(const CMapWriter& writer, const PolskiFormat::CMap& map, TLevelTrees& trees, const bool* stop);

// Sections 3, 2, 4, 5 and 6 with their directory entries; false when
// stopped. Reorients polygon rings of the map in place.
bool WriteMapTiles(CMapWriter& writer, PolskiFormat::CMap& map, CMemStream& image, const bool* stop);

// Draw depth per polygon (1 or more): one above the highest larger polygon
// whose rectangle meets its own. Outer rings of each polygon's first level
// run are turned clockwise and its holes counter-clockwise.
void PreparePolygonRecords(PolskiFormat::CMap& map, CReallocArray<int>& depths);

// Signed area on an equal-area projection, positive counter-clockwise.
double ComputeRingArea(const CReallocArray<TPointD>& ring);

}  // namespace ZorvaneMap
