#include "mapfile/tiles.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "mapfile/records.h"

using namespace PolskiFormat;

namespace ZorvaneMap {

void TLevelTrees::Delete() {
  for (auto* root : polylines) delete root;
  for (auto* root : items) delete root;
  polylines.Free();
  items.Free();
}

namespace {

bool Stopped(const bool* stop) { return stop && *stop; }

// Entries of every tree level, in the order they were added.
template <class TItem>
struct TLevelEntries {
  CReallocArray<CReallocArray<RTree::TEntry<TItem>>> levels;
  explicit TLevelEntries(size_t n) { levels.Resize(n); }
  // Adds the entry to levels lo..hi, hi clamped to the top tree level.
  void Add(int32_t lo, int32_t hi, const CGeoRect& rect, TItem item) {
    int32_t top = static_cast<int32_t>(levels.Size()) - 1;
    if (hi > top) hi = top;
    if (lo < 0) lo = 0;
    for (int32_t l = lo; l <= hi; l++) levels[l].PushBack(RTree::TEntry<TItem>{rect, item});
  }
};

// The top level of an entry: its own, or EndLevel for the entries on the
// level of the object's last entry.
int32_t TopLevel(int32_t level, int32_t lastLevel, int32_t endLevel) {
  return level == lastLevel && endLevel != 255 ? endLevel : level;
}

TTreeItem Item(uint32_t raw) { return TTreeItem{raw}; }

void AddPolylines(const CMapWriter& w, const CMap& map, TLevelEntries<uint32_t>& out) {
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const CPolyline& line = *map.Polyline(i);
    if (line.Geometry.Empty()) continue;
    if (w.layers) {
      const TLayerRange* r = w.layers->Find(LayerPolyline, static_cast<uint32_t>(line.Type));
      out.Add(r ? r->from : 0, r ? r->to : 0, GetPointsRect(line.Geometry[0]), static_cast<uint32_t>(i));
      continue;
    }
    int32_t last = line.Geometry.Back().Level;
    for (const TDataLevel& e : line.Geometry) {
      out.Add(e.Level, TopLevel(e.Level, last, line.EndLevel), GetPointsRect(e), static_cast<uint32_t>(i));
    }
  }
}

void AddPolygons(const CMapWriter& w, const CMap& map, TLevelEntries<TTreeItem>& out) {
  for (size_t d = 0; d < map.Polygons.Size(); d++) {
    const CPolygon& polygon = *map.Polygon(d);
    if (polygon.Geometry.Empty()) continue;
    TTreeItem item = Item(static_cast<uint32_t>(d) | kPolygonItem);
    if (w.layers) {
      const TLayerRange* r = w.layers->Find(LayerPolygon, static_cast<uint32_t>(polygon.Type));
      size_t pos = 0;
      out.Add(r ? r->from : 0, r ? r->to : 0, GetLevelRunRect(polygon.Geometry, pos), item);
      continue;
    }
    int32_t last = polygon.Geometry.Back().Level;
    for (size_t pos = 0; pos < polygon.Geometry.Size(); pos++) {
      int32_t level = polygon.Geometry[pos].Level;
      CGeoRect rect = GetLevelRunRect(polygon.Geometry, pos);  // leaves pos at the run's last entry
      out.Add(level, TopLevel(level, last, polygon.EndLevel), rect, item);
    }
  }
}

void AddPois(const CMapWriter& w, const CMap& map, TLevelEntries<TTreeItem>& out) {
  for (size_t e = 0; e < map.POIs.Size(); e++) {
    const CPOI& poi = *map.POI(e);
    if (poi.Points.Empty()) continue;
    TTreeItem item = Item(static_cast<uint32_t>(e));
    if (w.layers) {
      const TLayerRange* r = w.layers->Find(LayerPoi, static_cast<uint32_t>(poi.Type));
      CGeoRect rect = CGeoRect::OfPoint(DegreesToGeoPoint(poi.Points[0].x, poi.Points[0].y));
      out.Add(r ? r->from : 0, r ? r->to : 0, rect, item);
      continue;
    }
    int32_t last = poi.Points.Back().Level;
    for (const TPOIPoint& p : poi.Points) {
      CGeoRect rect = CGeoRect::OfPoint(DegreesToGeoPoint(p.x, p.y));
      out.Add(p.Level, TopLevel(p.Level, last, poi.EndLevel), rect, item);
    }
  }
}

// Writes each object of a section at its first visit and turns the tree
// items into record offsets.
template <class TItem, class TWriteRecord>
bool WriteTreeRecords(CReallocArray<RTree::CRTreeNodeBase<TItem>*>& roots, uint32_t mask, uint32_t kind,
                      CReallocArray<uint32_t>& offsets, TWriteRecord writeRecord, const bool* stop) {
  for (auto* root : roots) {
    RTree::CLeafIterator<TItem> it(root);
    while (RTree::CRTreeDataNode<TItem>* leaf = it.Next()) {
      uint32_t raw;
      std::memcpy(&raw, &leaf->item, 4);
      if ((raw & mask) != kind) continue;
      if (Stopped(stop)) return false;
      uint32_t index = raw & ~mask;
      if (offsets[index] == 0) offsets[index] = writeRecord(index);
      raw = offsets[index] | kind;
      std::memcpy(&leaf->item, &raw, 4);
    }
  }
  return true;
}

void BeginSection(CMapWriter& writer, TMapSectionId id, CMemStream& image) {
  AlignTo4(image);
  writer.directory[id - 1] = {static_cast<uint32_t>(image.GetPos()), 0, id};
}
void EndSection(CMapWriter& writer, TMapSectionId id, CMemStream& image) {
  TMapSectionEntry& e = writer.directory[id - 1];
  e.size = static_cast<uint32_t>(image.GetPos() - e.offset);
}

}  // namespace

