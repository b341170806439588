// The in-memory map read from a Polish-format (.mp) file, its loader and the
// post-load steps that check and normalise it before the map writer.
//
// Ownership: the map owns everything it lists: the header section, the
// address lists, every object in POIs, Polygons and Polylines, every
// routing record in RoadAttributes (the polylines point to them without
// owning them), every restriction and lane record. All are freed by the
// destructor. Object lists hold CMapObject pointers; each entry of POIs is a
// CPOI, of Polygons a CPolygon, of Polylines a CPolyline (see the typed
// accessors).
#pragma once

#include <cstdint>
#include <string>

#include "core/containers.h"
#include "core/widestring.h"
#include "polski/objects.h"
#include "polski/restrictions.h"
#include "polski/roadattributes.h"
#include "polski/sections.h"

namespace PolskiFormat {

class CMap {
 public:
  CMap() = default;
  ~CMap();
  CMap(const CMap&) = delete;
  CMap& operator=(const CMap&) = delete;

  // Reads the file once into this empty map. Null on success, otherwise a
  // static error text: "Error loading file." (not a readable regular file,
  // or a read error), "Out of memory", "No header", "Bad address info" or
  // "Interrupted by user". On an error the map keeps what it had received.
  // `stop` (may be null) is read before every line.
  const char* LoadFile(const char* path, const bool* stop);
  // The steps that end a load once the lines are read: the header and
  // address checks, the stop flag, sorting the routing records, FileName
  // and the texts' encoding. Null on success, else one of LoadFile's texts.
  const char* FinishLoad(const char* path, const bool* stop);

  // Typed views of the object lists.
  CPOI* POI(size_t i) const { return static_cast<CPOI*>(POIs[i]); }
  CPolygon* Polygon(size_t i) const { return static_cast<CPolygon*>(Polygons[i]); }
  CPolyline* Polyline(size_t i) const { return static_cast<CPolyline*>(Polylines[i]); }

  // Number of entries of the header's level table (0 without a header).
  size_t LevelCount() const { return Header ? Header->Levels.Size() : 0; }
  // Objects may name levels beyond the header's table (EndLevel, DataN):
  // every consumer clamps through this. Returns the level limited to
  // [0, LevelCount() - 1], or -1 when the map has no level table at all.
  int32_t ClampLevel(int32_t level) const;

  std::string FileName;                  // set when LoadFile succeeds
  CHeaderSection* Header = nullptr;      // the last "IMG ID" that parsed
  CReallocArray<std::string> Countries;  // index = country index
  CReallocArray<TSubAddress> Regions;    // parent = country index
  CReallocArray<TSubAddress> Cities;     // parent = region index
  CReallocArray<CMapObject*> POIs;
  CReallocArray<CMapObject*> Polygons;
  CReallocArray<CMapObject*> Polylines;
  // Sorted by RoadId (unsigned, stable): find with lower-bound search.
  CReallocArray<TRoadAttributes*> RoadAttributes;
  CReallocArray<TRestriction*> Restrictions;
  CReallocArray<TLanesRecord*> Lanes;
  uint8_t Utf8Labels = 0;  // texts are UTF-8 (else the single-byte code page)
  // The single-byte code page of the texts when they are not UTF-8.
  const char16_t* LabelTable = g_Cp1251Table;

  // What the texts decode by: null for UTF-8, else the code page's table.
  const char16_t* TextTable() const { return Utf8Labels ? nullptr : LabelTable; }

 private:
  void TakeSection(CSection& section);
};

// ---- Post-load steps ----------------------------------------------------------------

// Every address index points into its list, and no object gives its
// address both by index and by names.
bool CheckAddressIndexes(const CMap& map);
// Drops geometry entries without points and objects without geometry
// (with the routing record of a dropped polyline).
void DropEmptyObjects(CMap& map);
// Splits every polyline with several parts on one level into one polyline
// per part, each a road of its own with a new RoadId; restrictions and lane
// connections move with their part. Logs "Multi polyline at [%lf %lf]".
void SplitMultiLevelPolylines(CMap& map);

// The new polyline of part k (owned by the caller), with a copy of the
// source's routing record for that part when it has one.
CPolyline* SplitPolylinePart(CPolyline& polyline, size_t k);
// A new record (owned by the caller) with the source's road data; moves the
// route nodes and height levels of part k out of `road`.
TRoadAttributes* CopyRoadAttributesForPart(TRoadAttributes& road, size_t k);
// Removes up to k entries behind the first of each run of equal levels.
void TrimExtraParts(CPolyline& polyline, size_t k);

}  // namespace PolskiFormat
