#include "polski/duplicates.h"

#include <algorithm>

#include "core/log.h"
#include "core/rtree.h"
#include "polski/cleaning.h"
#include "polski/jitters.h"

namespace PolskiFormat {

namespace {

const char kWarn[] = "w: ";
const char kMerged[] = "m: ";

int CountTexts(const CMapObject& o) {
  return !o.Label.empty() + !o.Phone.empty() + !o.Fax.empty() + !o.Email.empty() + !o.Webpage.empty() +
         !o.Text.empty();
}

template <class TObject>
int ScoreWithExtras(const TObject& o) {
  return CountTexts(o) + (o.EntryPoints.Empty() ? 0 : 1) + (o.OpeningHours.Empty() ? 0 : 2);
}

// The better object survives; on a tie the one loaded first.
bool CandidateWins(size_t examinedRank, size_t e, size_t candidateRank, size_t c) {
  if (candidateRank != examinedRank) return candidateRank > examinedRank;
  return c < e;
}

bool SameAddress(const CMapObject& a, const CMapObject& b) {
  return a.CityName == b.CityName && a.CityIndex == b.CityIndex && a.CountryName == b.CountryName &&
         a.RegionName == b.RegionName && a.StreetDesc == b.StreetDesc;
}

// Objects whose first geometry entry is empty have no place to compare.
bool HasFirstPoint(const CReallocArray<TDataLevel>& geometry) {
  return !geometry.Empty() && !geometry[0].Points.Empty();
}

// Lines and areas are found by the run of entries on their first level;
// those whose first entry is empty take no part.
CGeoRect SearchRect(const CReallocArray<TDataLevel>& geometry) {
  if (!HasFirstPoint(geometry)) return CGeoRect();
  size_t position = 0;
  return GetLevelRunRect(geometry, position);
}

// Callers only pass objects that take part in the search: POIs with a
// point, lines and areas whose first entry has one.
TPointD FirstPoint(const CPOI& poi) { return {poi.Points[0].x, poi.Points[0].y}; }
TPointD FirstPoint(const CPolyline& line) { return line.Geometry[0].Points[0]; }
TPointD FirstPoint(const CPolygon& area) { return area.Geometry[0].Points[0]; }

void LogPair(const char* format, const char* prefix, const TPointD& a, const TPointD& b) {
  g_Log.Print(format, prefix, a.y, a.x, b.y, b.x);
}

// ---- POI places ----------------------------------------------------------------------

struct TPlace {
  int32_t level;
  TGeoPoint point;
  bool operator<(const TPlace& o) const {
    if (level != o.level) return level < o.level;
    if (point.x != o.point.x) return point.x < o.point.x;
    return point.y < o.point.y;
  }
  bool operator==(const TPlace& o) const { return level == o.level && point == o.point; }
};

void SortedPlaces(const CPOI& poi, CReallocArray<TPlace>& out) {
  out.Clear();
  for (const TPOIPoint& p : poi.Points) out.PushBack({p.Level, DegreesToGeoPoint(p.x, p.y)});
  std::sort(out.begin(), out.end());
}

// Same points level by level, compared in map units.
bool SamePlace(const CPOI& a, const CPOI& b) {
  if (a.Points.Size() == 1) {
    const TPOIPoint &p = a.Points[0], &q = b.Points[0];
    return p.Level == q.Level && DegreesToGeoPoint(p.x, p.y) == DegreesToGeoPoint(q.x, q.y);
  }
  CReallocArray<TPlace> pa, pb;
  SortedPlaces(a, pa);
  SortedPlaces(b, pb);
  return std::equal(pa.begin(), pa.end(), pb.begin());
}

// ---- Polygon rings ---------------------------------------------------------------------

struct TRingKey {
  int level;
  size_t size;
  uint64_t hash;
  size_t index;
  bool SameClass(const TRingKey& o) const { return level == o.level && size == o.size && hash == o.hash; }
  bool operator<(const TRingKey& o) const {
    if (level != o.level) return level < o.level;
    if (size != o.size) return size < o.size;
    return hash < o.hash;
  }
};

// The ring keys of one polygon, sorted.
struct TRingKeys {
  const TRingKey* first;
  const TRingKey* last;
};

// Appends the polygon's ring keys to `out`, sorted among themselves.
void AppendRingKeys(const CPolygon& area, CReallocArray<TRingKey>& out) {
  size_t from = out.Size();
  for (size_t i = 0; i < area.Geometry.Size(); i++) {
    const TDataLevel& ring = area.Geometry[i];
    if (ring.Points.Empty()) continue;  // an empty ring equals nothing
    out.PushBack({ring.Level, ring.Points.Size(), RingHash(ring.Points.data, ring.Points.Size()), i});
  }
  std::sort(out.begin() + from, out.end());
}

// Number of rings of `a` that equal some ring of `b` on the same level.
// Rings are grouped by level, size and a start-independent hash, so only
// rings that may be equal are compared.
size_t RingsFound(const CPolygon& a, TRingKeys aKeys, const CPolygon& b, TRingKeys bKeys,
                  CPointRunMatcher& matcher) {
  size_t found = 0;
  for (const TRingKey* key = aKeys.first; key != aKeys.last; key++) {
    const TRingKey* at = std::lower_bound(bKeys.first, bKeys.last, *key);
    for (; at != bKeys.last && at->SameClass(*key); at++) {
      const CReallocArray<TPointD>& ra = a.Geometry[key->index].Points;
      const CReallocArray<TPointD>& rb = b.Geometry[at->index].Points;
      if (matcher.RingsEqual(ra.data, ra.Size(), rb.data, rb.Size())) {
        found++;
        break;
      }
    }
  }
  return found;
}

}  // namespace

// ---- Pairwise tests --------------------------------------------------------------------

TDuplicateMatch MatchPOIs(const CPOI& examined, const CPOI& candidate) {
  if (examined.Points.Size() != candidate.Points.Size() || examined.Points.Empty() ||
      !SamePlace(examined, candidate)) {
    return TDuplicateMatch::DifferentPlace;
  }
  if (!SameAddress(examined, candidate)) return TDuplicateMatch::DifferentAddress;
  if (examined.Type != candidate.Type) return TDuplicateMatch::DifferentType;
  if (examined.Label != candidate.Label) return TDuplicateMatch::DifferentLabel;
  return TDuplicateMatch::Match;
}

namespace {

// Each entry of the examined line against the candidate's entries of its
// level, in order: the first one that is not longer decides for the entry.
// `indexes` (one per examined entry, or null) spares scanning long entries.
TDuplicateMatch MatchLineGeometry(const CPolyline& examined, const CRunIndex* indexes, const CPolyline& candidate,
                                  CPointRunMatcher& matcher) {
  size_t equal = 0, containing = 0;
  for (size_t k = 0; k < examined.Geometry.Size(); k++) {
    const TDataLevel& e = examined.Geometry[k];
    if (e.Points.Empty()) continue;  // never matches
    bool sawShorter = false, endedAbsent = false;
    for (const TDataLevel& f : candidate.Geometry) {
      if (f.Level != e.Level || f.Points.Empty()) continue;
      TRunMatch r = indexes ? indexes[k].Match(f.Points.data, f.Points.Size(), matcher)
                            : matcher.MatchRuns(e.Points.data, e.Points.Size(), f.Points.data, f.Points.Size());
      if (r == TRunMatch::Shorter) {
        sawShorter = true;
        continue;
      }
      if (r == TRunMatch::Equal) equal++;
      if (r == TRunMatch::Contains) containing++;
      endedAbsent = r == TRunMatch::Absent;
      break;
    }
    if (sawShorter && !endedAbsent) return TDuplicateMatch::GeometryDiffers;
  }
  if (equal == examined.Geometry.Size()) return TDuplicateMatch::Match;
  return containing == 0 ? TDuplicateMatch::GeometryDiffers : TDuplicateMatch::Contains;
}

bool SameRoadAttributes(const TRoadAttributes& a, const TRoadAttributes& b) {
  return std::equal(a.AccessDenied, a.AccessDenied + 8, b.AccessDenied) && a.RouteParamExt == b.RouteParamExt &&
         a.OneWay == b.OneWay && a.RoadClass == b.RoadClass && a.SpeedClass == b.SpeedClass && a.Toll == b.Toll;
}

// Height levels at equal points must agree.
bool SameRoadLevels(const TRoadAttributes& a, const TRoadAttributes& b) {
  if (a.HLevels.Size() != b.HLevels.Size()) return false;
  for (const THLevel& ha : a.HLevels) {
    if (ha.PointIndex >= a.FirstLevelPoints.Size()) continue;
    const TPointD& pa = a.FirstLevelPoints[ha.PointIndex];
    for (const THLevel& hb : b.HLevels) {
      if (hb.PointIndex >= b.FirstLevelPoints.Size()) continue;
      if (SamePoint(pa, b.FirstLevelPoints[hb.PointIndex]) && ha.Level != hb.Level) return false;
    }
  }
  return true;
}

}  // namespace

namespace {

TDuplicateMatch MatchLines(const CPolyline& examined, const CRunIndex* indexes, const CPolyline& candidate,
                           CPointRunMatcher& matcher) {
  TDuplicateMatch geometry = MatchLineGeometry(examined, indexes, candidate, matcher);
  if (geometry == TDuplicateMatch::GeometryDiffers) return geometry;
  if (examined.Type != candidate.Type) return TDuplicateMatch::DifferentType;
  if (!SameAddress(examined, candidate)) return TDuplicateMatch::DifferentAddress;
  if (!examined.Routing != !candidate.Routing) return TDuplicateMatch::NotBothRoads;
  if (examined.Routing) {
    if (!SameRoadAttributes(*examined.Routing, *candidate.Routing)) return TDuplicateMatch::DifferentRoadAttributes;
    if (!SameRoadLevels(*examined.Routing, *candidate.Routing)) return TDuplicateMatch::DifferentRoadLevels;
  }
  return geometry;
}

TDuplicateMatch MatchAreas(const CPolygon& examined, TRingKeys eKeys, const CPolygon& candidate, TRingKeys cKeys,
                           CPointRunMatcher& matcher) {
  size_t eFound = RingsFound(examined, eKeys, candidate, cKeys, matcher);
  size_t cFound = RingsFound(candidate, cKeys, examined, eKeys, matcher);
  if (eFound == 0 && cFound == 0) return TDuplicateMatch::GeometryDiffers;
  bool allExamined = eFound == examined.Geometry.Size(), allCandidate = cFound == candidate.Geometry.Size();
  TDuplicateMatch result = TDuplicateMatch::SameSection;
  if (allExamined && allCandidate) {
    result = TDuplicateMatch::Match;
  } else if (allExamined) {
    result = TDuplicateMatch::ContainedBy;
  } else if (allCandidate) {
    result = TDuplicateMatch::Contains;
  }
  if (examined.Type != candidate.Type) return TDuplicateMatch::DifferentType;
  if (!SameAddress(examined, candidate) || examined.HouseNumber != candidate.HouseNumber) {
    return TDuplicateMatch::DifferentAddress;
  }
  return result;
}

}  // namespace

TDuplicateMatch MatchPolylines(const CPolyline& examined, const CPolyline& candidate, CPointRunMatcher& matcher) {
  return MatchLines(examined, nullptr, candidate, matcher);
}

TDuplicateMatch MatchPolygons(const CPolygon& examined, const CPolygon& candidate, CPointRunMatcher& matcher) {
  CReallocArray<TRingKey> keys;
  AppendRingKeys(examined, keys);
  size_t split = keys.Size();
  AppendRingKeys(candidate, keys);
  return MatchAreas(examined, {keys.begin(), keys.begin() + split}, candidate, {keys.begin() + split, keys.end()},
                    matcher);
}

bool CoversGeometry(const CReallocArray<TDataLevel>& outer, const CReallocArray<TDataLevel>& inner,
                    CPointRunMatcher& matcher) {
  for (const TDataLevel& f : inner) {
    if (f.Points.Empty()) continue;
    bool covered = false;
    for (const TDataLevel& e : outer) {
      if (e.Level != f.Level || e.Points.Empty()) continue;
      TRunMatch r = matcher.MatchRuns(e.Points.data, e.Points.Size(), f.Points.data, f.Points.Size());
      if (r == TRunMatch::Equal || r == TRunMatch::Contains) {
        covered = true;
        break;
      }
    }
    if (!covered) return false;
  }
  return true;
}

// ---- Survivors and texts -----------------------------------------------------------------

bool ComparePOIs(const CPOI& examined, size_t e, const CPOI& candidate, size_t c) {
  return CandidateWins(ScoreWithExtras(examined), e, ScoreWithExtras(candidate), c);
}

bool ComparePolylines(const CPolyline& examined, size_t e, const CPolyline& candidate, size_t c) {
  if (examined.Geometry.Size() != candidate.Geometry.Size()) {
    return candidate.Geometry.Size() > examined.Geometry.Size();
  }
  return CandidateWins(CountTexts(examined), e, CountTexts(candidate), c);
}

bool ComparePolygons(const CPolygon& examined, size_t e, const CPolygon& candidate, size_t c) {
  if (examined.Geometry.Size() != candidate.Geometry.Size()) {
    return candidate.Geometry.Size() > examined.Geometry.Size();
  }
  return CandidateWins(ScoreWithExtras(examined), e, ScoreWithExtras(candidate), c);
}

void MergeObjectTexts(CMapObject& survivor, const CMapObject& removed) {
  std::string CMapObject::*const kTexts[] = {&CMapObject::Email,   &CMapObject::Fax,   &CMapObject::Label,
                                             &CMapObject::Webpage, &CMapObject::Phone, &CMapObject::Text};
  for (auto text : kTexts) {
    if ((survivor.*text).empty()) survivor.*text = removed.*text;
  }
}

void MergePolygonInfo(CPolygon& survivor, const CPolygon& removed) {
  MergeObjectTexts(survivor, removed);
  if (survivor.OpeningHours.Empty()) CopyOpeningRules(removed.OpeningHours, survivor.OpeningHours);
  size_t own = survivor.EntryPoints.Size();
  for (const TEntryPoint& entry : removed.EntryPoints) {
    bool held = false;
    for (size_t i = 0; i < own && !held; i++) {
      const TEntryPoint& mine = survivor.EntryPoints[i];
      held = SamePoint(mine.Position, entry.Position) && mine.Text == entry.Text;
    }
    if (!held) survivor.EntryPoints.PushBack(entry);
  }
}

// ---- Rectangles ----------------------------------------------------------------------

CGeoRect POIRect(const CPOI& poi) {
  CGeoRect rect;
  for (const TPOIPoint& p : poi.Points) rect.ExtendByPoint(DegreesToGeoPoint(p.x, p.y));
  return rect;
}

// ---- The search ------------------------------------------------------------------------

// The candidates of one object class: a bulk-built tree over the objects'
// rectangles. Hits come back sorted by list position, so the results do not
// depend on the tree's shape.
struct CDuplicateFinder::CIndex {
  template <class TRectOf>
  CIndex(size_t count, TRectOf rectOf) {
    rects.Resize(count);
    CReallocArray<RTree::TEntry<int>> entries;
    for (size_t i = 0; i < count; i++) {
      rects[i] = rectOf(i);
      if (!rects[i].IsEmpty()) entries.PushBack({rects[i], static_cast<int>(i)});
    }
    RTree::BuildTree(root, entries);
  }
  ~CIndex() { delete root; }
  CIndex(const CIndex&) = delete;
  CIndex& operator=(const CIndex&) = delete;