bool BuildLevelTrees(const CMapWriter& writer, const CMap& map, TLevelTrees& trees, const bool* stop) {
  const size_t treeLevels = writer.levels.Size() - 1;
  TLevelEntries<uint32_t> lines(treeLevels);
  TLevelEntries<TTreeItem> items(treeLevels);
  if (Stopped(stop)) return false;
  AddPolylines(writer, map, lines);
  if (Stopped(stop)) return false;
  AddPolygons(writer, map, items);
  if (Stopped(stop)) return false;
  AddPois(writer, map, items);
  trees.Delete();
  trees.polylines.ResizeZeroed(treeLevels);
  trees.items.ResizeZeroed(treeLevels);
  for (size_t l = 0; l < treeLevels; l++) {
    if (Stopped(stop)) return false;
    RTree::BuildTree(trees.polylines[l], lines.levels[l]);
  }
  for (size_t l = 0; l < treeLevels; l++) {
    if (Stopped(stop)) return false;
    RTree::BuildTree(trees.items[l], items.levels[l]);
  }
  return true;
}

double ComputeRingArea(const CReallocArray<TPointD>& ring) {
  if (ring.Empty()) return 0;
  constexpr double kRad = 0.017453292519943295;
  double x = ring.Back().x;
  double s = std::sin(ring.Back().y * kRad);
  double prevX = x;
  double sum = 0;
  for (const TPointD& p : ring) {
    // One correction only: a step of exactly 180 becomes -180 and one of
    // -180 becomes 180, as every longitude difference of the converter.
    double step = p.x - prevX;
    if (step >= 180) {
      step -= 360;
    } else if (step <= -180) {
      step += 360;
    }
    double xi = x + step;
    double si = std::sin(p.y * kRad);
    sum += si * x - xi * s;
    x = xi;
    s = si;
    prevX = p.x;
  }
  return sum / 2;
}

