// Post-load steps: the address check of the loader, dropping empty objects,
// and splitting polylines with several parts on one level.
#include <algorithm>
#include <memory>
#include <utility>

#include "core/log.h"
#include "polski/map.h"

namespace PolskiFormat {

// ---- Address check ------------------------------------------------------------------

namespace {

bool ObjectAddressesValid(const CReallocArray<CMapObject*>& objects, size_t cityCount) {
  for (const CMapObject* object : objects) {
    if (object->CityIndex == -1) continue;
    if (static_cast<uint32_t>(object->CityIndex) >= cityCount || !object->CityName.empty() ||
        !object->RegionName.empty() || !object->CountryName.empty()) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool CheckAddressIndexes(const CMap& map) {
  for (const TSubAddress& region : map.Regions) {
    if (region.Parent >= map.Countries.Size()) return false;
  }
  for (const TSubAddress& city : map.Cities) {
    if (city.Parent >= map.Regions.Size()) return false;
  }
  return ObjectAddressesValid(map.POIs, map.Cities.Size()) &&
         ObjectAddressesValid(map.Polygons, map.Cities.Size()) &&
         ObjectAddressesValid(map.Polylines, map.Cities.Size());
}

// ---- Dropping empty objects ---------------------------------------------------------------

namespace {

void RemoveEmptyEntries(CReallocArray<TDataLevel>& geometry) {
  size_t kept = 0;
  for (size_t i = 0; i < geometry.Size(); i++) {
    if (geometry[i].Points.Empty()) continue;
    if (kept != i) geometry[kept] = std::move(geometry[i]);
    kept++;
  }
  geometry.Resize(kept);
}

// Deletes the items for which `drop` holds, keeping the order of the rest.
template <class T, class TDrop>
void DropObjects(CReallocArray<T*>& objects, TDrop drop) {
  size_t kept = 0;
  for (size_t i = 0; i < objects.Size(); i++) {
    if (drop(objects[i])) {
      delete objects[i];
    } else {
      objects[kept++] = objects[i];
    }
  }
  objects.Resize(kept);
}

}  // namespace

void DropEmptyObjects(CMap& map) {
  DropObjects(map.POIs, [](CMapObject* o) { return static_cast<CPOI*>(o)->Points.Empty(); });
  DropObjects(map.Polygons, [](CMapObject* o) {
    auto* polygon = static_cast<CPolygon*>(o);
    RemoveEmptyEntries(polygon->Geometry);
    return polygon->Geometry.Empty();
  });
  // The records of dropped roads leave RoadAttributes in one pass at the
  // end; several records may share a RoadId, so they are found by address.
  CReallocArray<TRoadAttributes*> dropped;
  DropObjects(map.Polylines, [&dropped](CMapObject* o) {
    auto* polyline = static_cast<CPolyline*>(o);
    RemoveEmptyEntries(polyline->Geometry);
    if (!polyline->Geometry.Empty()) return false;
    if (polyline->Routing) dropped.PushBack(polyline->Routing);
    return true;
  });
  if (dropped.Empty()) return;
  std::sort(dropped.begin(), dropped.end());
  DropObjects(map.RoadAttributes, [&dropped](TRoadAttributes* road) {
    return std::binary_search(dropped.begin(), dropped.end(), road);
  });
}

// ---- Splitting multi-part polylines -------------------------------------------------------

namespace {

// A run of consecutive geometry entries with one level.
struct TRun {
  size_t start;
  size_t length;
};

void FindRuns(const CReallocArray<TDataLevel>& geometry, CReallocArray<TRun>& runs) {
  runs.Clear();
  for (size_t i = 0; i < geometry.Size(); i++) {
    if (i > 0 && geometry[i].Level == geometry[i - 1].Level) {
      runs.Back().length++;
    } else {
      runs.PushBack({i, 1});
    }
  }
}

CPolyline* NewPolylineLike(const CPolyline& source) {
  CPolyline* copy = new CPolyline;
  copy->Type = source.Type;
  copy->EndLevel = source.EndLevel;
  copy->CityIndex = source.CityIndex;
  copy->Label = source.Label;
  copy->StreetDesc = source.StreetDesc;
  copy->CityName = source.CityName;
  copy->RegionName = source.RegionName;
  copy->CountryName = source.CountryName;
  copy->Phone = source.Phone;
  copy->Fax = source.Fax;
  copy->Email = source.Email;
  copy->Webpage = source.Webpage;
  copy->Text = source.Text;
  copy->DontFind = source.DontFind;
  return copy;
}

// A record with the road data that every part shares; lanes, legal speed,
// points, route nodes and height levels stay at their defaults.
TRoadAttributes* NewRoadLike(const TRoadAttributes& source) {
  TRoadAttributes* road = new TRoadAttributes;
  road->RoadId = source.RoadId;
  road->RoadClass = source.RoadClass;
  road->SpeedClass = source.SpeedClass;
  road->OneWay = source.OneWay;
  road->Toll = source.Toll;
  road->RouteParamExt = source.RouteParamExt;
  std::copy(std::begin(source.AccessDenied), std::end(source.AccessDenied), road->AccessDenied);
  std::copy(&source.SpeedPairs[0][0], &source.SpeedPairs[0][0] + 48, &road->SpeedPairs[0][0]);
  road->Numbers.Assign(source.Numbers.data, source.Numbers.Size());
  return road;
}

// Moves the entries whose part index p lies in [first, first + count) to
// targets[p - first] (part index 0 there; skipped for a null target) and
// removes them from `entries`, keeping the order of both sides.
template <class TEntry>
void MovePartEntries(CReallocArray<TEntry>& entries, size_t first, size_t count, TRoadAttributes* const* targets,
                     CReallocArray<TEntry> TRoadAttributes::*member) {
  size_t kept = 0;
  for (size_t i = 0; i < entries.Size(); i++) {
    TEntry entry = entries[i];
    size_t part = entry.PartIndex;
    if (part >= first && part - first < count) {
      if (TRoadAttributes* target = targets[part - first]) {
        entry.PartIndex = 0;
        (target->*member).PushBack(entry);
      }
    } else {
      entries[kept++] = entry;
    }
  }
  entries.Resize(kept);
}

void MovePartsOut(TRoadAttributes& road, size_t first, size_t count, TRoadAttributes* const* targets) {
  MovePartEntries(road.Nodes, first, count, targets, &TRoadAttributes::Nodes);
  MovePartEntries(road.HLevels, first, count, targets, &TRoadAttributes::HLevels);
}

// Copies entry k of every run long enough into the part's polyline.
void CopyPartGeometry(const CReallocArray<TDataLevel>& geometry, const CReallocArray<TRun>& runs, size_t k,
                      CPolyline& part) {
  for (const TRun& run : runs) {
    if (run.length <= k) continue;
    const TDataLevel& entry = geometry[run.start + k];
    TDataLevel* copy = part.Geometry.EmplaceBack();
    copy->Level = entry.Level;
    copy->IsHole = entry.IsHole;
    copy->Points.Assign(entry.Points.data, entry.Points.Size());
    if (&run == &runs[0] && part.Routing) part.Routing->FirstLevelPoints.Assign(entry.Points.data, entry.Points.Size());
  }
}

// New ids: one above the largest while that stays below the unset marker,
// then the unused ids from the bottom. Records with such ids wait and are
// merged in at the end, so RoadAttributes stays sorted without inserts.
class CRoadIdAllocator {
 public:
  explicit CRoadIdAllocator(CMap& map) : map(map) {}

  // Lists the record under a fresh id; false when no id is left.
  bool Add(TRoadAttributes* road) {
    CReallocArray<TRoadAttributes*>& list = map.RoadAttributes;
    if (list.Empty() || list.Back()->RoadId < kNoRoadId - 1) {
      road->RoadId = list.Empty() ? 0 : list.Back()->RoadId + 1;
      list.PushBack(road);
      return true;
    }
    for (;;) {
      while (cursor < list.Size() && list[cursor]->RoadId < candidate) cursor++;
      if (cursor == list.Size() || list[cursor]->RoadId != candidate) break;
      candidate++;
    }
    if (candidate >= kNoRoadId) return false;
    road->RoadId = candidate++;
    pending.PushBack(road);
    return true;
  }

  void Finish() {
    if (pending.Empty()) return;
    CReallocArray<TRoadAttributes*> merged;
    merged.Resize(map.RoadAttributes.Size() + pending.Size());
    std::merge(map.RoadAttributes.begin(), map.RoadAttributes.end(), pending.begin(), pending.end(), merged.begin(),
               [](const TRoadAttributes* a, const TRoadAttributes* b) { return a->RoadId < b->RoadId; });
    std::swap(map.RoadAttributes, merged);
    pending.Clear();
  }

 private:
  CMap& map;
  CReallocArray<TRoadAttributes*> pending;  // ascending ids
  size_t cursor = 0;
  uint32_t candidate = 0;
};

// Where restrictions and lane connections name roads, by road id.
class CRoadReferences {
 public:
  struct TRef {
    uint32_t roadId;
    uint32_t record;
    uint32_t position;
    uint8_t isLane;
  };

  explicit CRoadReferences(CMap& map) : map(map) {}

  // The references that name `roadId` (built on first use).
  std::pair<const TRef*, const TRef*> Find(uint32_t roadId) {
    if (!built) Build();
    auto less = [](const TRef& a, const TRef& b) { return a.roadId < b.roadId; };
    TRef key = {roadId, 0, 0, 0};
    return std::equal_range(refs.begin(), refs.end(), key, less);
  }

  uint32_t& Road(const TRef& ref) {
    return ref.isLane ? map.Lanes[ref.record]->LaneRoads[ref.position]
                      : map.Restrictions[ref.record]->TraffRoads[ref.position];
  }

  // The end nodes of the referenced road; false when the record does not
  // give both (a restriction with too few points).
  bool Ends(const TRef& ref, uint32_t* a, uint32_t* b) const {
    if (ref.isLane) {
      const TLanesRecord* lanes = map.Lanes[ref.record];
      *a = lanes->LanePoints[ref.position];
      *b = lanes->LanePoints[ref.position + 1];
      return true;
    }
    const TRestriction* restriction = map.Restrictions[ref.record];
    if (ref.position + 1 >= restriction->TraffPoints.Size()) return false;
    *a = restriction->TraffPoints[ref.position];
    *b = restriction->TraffPoints[ref.position + 1];
    return true;
  }

 private:
  void Build() {
    built = true;
    for (size_t r = 0; r < map.Restrictions.Size(); r++) {
      const CReallocArray<uint32_t>& roads = map.Restrictions[r]->TraffRoads;
      for (size_t i = 0; i < roads.Size(); i++) {
        refs.PushBack({roads[i], static_cast<uint32_t>(r), static_cast<uint32_t>(i), 0});
      }
    }
    for (size_t l = 0; l < map.Lanes.Size(); l++) {
      for (uint32_t i = 0; i < 2; i++) refs.PushBack({map.Lanes[l]->LaneRoads[i], static_cast<uint32_t>(l), i, 1});
    }
    std::stable_sort(refs.begin(), refs.end(), [](const TRef& a, const TRef& b) { return a.roadId < b.roadId; });
  }

  CMap& map;
  CReallocArray<TRef> refs;
  bool built = false;
};

// Route nodes of the new parts as (node id, part) in ascending order, to
// find the first part on which a referenced road's two ends lie.
class CPartNodes {
 public:
  void Build(TRoadAttributes* const* parts, size_t count) {
    nodes.Clear();
    for (size_t k = 0; k < count; k++) {
      if (!parts[k]) continue;
      for (const TRoadNode& node : parts[k]->Nodes) nodes.PushBack({node.NodeId, static_cast<uint32_t>(k)});
    }
    std::sort(nodes.begin(), nodes.end());
  }

  // The first part with at least two route nodes whose id is a or b, or -1.
  int64_t FirstPartWith(uint32_t a, uint32_t b) const {
    auto range = [this](uint32_t id) {
      return std::equal_range(nodes.begin(), nodes.end(), std::pair<uint32_t, uint32_t>(id, 0),
                              [](const auto& x, const auto& y) { return x.first < y.first; });
    };
    auto ra = range(a);
    auto rb = a == b ? std::make_pair(nodes.end(), nodes.end()) : range(b);
    // Both ranges ascend by part: walk them together.
    const std::pair<uint32_t, uint32_t>* i = ra.first;
    const std::pair<uint32_t, uint32_t>* j = rb.first;
    while (i != ra.second || j != rb.second) {
      uint32_t part = j == rb.second || (i != ra.second && i->second <= j->second) ? i->second : j->second;
      int count = 0;
      for (; i != ra.second && i->second == part; i++) count++;
      for (; j != rb.second && j->second == part; j++) count++;
      if (count >= 2) return part;
    }
    return -1;
  }

 private:
  CReallocArray<std::pair<uint32_t, uint32_t>> nodes;
};

class CPolylineSplitter {
 public:
  explicit CPolylineSplitter(CMap& map) : map(map), ids(map), references(map) {}

  // Splits parts 1 .. partCount - 1 (the length of the first run) out of
  // the polyline.
  void Split(CPolyline& source, size_t partCount) {
    FindRuns(source.Geometry, runs);
    size_t newCount = partCount - 1;
    parts.Clear();
    parts.ResizeZeroed(newCount);
    map.Polylines.Reserve(map.Polylines.Size() + newCount);
    for (size_t k = 1; k < partCount; k++) {
      CPolyline* part = NewPolylineLike(source);
      map.Polylines.PushBack(part);
      if (source.Routing) part->Routing = parts[k - 1] = NewRoadLike(*source.Routing);
    }
    if (source.Routing) MovePartsOut(*source.Routing, 1, newCount, parts.data);
    // Runs shorter than k have no part k: drop them as k grows, so the
    // copies cost the number of entries, not entries times parts.
    size_t firstNew = map.Polylines.Size() - newCount;
    active.Assign(runs.data, runs.Size());
    for (size_t k = 1; k < partCount; k++) {
      size_t kept = 0;
      for (const TRun& run : active) {
        if (run.length > k) active[kept++] = run;
      }
      active.Resize(kept);
      CopyPartGeometry(source.Geometry, active, k, *map.Polyline(firstNew + k - 1));
    }
    if (source.Routing) AssignIds(source, firstNew);
    TrimExtraParts(source, newCount);
  }

  void Finish() { ids.Finish(); }

 private:
  void AssignIds(CPolyline& source, size_t firstNew) {
    uint32_t sourceId = source.Routing->RoadId;
    for (size_t k = 0; k < parts.Size(); k++) {
      map.RoadAttributes.Reserve(map.RoadAttributes.Size() + 1);
      if (!ids.Add(parts[k])) {
        g_Log.Print("No free road id for part %u of road %u: the part is not routable",
                    static_cast<unsigned>(k + 1), sourceId);
        delete parts[k];
        parts[k] = nullptr;
        map.Polyline(firstNew + k)->Routing = nullptr;
      }
    }
    auto refs = references.Find(sourceId);
    if (refs.first == refs.second) return;
    partNodes.Build(parts.data, parts.Size());
    for (const CRoadReferences::TRef* ref = refs.first; ref != refs.second; ref++) {
      uint32_t& road = references.Road(*ref);
      uint32_t a, b;
      if (road != sourceId || !references.Ends(*ref, &a, &b)) continue;
      int64_t part = partNodes.FirstPartWith(a, b);
      if (part >= 0) road = parts[static_cast<size_t>(part)]->RoadId;
    }
  }

  CMap& map;
  CRoadIdAllocator ids;
  CRoadReferences references;
  CPartNodes partNodes;
  CReallocArray<TRun> runs;
  CReallocArray<TRun> active;
  CReallocArray<TRoadAttributes*> parts;  // record of part k + 1, or null
};

}  // namespace

void SplitMultiLevelPolylines(CMap& map) {
  CPolylineSplitter splitter(map);
  size_t count = map.Polylines.Size();
  for (size_t i = 0; i < count; i++) {
    CPolyline& polyline = *map.Polyline(i);
    const CReallocArray<TDataLevel>& geometry = polyline.Geometry;
    size_t b = 1;
    while (b < geometry.Size() && geometry[b - 1].Level != geometry[b].Level) b++;
    if (b >= geometry.Size()) continue;
    const CReallocArray<TPointD>& first = geometry[0].Points;
    g_Log.Print("Multi polyline at [%lf %lf]", first.Empty() ? 0.0 : first[0].y, first.Empty() ? 0.0 : first[0].x);
    if (b != 1) continue;
    size_t partCount = 1;
    while (partCount < geometry.Size() && geometry[partCount].Level == geometry[0].Level) partCount++;
    splitter.Split(polyline, partCount);
  }
  splitter.Finish();
}

CPolyline* SplitPolylinePart(CPolyline& polyline, size_t k) {
  std::unique_ptr<CPolyline> part(NewPolylineLike(polyline));
  if (polyline.Routing) part->Routing = CopyRoadAttributesForPart(*polyline.Routing, k);
  CReallocArray<TRun> runs;
  FindRuns(polyline.Geometry, runs);
  CopyPartGeometry(polyline.Geometry, runs, k, *part);
  return part.release();
}

TRoadAttributes* CopyRoadAttributesForPart(TRoadAttributes& road, size_t k) {
  TRoadAttributes* part = NewRoadLike(road);
  MovePartsOut(road, k, 1, &part);
  return part;
}

void TrimExtraParts(CPolyline& polyline, size_t k) {
  CReallocArray<TDataLevel>& geometry = polyline.Geometry;
  size_t kept = 0;
  size_t runStart = 0;
  for (size_t i = 0; i < geometry.Size(); i++) {
    if (i > 0 && geometry[i].Level != geometry[i - 1].Level) runStart = i;
    size_t position = i - runStart;
    if (position >= 1 && position <= k) continue;
    if (kept != i) geometry[kept] = std::move(geometry[i]);
    kept++;
  }
  geometry.Resize(kept);
}

}  // namespace PolskiFormat