  // False when the object takes no part (it has no rectangle).
  bool Search(size_t i, CReallocArray<int>& hits) const {
    hits.Clear();
    if (rects[i].IsEmpty()) return false;
    root->Search(rects[i], hits);
    std::sort(hits.begin(), hits.end());
    return true;
  }

  CReallocArray<CGeoRect> rects;
  RTree::CRTreeNodeBase<int>* root = nullptr;
};

CDuplicateFinder::CDuplicateFinder(CMap& map) : map(map) {
  deleted[KindPOI].ResizeZeroed(map.POIs.Size());
  deleted[KindPolyline].ResizeZeroed(map.Polylines.Size());
  deleted[KindPolygon].ResizeZeroed(map.Polygons.Size());
  polylineSurvivor.ResizeZeroed(map.Polylines.Size());
}

void CDuplicateFinder::Remove(TObjectKind kind, size_t loser, size_t survivor) {
  deleted[kind][loser] = 1;
  removals.PushBack({kind, static_cast<uint32_t>(loser), static_cast<uint32_t>(survivor)});
  if (kind != KindPolyline) return;
  polylineSurvivor[loser] = static_cast<uint32_t>(survivor);
  const TRoadAttributes* lost = map.Polyline(loser)->Routing;
  const TRoadAttributes* kept = map.Polyline(survivor)->Routing;
  if (lost && kept) roadIdPairs.PushBack({lost->RoadId, kept->RoadId});
}

// True when `from`, or the object it was removed into (and so on), is `to`.
bool CDuplicateFinder::LeadsTo(const CReallocArray<uint32_t>& survivorOf, size_t from, size_t to) const {
  for (size_t steps = 0; steps <= survivorOf.Size(); steps++) {
    if (from == to) return true;
    if (!deleted[KindPolyline][from]) return false;
    from = survivorOf[from];
  }
  return true;
}

uint64_t CDuplicateFinder::FindPOIs() {
  CIndex index(map.POIs.Size(), [this](size_t i) { return POIRect(*map.POI(i)); });
  CReallocArray<int> hits;
  uint64_t matches = 0;
  for (size_t i = 0; i < map.POIs.Size(); i++) {
    if (!index.Search(i, hits)) continue;
    CPOI& examined = *map.POI(i);
    for (int hit : hits) {
      size_t j = static_cast<size_t>(hit);
      if (j >= i) break;  // each pair once, the later object examined
      CPOI& candidate = *map.POI(j);
      TPointD a = FirstPoint(examined), b = FirstPoint(candidate);
      switch (MatchPOIs(examined, candidate)) {
        case TDuplicateMatch::DifferentAddress:
          LogPair("%spois same geometry different addr: %f %f  %f %f", kWarn, a, b);
          break;
        case TDuplicateMatch::DifferentType:
          LogPair("%spois same geometry different type: %f %f  %f %f", kWarn, a, b);
          break;
        case TDuplicateMatch::DifferentLabel:
          LogPair("%spois same geometry different label: %f %f  %f %f", kWarn, a, b);
          break;
        case TDuplicateMatch::Match: {
          bool candidateWins = ComparePOIs(examined, i, candidate, j);
          size_t survivor = candidateWins ? j : i, loser = candidateWins ? i : j;
          Remove(KindPOI, loser, survivor);
          MergeObjectTexts(*map.POI(survivor), *map.POI(loser));
          matches++;
          LogPair("%spoi match: %f %f  %f %f", kMerged, a, b);
          break;
        }
        default:
          break;
      }
    }
  }
  return matches;
}

// Every pair is tested in both roles. A removal needs the survivor to hold
// every entry of the removed line, and never closes a circle of removals.
uint64_t CDuplicateFinder::FindPolylines() {
  CIndex index(map.Polylines.Size(), [this](size_t i) { return SearchRect(map.Polyline(i)->Geometry); });
  CReallocArray<int> hits;
  CReallocArray<CRunIndex> runs;  // of the examined line's entries
  uint64_t removed = 0;
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    if (!index.Search(i, hits) || hits.Size() < 2) continue;  // only itself
    CPolyline& examined = *map.Polyline(i);
    if (runs.Size() < examined.Geometry.Size()) runs.Resize(examined.Geometry.Size());  // kept for reuse
    for (size_t k = 0; k < examined.Geometry.Size(); k++) {
      runs[k].Build(examined.Geometry[k].Points.data, examined.Geometry[k].Points.Size());
    }
    for (int hit : hits) {
      size_t j = static_cast<size_t>(hit);
      if (j == i) continue;
      CPolyline& candidate = *map.Polyline(j);
      TPointD a = FirstPoint(examined), b = FirstPoint(candidate);
      TDuplicateMatch match = MatchLines(examined, runs.data, candidate, matcher);
      size_t survivor = i, loser = j;
      switch (match) {
        case TDuplicateMatch::Match:
          if (ComparePolylines(examined, i, candidate, j)) std::swap(survivor, loser);
          [[fallthrough]];
        case TDuplicateMatch::Contains: {
          CPolyline& kept = *map.Polyline(survivor);
          CPolyline& lost = *map.Polyline(loser);
          if (deleted[KindPolyline][loser] || !CoversGeometry(kept.Geometry, lost.Geometry, matcher) ||
              LeadsTo(polylineSurvivor, survivor, loser)) {
            break;
          }
          Remove(KindPolyline, loser, survivor);
          MergeObjectTexts(kept, lost);
          removed++;
          if (match == TDuplicateMatch::Contains) {
            LogPair("%spolyline contains %f %f  %f %f", kMerged, a, b);
          } else {
            LogPair("%spolyline match %f %f  %f %f", kMerged, FirstPoint(kept), FirstPoint(kept));
          }
          break;
        }
        case TDuplicateMatch::DifferentType:
          LogPair("%slines same geometry different type: %f %f  %f %f", kWarn, a, b);
          break;
        case TDuplicateMatch::DifferentAddress:
          LogPair("%slines same geometry different addr: %f %f  %f %f", kWarn, a, b);
          break;
        case TDuplicateMatch::DifferentRoadAttributes:
          LogPair("%slines same geometry different road attributes: %f %f  %f %f", kWarn, a, b);
          break;
        case TDuplicateMatch::NotBothRoads:
          LogPair("%slines: not both are roads: %f %f  %f %f", kWarn, a, b);
          break;
        case TDuplicateMatch::DifferentRoadLevels:
          LogPair("%slines different road levels: %f %f  %f %f", kWarn, a, b);
          break;
        default:
          break;
      }
    }
  }
  return removed;
}

