// The address index (section 7): countries, their regions and cities, the
// streets of each city and the house numbers of each street, each leading
// to the records of the objects that carry them. Built and laid out before
// any record is written, so records refer to final offsets; the records
// then fill the reference lists; written last into its reserved room.
//
// Layout (u32 unless said; "title" is a u16-counted UTF-16 text):
//   u32 country count
//   countries:  u32 first city, u32 city count, u32 first region title,
//               u32 region count, title, 0-3 pad
//   region titles of every country, packed; 0-3 pad
//   cities:     u32 first street, u32 (city POI type bits 8-15) << 24 |
//               street count, u32 region title, int32 x, y of the centre
//               (0x7FFFFFFF when unknown), title, 0-3 pad
//   streets:    u32 first house number, u32 house number count, title,
//               u16 reference count, 0-3 pad, the references
//   house numbers: title, u16 reference count, 0-3 pad, the references
// Children of a parent are consecutive records (first offset and count; 0
// when none). References are record offsets, polygons with bit 0 set. Room
// counted for references that no written record filled is zero.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/containers.h"
#include "core/streams.h"
#include "core/widestring.h"
#include "polski/map.h"

class CMapWriter;

namespace ZorvaneMap {

// References of a street or house number: room counted at build time,
// filled while records are written.
struct TAddressRefs {
  uint32_t room = 0;    // counted, at most 65535
  bool capped = false;  // more were counted than a u16 holds
  bool warned = false;
  CReallocArray<uint32_t> refs;
  void Count();
  // Appends within the room; beyond a capped room the reference is dropped
  // with a warning, beyond any other room the map is given up.
  void Add(uint32_t ref, const CWideString& title);
};

struct THouseNumberEntry {
  uint32_t offset = 0;
  CWideString title;
  TAddressRefs refs;
  bool firstIsPoi = false;  // build-time state of the counted list
  void AddRef(uint32_t ref) { refs.Add(ref, title); }
  // A polygon replaces a POI's reference, and adds its own (bit 0 set).
  void AddPolygonRef(uint32_t recordOffset);
};

struct TAddressRegion {
  uint32_t offset = 0;
  CWideString title;
};

struct TAddressStreet {
  uint32_t offset = 0;
  CWideString title;
  TAddressRefs refs;
  CReallocArray<std::unique_ptr<THouseNumberEntry>> numbers;
  void AddRef(uint32_t ref) { refs.Add(ref, title); }
};

struct TAddressCity {
  uint32_t offset = 0;
  CWideString title;
  TAddressRegion* region = nullptr;
  int32_t cityPoiType = -1;  // -1: no city POI
  double cityPoiX = 0, cityPoiY = 0;
  double sumX = 0, sumY = 0, referenceX = 0;
  uint32_t objects = 0;
  CReallocArray<std::unique_ptr<TAddressStreet>> streets;
};

struct TAddressCountry {
  uint32_t offset = 0;
  CWideString title;
  CReallocArray<std::unique_ptr<TAddressRegion>> regions;
  CReallocArray<std::unique_ptr<TAddressCity>> cities;
};

struct TObjectAddress {
  TAddressCountry* country = nullptr;
  TAddressCity* city = nullptr;
  TAddressStreet* street = nullptr;
};

class CAddressIndex {
 public:
  CAddressIndex();
  ~CAddressIndex();
  CAddressIndex(const CAddressIndex&) = delete;
  CAddressIndex& operator=(const CAddressIndex&) = delete;

  void Clear();
  // The object's country, city and street, created when missing; none for
  // an object with DontFind.
  TObjectAddress Lookup(CMapWriter& writer, const PolskiFormat::CMapObject& object);
  // The street's entry of a house number, created when missing; null for an
  // empty text.
  THouseNumberEntry* FindOrAddHouseNumber(CMapWriter& writer, const std::string& number, TAddressStreet& street);

  // Collects, sorts and lays the index out from `start`; returns its end, 0
  // when stopped.
  uint32_t Build(CMapWriter& writer, const PolskiFormat::CMap& map, uint32_t start, const bool* stop);
  // Writes the section into its room.
  void Write(CWriteStream& stream) const;
  // Cities whose streets hold 5 house numbers or more.
  int CitiesWithAddressInfo() const;

  CReallocArray<std::unique_ptr<TAddressCountry>> countries;
  uint32_t start = 0;

 private:
  struct TLookups;
  std::unique_ptr<TLookups> lookups;
  // The country and city (the street left out) of the names.
  TObjectAddress LookupNames(CMapWriter& writer, const std::string& countryName, const std::string& regionName,
                             const std::string& cityName);
  void Sort(TAddressCountry& country);
  uint32_t Layout(uint32_t start);
};

// Three-way order of house numbers: the number they start with, then the
// rest of the title case-insensitively.
int CompareHouseNumbers(const CWideString& a, const CWideString& b);

}  // namespace ZorvaneMap
