#include "polski/objects.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "polski/roadattributes.h"

namespace PolskiFormat {

// ---- Value parsers of the objects -----------------------------------------------

bool ParseCommonKeys(const CSection& section, CMapObject& object) {
  struct TTextKey {
    const char* key;
    std::string CMapObject::*member;
    bool labelCodes;
  };
  static const TTextKey kTextKeys[] = {
      {"Label", &CMapObject::Label, true},         {"StreetDesc", &CMapObject::StreetDesc, true},
      {"CityName", &CMapObject::CityName, true},   {"RegionName", &CMapObject::RegionName, true},
      {"CountryName", &CMapObject::CountryName, true}, {"Phone", &CMapObject::Phone, false},
      {"Fax", &CMapObject::Fax, false},            {"Email", &CMapObject::Email, false},
      {"Webpage", &CMapObject::Webpage, false},
  };
  int32_t type = 0, subType = 0;
  bool marine = false;
  for (const TPair& pair : section.Pairs) {
    std::string_view key = pair.key;
    const char* value = pair.value;
    if (key.size() < 3) continue;
    const TTextKey* textKey = nullptr;
    for (const TTextKey& k : kTextKeys) {
      if (TextEquals(key, k.key)) {
        textKey = &k;
        break;
      }
    }
    if (textKey) {
      if (textKey->labelCodes) {
        ConvertLabelCodes(value, &(object.*textKey->member));
      } else {
        object.*textKey->member = value;
      }
    } else if (TextEquals(key, "Type")) {
      type = 0;
      ScanInt32Prefixed(value, &type);
    } else if (TextEquals(key, "SubType")) {
      subType = 0;
      ScanInt32Prefixed(value, &subType);
    } else if (TextEquals(key, "Marine")) {
      marine = ParseFlag(value);
    } else if (TextEquals(key, "CityIdx")) {
      int32_t index;
      if (!ParseWholeNumber(value, &index) || index < 1) return false;
      object.CityIndex = index - 1;
    } else if (TextEquals(key, "EndLevel")) {
      object.EndLevel = 0;
      ScanInt32(value, &object.EndLevel);
    } else if (TextEquals(key, "Text")) {
      if (!object.Text.empty()) object.Text += '\n';
      object.Text += value;
    } else if (TextEquals(key, "DontFind")) {
      object.DontFind = std::strcmp(value, "Y") == 0;
    }
  }
  if (subType != 0 || marine) {
    uint32_t composed = static_cast<uint32_t>(type) << 8 | static_cast<uint32_t>(subType);
    if (marine) composed += 0x10000;
    object.Type = static_cast<int32_t>(composed);
  } else {
    object.Type = type;
  }
  return true;
}

bool IsCommonKey(std::string_view key) {
  static constexpr std::string_view kKeys[] = {"Type",     "EndLevel", "Label", "CountryName", "RegionName",
                                               "City",     "CityIdx",  "StreetDesc", "Phone", "Fax",
                                               "Email",    "WebPage",  "Text",  "DontFind"};
  for (std::string_view k : kKeys) {
    if (TextEquals(key, k)) return true;
  }
  return false;
}

namespace {

bool IsKeyOf(std::string_view key, std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    if (TextEquals(key, name)) return true;
  }
  return false;
}

// "(lat,lon" as scanf "(%lg,%lg" reads it: blanks only before the numbers.
// The pair must be finite and within +/-90 latitude and +/-180 longitude.
bool ScanPair(const char*& cursor, TPointD* point) {
  const char* p = cursor;
  double lat, lon;
  if (*p != '(') return false;
  p++;
  if (!ScanDouble(p, &lat) || *p != ',') return false;
  p++;
  if (!ScanDouble(p, &lon)) return false;
  if (!(std::fabs(lat) <= 90) || !(std::fabs(lon) <= 180)) return false;  // nan fails too
  *point = {lon, lat};
  cursor = p;
  return true;
}

}  // namespace

void ParsePointList(const char* value, CReallocArray<TPointD>& points) {
  size_t pairs = 0;
  for (const char* p = value; (p = std::strchr(p, '(')) != nullptr; p++) pairs++;
  points.Reserve(points.Size() + pairs);
  const char* p = value;
  TPointD point;
  while (ScanPair(p, &point) && *p == ')') {
    points.PushBack(point);
    p++;
    if (*p == ',') p++;
  }
}

bool ParseEntryPoint(const char* value, TEntryPoint* entry) {
  const char* p = value;
  if (!ScanPair(p, &entry->Position) || *p != ')') return false;
  p++;
  if (*p == 0) {
    entry->Text.clear();
    return true;
  }
  if (*p != ',') return false;
  entry->Text = p + 1;
  return true;
}

int32_t GeometryKeyLevel(std::string_view key) {
  size_t prefix = TextStarts(key, "Data") ? 4 : (TextStarts(key, "Origin") ? 6 : 0);
  if (prefix == 0) return -1;
  int32_t level = ParseKeyNumber(key.substr(prefix), -1);
  return level > 255 ? -1 : level;
}