uint64_t CDuplicateFinder::FindPolygons() {
  CIndex index(map.Polygons.Size(), [this](size_t i) { return SearchRect(map.Polygon(i)->Geometry); });
  // Ring keys of every polygon, in one array: polygon i owns [start[i], start[i + 1]).
  CReallocArray<TRingKey> keys;
  CReallocArray<size_t> start;
  for (size_t i = 0; i < map.Polygons.Size(); i++) {
    start.PushBack(keys.Size());
    AppendRingKeys(*map.Polygon(i), keys);
  }
  start.PushBack(keys.Size());
  auto keysOf = [&](size_t i) { return TRingKeys{keys.begin() + start[i], keys.begin() + start[i + 1]}; };
  CReallocArray<int> hits;
  uint64_t removed = 0;
  for (size_t i = 0; i < map.Polygons.Size(); i++) {
    if (!index.Search(i, hits)) continue;
    CPolygon& examined = *map.Polygon(i);
    for (int hit : hits) {
      size_t j = static_cast<size_t>(hit);
      if (j >= i) break;
      CPolygon& candidate = *map.Polygon(j);
      TPointD a = FirstPoint(examined), b = FirstPoint(candidate);
      switch (MatchAreas(examined, keysOf(i), candidate, keysOf(j), matcher)) {
        case TDuplicateMatch::Match: {
          bool candidateWins = ComparePolygons(examined, i, candidate, j);
          size_t survivor = candidateWins ? j : i, loser = candidateWins ? i : j;
          if (deleted[KindPolygon][loser]) break;
          Remove(KindPolygon, loser, survivor);
          MergePolygonInfo(*map.Polygon(survivor), *map.Polygon(loser));
          removed++;
          LogPair("%spolygon match %f %f  %f %f", kMerged, FirstPoint(*map.Polygon(survivor)),
                  FirstPoint(*map.Polygon(loser)));
          break;
        }
        case TDuplicateMatch::Contains:
          LogPair("%spolygon contains another: %f %f  %f %f", kMerged, a, b);
          if (deleted[KindPolygon][j]) break;
          MergePolygonInfo(examined, candidate);
          Remove(KindPolygon, j, i);
          removed++;
          break;
        case TDuplicateMatch::ContainedBy:
          LogPair("%spolygon contains another: %f %f  %f %f", kMerged, b, a);
          if (deleted[KindPolygon][i]) break;
          MergePolygonInfo(candidate, examined);
          Remove(KindPolygon, i, j);
          removed++;
          break;
        case TDuplicateMatch::SameSection:
          LogPair("%spgones have same section: %f %f  %f %f", kWarn, a, b);
          break;
        case TDuplicateMatch::DifferentType:
          LogPair("%spgones same geometry different type: %f %f  %f %f", kWarn, a, b);
          break;
        case TDuplicateMatch::DifferentAddress:
          LogPair("%spgones same geometry different addr: %f %f  %f %f", kWarn, a, b);
          break;
        default:
          break;
      }
    }
  }
  return removed;
}

