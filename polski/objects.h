// Map objects of a Polish-format map: points of interest, lines and areas,
// and the sections that build them from "POI"/"RGN10"/"RGN20",
// "POLYLINE"/"RGN40" and "POLYGON"/"RGN80" blocks.
//
// Ownership: each object owns its texts and arrays. A polyline's Routing
// record is owned by the map's RoadAttributes list once the polyline is in
// the map (before that, by the section that builds it); the polyline's
// destructor never frees it. An object section owns the object it built
// until the loader takes it (TakeObject); a section dropped unparsed or
// after a failed Parse frees it.
#pragma once

#include <cstdint>
#include <string>

#include "core/containers.h"
#include "core/geo.h"
#include "polski/openinghours.h"
#include "polski/sections.h"

namespace PolskiFormat {

struct TRoadAttributes;

// One geometry entry of a line or area.
struct TDataLevel {
  uint8_t Level = 0;   // the N of "DataN" / "OriginN"
  uint8_t IsHole = 0;  // areas: the ring lies inside another ring of its level
  CReallocArray<TPointD> Points;
};

// One position of a point object.
struct TPOIPoint {
  int32_t Level;
  double x;  // longitude
  double y;  // latitude
};

struct TEntryPoint {
  TPointD Position;
  std::string Text;  // whatever followed the position; may be empty
};

class CMapObject {
 public:
  CMapObject() = default;
  virtual ~CMapObject() = default;
  CMapObject(const CMapObject&) = delete;
  CMapObject& operator=(const CMapObject&) = delete;

  int32_t Type = 0;         // composed of "Type", "SubType" and "Marine"
  int32_t EndLevel = 255;   // highest level that shows the object; 255 = not given
  int32_t CityIndex = -1;   // 0-based into the map's Cities; -1 = none
  std::string Label;        // label codes converted
  std::string StreetDesc;   // label codes converted
  std::string CityName;     // label codes converted
  std::string RegionName;   // label codes converted
  std::string CountryName;  // label codes converted
  std::string Phone;
  std::string Fax;
  std::string Email;
  std::string Webpage;
  std::string Text;  // several "Text" keys joined by a line feed
  uint8_t DontFind = 0;
};

class CPOI : public CMapObject {
 public:
  CReallocArray<TPOIPoint> Points;  // one per geometry key, in key order
  CReallocArray<TEntryPoint> EntryPoints;
  CReallocArray<TOpeningRule> OpeningHours;
  std::string Highway;
  std::string HouseNumber;
  uint8_t OvernightParking = 0;
};

class CPolygon : public CMapObject {
 public:
  // Rings ordered by level; a hole follows its outer ring.
  CReallocArray<TDataLevel> Geometry;
  CReallocArray<TEntryPoint> EntryPoints;
  CReallocArray<TOpeningRule> OpeningHours;
  std::string HouseNumber;
  uint8_t Background = 0;
};

class CPolyline : public CMapObject {
 public:
  // In key order; consecutive entries of one level are parts of one line.
  CReallocArray<TDataLevel> Geometry;
  TRoadAttributes* Routing = nullptr;  // null = not routable; not owned
};

// ---- Value parsers of the objects -----------------------------------------------

// Reads the keys of the base class; false only for a bad "CityIdx".
bool ParseCommonKeys(const CSection& section, CMapObject& object);
bool IsCommonKey(std::string_view key);
// Appends the points of "(lat,lon),(lat,lon),..."; stops at the first pair
// that is unreadable, not finite or outside +/-90 latitude, +/-180 longitude.
void ParsePointList(const char* value, CReallocArray<TPointD>& points);
// "(lat,lon)" optionally followed by "," and a text.
bool ParseEntryPoint(const char* value, TEntryPoint* entry);
// The level of a "DataN" / "OriginN" key; -1 when the key is not a geometry
// key or its level is unusable (no digits, negative, above 255).
int32_t GeometryKeyLevel(std::string_view key);

// ---- Object sections ---------------------------------------------------------------

class CMapObjectSection : public CRecordSection<CMapObject> {
 public:
  using CRecordSection::CRecordSection;
  CMapObject* GetObject() override { return Record; }
  // Hands the built object over to the caller.
  CMapObject* TakeObject() { return TakeRecord(); }
};

class CPOISection : public CMapObjectSection {
 public:
  explicit CPOISection(int type = SectionPOI) : CMapObjectSection(type) {}
  bool Parse() override;
  bool IsOwnKey(std::string_view key) const override;
  void Write(FILE* out) override;
};

class CPolygonSection : public CMapObjectSection {
 public:
  explicit CPolygonSection(int type = SectionPolygon) : CMapObjectSection(type) {}
  bool Parse() override;
  bool IsOwnKey(std::string_view key) const override;
  void Write(FILE* out) override;
};

class CPolylineSection : public CMapObjectSection {
 public:
  explicit CPolylineSection(int type = SectionPolyline) : CMapObjectSection(type) {}
  // Frees a routing record that never reached the map.
  ~CPolylineSection() override;
  bool Parse() override;
  bool IsOwnKey(std::string_view key) const override;
  void Write(FILE* out) override { Write(out, false); }
  // `speed` asks for the "Speed" line.
  void Write(FILE* out, bool speed);

  CPolyline* Polyline() { return static_cast<CPolyline*>(Record); }
};

// Orders the rings of a polygon by level and marks the holes.
void OrderRings(CReallocArray<TDataLevel>& rings);

// Rectangle of an entry's points in map units (empty without points).
CGeoRect GetPointsRect(const TDataLevel& entry);
// Union of the rectangles of the run of entries from `position` on that
// share its level; `position` is left at the run's last entry.
CGeoRect GetLevelRunRect(const CReallocArray<TDataLevel>& geometry, size_t& position);

}  // namespace PolskiFormat