void PreparePolygonRecords(CMap& map, CReallocArray<int>& depths) {
  const size_t n = map.Polygons.Size();
  CReallocArray<RTree::TEntry<uint32_t>> entries;
  CReallocArray<CGeoRect> rects;
  CReallocArray<double> areas;
  rects.Resize(n);
  areas.Resize(n);
  for (size_t c = 0; c < n; c++) {
    CPolygon& polygon = *map.Polygon(c);
    size_t pos = 0;
    rects[c] = polygon.Geometry.Empty() ? CGeoRect() : GetLevelRunRect(polygon.Geometry, pos);
    if (!rects[c].IsEmpty()) entries.PushBack(RTree::TEntry<uint32_t>{rects[c], static_cast<uint32_t>(c)});
    double area = 0;
    for (size_t r = 0; r < polygon.Geometry.Size() && polygon.Geometry[r].Level == polygon.Geometry[0].Level; r++) {
      TDataLevel& ring = polygon.Geometry[r];
      double a = ComputeRingArea(ring.Points);
      if (!ring.IsHole) area += std::fabs(a);
      if ((!ring.IsHole && a > 0) || (ring.IsHole && a < 0)) std::reverse(ring.Points.begin(), ring.Points.end());
    }
    areas[c] = area;
  }
  RTree::CRTreeNodeBase<uint32_t>* tree = nullptr;
  RTree::BuildTree(tree, entries);
  std::unique_ptr<RTree::CRTreeNodeBase<uint32_t>> owner(tree);

  CReallocArray<uint32_t> order;
  order.Resize(n);
  for (size_t c = 0; c < n; c++) order[c] = static_cast<uint32_t>(c);
  // Larger first; equal areas keep map order, so files are reproducible.
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return areas[a] > areas[b]; });
  depths.Free();
  depths.ResizeZeroed(n);
  CReallocArray<uint32_t> found;
  for (size_t k = 0; k < n; k++) {
    uint32_t c = order[k];
    int depth = 1;
    if (k > 0 && tree && !rects[c].IsEmpty()) {
      found.Clear();
      tree->Search(rects[c], found);
      for (uint32_t f : found) depth = std::max(depth, depths[f] + 1);
    }
    depths[c] = depth;
  }
}

bool WriteMapTiles(CMapWriter& writer, CMap& map, CMemStream& image, const bool* stop) {
  TLevelTrees trees;
  if (!BuildLevelTrees(writer, map, trees, stop)) return false;

  CReallocArray<uint32_t>& lineOffsets = writer.polylineRecords;
  CReallocArray<uint32_t> poiOffsets, polygonOffsets;
  lineOffsets.Free();
  lineOffsets.ResizeZeroed(map.Polylines.Size());
  poiOffsets.ResizeZeroed(map.POIs.Size());
  polygonOffsets.ResizeZeroed(map.Polygons.Size());

  BeginSection(writer, SectionPolylines, image);
  image.WriteU32(static_cast<uint32_t>(map.Polylines.Size()));
  bool ok = WriteTreeRecords(trees.polylines, 0, 0, lineOffsets,
                             [&](uint32_t i) { return WritePolylineRecord(writer, *map.Polyline(i), image); }, stop);
  EndSection(writer, SectionPolylines, image);
  if (!ok) return false;

  BeginSection(writer, SectionPois, image);
  image.WriteU32(static_cast<uint32_t>(map.POIs.Size()));
  ok = WriteTreeRecords(trees.items, kPolygonItem, 0, poiOffsets,
                        [&](uint32_t i) { return WritePoiRecord(writer, *map.POI(i), image); }, stop);
  EndSection(writer, SectionPois, image);
  if (!ok) return false;

  CReallocArray<int> depths;
  PreparePolygonRecords(map, depths);
  BeginSection(writer, SectionPolygons, image);
  image.WriteU32(static_cast<uint32_t>(map.Polygons.Size()));
  ok = WriteTreeRecords(
      trees.items, kPolygonItem, kPolygonItem, polygonOffsets,
      [&](uint32_t i) { return WritePolygonRecord(writer, *map.Polygon(i), depths[i], image); }, stop);
  EndSection(writer, SectionPolygons, image);
  if (!ok) return false;

  BeginSection(writer, SectionPolylineTrees, image);
  for (auto* root : trees.polylines) {
    if (Stopped(stop)) return false;
    RTree::SaveTree(root, image);
  }
  EndSection(writer, SectionPolylineTrees, image);
  BeginSection(writer, SectionItemTrees, image);
  for (auto* root : trees.items) {
    if (Stopped(stop)) return false;
    RTree::SaveTree(root, image);
  }
  EndSection(writer, SectionItemTrees, image);
  return true;
}

}  // namespace ZorvaneMap