// A removed road may have been removed into a road that went later itself:
// every id is followed to the road that stays.
uint64_t CDuplicateFinder::FixRestrictions() {
  CReallocArray<TRoadIdPair> pairs;
  pairs.Assign(roadIdPairs.data, roadIdPairs.Size());
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const TRoadIdPair& a, const TRoadIdPair& b) { return a.removed < b.removed; });
  auto find = [&pairs](uint32_t id) -> const TRoadIdPair* {
    const TRoadIdPair* at = std::lower_bound(pairs.begin(), pairs.end(), id,
                                             [](const TRoadIdPair& p, uint32_t v) { return p.removed < v; });
    return at != pairs.end() && at->removed == id ? at : nullptr;
  };
  auto resolve = [&](uint32_t id) {
    uint32_t current = id;
    for (size_t steps = 0; steps <= pairs.Size(); steps++) {
      const TRoadIdPair* pair = find(current);
      if (!pair || pair->survivor == current) return current;
      current = pair->survivor;
    }
    return id;  // ids that lead round in a circle stay as they are
  };
  uint64_t fixed = 0;
  for (TRestriction* restriction : map.Restrictions) {
    for (uint32_t& road : restriction->TraffRoads) {
      if (!find(road)) continue;
      road = resolve(road);
      fixed++;
    }
  }
  return fixed;
}