// ---- Object sections ---------------------------------------------------------------

namespace {

// Keys that POIs and polygons share: opening hours and entry points.
bool ParsePlaceKey(std::string_view key, const char* value, CReallocArray<TOpeningRule>& hours,
                   CReallocArray<TEntryPoint>& entries) {
  if (TextEquals(key, "OpeningHours")) {
    ParseOpeningHours(value, hours);
  } else if (TextEquals(key, "EntryPoint")) {
    TEntryPoint entry;
    if (ParseEntryPoint(value, &entry)) entries.PushBack(std::move(entry));
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool CPOISection::Parse() {
  CPOI* poi = new CPOI;
  Record = poi;
  if (!ParseCommonKeys(*this, *poi)) return false;
  for (const TPair& pair : Pairs) {
    std::string_view key = pair.key;
    int32_t level = GeometryKeyLevel(key);
    if (level >= 0) {
      // A value without a readable pair still places a point, at zero.
      TPointD point = {0, 0};
      const char* p = pair.value;
      ScanPair(p, &point);
      poi->Points.PushBack({level, point.x, point.y});
    } else if (ParsePlaceKey(key, pair.value, poi->OpeningHours, poi->EntryPoints)) {
    } else if (TextEquals(key, "OvernightParking")) {
      poi->OvernightParking = ParseFlag(pair.value);
    } else if (TextEquals(key, "Highway")) {
      poi->Highway = pair.value;
    } else if (TextEquals(key, "HouseNumber")) {
      poi->HouseNumber = pair.value;
    }
  }
  return !poi->Points.Empty();
}

bool CPOISection::IsOwnKey(std::string_view key) const {
  return IsCommonKey(key) || IsKeyOf(key, {"HouseNumber", "Highway", "OvernightParking", "EntryPoint", "OpeningHours"});
}

bool CPolygonSection::Parse() {
  CPolygon* polygon = new CPolygon;
  Record = polygon;
  if (!ParseCommonKeys(*this, *polygon)) return false;
  for (const TPair& pair : Pairs) {
    std::string_view key = pair.key;
    int32_t level = GeometryKeyLevel(key);
    if (level >= 0) {
      TDataLevel* ring = polygon->Geometry.EmplaceBack();
      ring->Level = static_cast<uint8_t>(level);
      ParsePointList(pair.value, ring->Points);
    } else if (ParsePlaceKey(key, pair.value, polygon->OpeningHours, polygon->EntryPoints)) {
    } else if (TextEquals(key, "Background")) {
      polygon->Background = ParseFlag(pair.value);
    } else if (TextEquals(key, "HouseNumber")) {
      polygon->HouseNumber = pair.value;
    }
  }
  OrderRings(polygon->Geometry);
  return !polygon->Geometry.Empty();
}

bool CPolygonSection::IsOwnKey(std::string_view key) const {
  return IsCommonKey(key) || IsKeyOf(key, {"HouseNumber", "Background", "EntryPoint", "OpeningHours"});
}

CPolylineSection::~CPolylineSection() {
  if (Record) delete Polyline()->Routing;
}

bool CPolylineSection::Parse() {
  CPolyline* polyline = new CPolyline;
  Record = polyline;
  if (!ParseCommonKeys(*this, *polyline)) return false;
  for (size_t i = 0; i < Pairs.Size(); i++) {
    int32_t level = GeometryKeyLevel(Pairs[i].key);
    if (level >= 0) {
      TDataLevel* entry = polyline->Geometry.EmplaceBack();
      entry->Level = static_cast<uint8_t>(level);
      ParsePointList(Pairs[i].value, entry->Points);
    } else if (ParseRoutingKey(*this, i) == RoutingKeyBad) {
      return false;
    }
  }
  FinishRoadAttributes(*polyline);
  return !polyline->Geometry.Empty();
}

bool CPolylineSection::IsOwnKey(std::string_view key) const {
  return IsCommonKey(key) || TextStarts(key, "Nod") ||
         IsKeyOf(key, {"RouteParam", "RouteParamExt", "RoadId", "Speed"});
}

// ---- Rectangles ------------------------------------------------------------------------

CGeoRect GetPointsRect(const TDataLevel& entry) {
  CGeoRect rect;
  for (const TPointD& p : entry.Points) rect.ExtendByPoint(DegreesToGeoPoint(p.x, p.y));
  return rect;
}

CGeoRect GetLevelRunRect(const CReallocArray<TDataLevel>& geometry, size_t& position) {
  CGeoRect rect = GetPointsRect(geometry[position]);
  while (position + 1 < geometry.Size() && geometry[position + 1].Level == geometry[position].Level) {
    rect.Extend(GetPointsRect(geometry[++position]));
  }
  return rect;
}

}  // namespace PolskiFormat
