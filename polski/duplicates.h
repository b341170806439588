// Duplicate removal: POIs at one place, polylines whose geometry equals or
// lies inside another's, polygons with the same or contained rings. Of each
// pair one object survives and takes over the texts it lacks.
//
// Objects are named by their position in their map list (load order); that
// position is also the identity that breaks the last tie between two
// objects, and surviving objects keep their order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/containers.h"
#include "core/geo.h"
#include "polski/map.h"
#include "polski/pointruns.h"

namespace PolskiFormat {

// Outcome of comparing the examined object with a candidate.
enum class TDuplicateMatch {
  GeometryDiffers,
  DifferentPlace,           // POIs: not the same points
  DifferentAddress,
  DifferentType,
  DifferentLabel,           // POIs
  NotBothRoads,             // polylines: one routable, one not
  DifferentRoadAttributes,  // polylines
  DifferentRoadLevels,      // polylines
  SameSection,              // polygons: some rings shared, neither holds the other
  Match,                    // same geometry
  Contains,                 // the examined object holds the candidate
  ContainedBy,              // polygons: the candidate holds the examined one
};

TDuplicateMatch MatchPOIs(const CPOI& examined, const CPOI& candidate);
TDuplicateMatch MatchPolylines(const CPolyline& examined, const CPolyline& candidate, CPointRunMatcher& matcher);
TDuplicateMatch MatchPolygons(const CPolygon& examined, const CPolygon& candidate, CPointRunMatcher& matcher);

// True when every non-empty entry of `inner` equals, or lies in, an entry of
// `outer` on the same level: removing `inner` into `outer` loses nothing.
bool CoversGeometry(const CReallocArray<TDataLevel>& outer, const CReallocArray<TDataLevel>& inner,
                    CPointRunMatcher& matcher);

// Survivor choice: true when the candidate (at list position `c`) survives
// the examined object (at `e`).
bool ComparePOIs(const CPOI& examined, size_t e, const CPOI& candidate, size_t c);
bool ComparePolylines(const CPolyline& examined, size_t e, const CPolyline& candidate, size_t c);
bool ComparePolygons(const CPolygon& examined, size_t e, const CPolygon& candidate, size_t c);

// The survivor takes each of Email, Fax, Label, Webpage, Phone, Text that
// it lacks.
void MergeObjectTexts(CMapObject& survivor, const CMapObject& removed);
// The texts, the opening hours when the survivor has none, and the entry
// points it does not hold yet.
void MergePolygonInfo(CPolygon& survivor, const CPolygon& removed);

// Rectangle of all points of a POI.
CGeoRect POIRect(const CPOI& poi);

enum TObjectKind { KindPOI, KindPolyline, KindPolygon };

// One removal: the object at `loser` went into the one at `survivor`.
struct TRemoval {
  TObjectKind kind;
  uint32_t loser;
  uint32_t survivor;
};

struct TRoadIdPair {
  uint32_t removed;
  uint32_t survivor;
};

// Finds the duplicates of one map without changing its lists (only the
// survivors' texts change); RemoveDuplicates then applies the result.
class CDuplicateFinder {
 public:
  explicit CDuplicateFinder(CMap& map);

  // Each returns the count that its summary line prints: POI matches,
  // polyline and polygon removals.
  uint64_t FindPOIs();
  uint64_t FindPolylines();
  uint64_t FindPolygons();
  // Points every restriction road that names a removed road at the road's
  // final survivor; returns the number of rewritten entries.
  uint64_t FixRestrictions();
  // Deletes the removed objects and the routing records of removed roads;
  // called once, last.
  void DeleteRemoved();

  CReallocArray<TRemoval> removals;  // in the order found
  CReallocArray<TRoadIdPair> roadIdPairs;

 private:
  // Indexes of the objects whose rectangles meet `rect`, ascending.
  struct CIndex;
  void Remove(TObjectKind kind, size_t loser, size_t survivor);
  bool LeadsTo(const CReallocArray<uint32_t>& survivorOf, size_t from, size_t to) const;

  CMap& map;
  CPointRunMatcher matcher;
  CReallocArray<uint8_t> deleted[3];
  CReallocArray<uint32_t> polylineSurvivor;  // per removed polyline
};

}  // namespace PolskiFormat