namespace {

// Deletes the objects whose flag is set, keeping the order of the rest.
void DeleteFlagged(CReallocArray<CMapObject*>& objects, const CReallocArray<uint8_t>& flags) {
  size_t kept = 0;
  for (size_t i = 0; i < objects.Size(); i++) {
    if (flags[i]) {
      delete objects[i];
    } else {
      objects[kept++] = objects[i];
    }
  }
  objects.Resize(kept);
}

}  // namespace

void CDuplicateFinder::DeleteRemoved() {
  CReallocArray<TRoadAttributes*> records;
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    if (deleted[KindPolyline][i] && map.Polyline(i)->Routing) records.PushBack(map.Polyline(i)->Routing);
  }
  std::sort(records.begin(), records.end());
  DeleteFlagged(map.POIs, deleted[KindPOI]);
  DeleteFlagged(map.Polylines, deleted[KindPolyline]);
  DeleteFlagged(map.Polygons, deleted[KindPolygon]);
  size_t kept = 0;
  for (size_t i = 0; i < map.RoadAttributes.Size(); i++) {
    TRoadAttributes* record = map.RoadAttributes[i];
    if (std::binary_search(records.begin(), records.end(), record)) {
      delete record;
    } else {
      map.RoadAttributes[kept++] = record;
    }
  }
  map.RoadAttributes.Resize(kept);
}

void RemoveDuplicates(CMap& map) {
  CDuplicateFinder finder(map);
  g_Log.PrintText("Searching poi duplicates");
  unsigned long long pois = finder.FindPOIs();
  g_Log.Print("%llu poi duplicates found", pois);
  g_Log.PrintText("Searching polyline duplicates");
  unsigned long long polylines = finder.FindPolylines();
  g_Log.Print("%llu polyline duplicates found", polylines);
  g_Log.PrintText("Fixing restrictions");
  unsigned long long fixed = finder.FixRestrictions();
  g_Log.Print("Restrictions fixed: %llu", fixed);
  g_Log.PrintText("Searching polygon duplicates");
  unsigned long long polygons = finder.FindPolygons();
  g_Log.Print("%llu polygon duplicates found", polygons);
  g_Log.PrintText("Deleting duplicates");
  finder.DeleteRemoved();
  g_Log.Print("Polylines\t%llu", polylines);
  g_Log.Print("Polygons\t%llu", polygons);
  g_Log.Print("POIs\t%llu", pois);
}

}  // namespace PolskiFormat
