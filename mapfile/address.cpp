#include "mapfile/address.h"

#include <algorithm>
#include <cmath>

#include "core/geo.h"
#include "core/log.h"
#include "mapfile/text.h"
#include "mapfile/writer.h"

using namespace PolskiFormat;

namespace ZorvaneMap {

// ---- References ---------------------------------------------------------------

void TAddressRefs::Count() {
  if (room < 0xFFFF) {
    room++;
  } else {
    capped = true;
  }
}

void TAddressRefs::Add(uint32_t ref, const CWideString& title) {
  if (refs.Size() < room) {
    refs.PushBack(ref);
    return;
  }
  if (!capped) {
    // The build counted every object that can add here; more is a fault of
    // the writer, and writing it would overrun the next record.
    throw FormatLimitText("Internal error: address references beyond their room");
  }
  if (!warned) {
    std::string name;
    for (size_t i = 0; i < title.Length() && i < 64; i++) name += title[i] < 0x80 ? static_cast<char>(title[i]) : '?';
    g_Log.Print("Too many references to address \"%s\": the first 65535 are written", name.c_str());
    warned = true;
  }
}

void THouseNumberEntry::AddPolygonRef(uint32_t recordOffset) {
  if (!refs.refs.Empty() && (refs.refs[0] & 1) == 0) refs.refs.Clear();
  AddRef(recordOffset | 1);
}

// ---- Lookups by folded title ---------------------------------------------------

namespace {

// A record found by its parent, an extra key (the region of a city) and
// its title, case-insensitively: a hash of the folded title, so a lookup
// costs the same however many records there are.
struct TKey {
  const void* parent;
  const void* extra;
  const CWideString* title;
};

uint64_t HashKey(const TKey& key) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the folded units and the parents
  auto mix = [&h](uint64_t v) {
    h ^= v;
    h *= 1099511628211ull;
  };
  mix(reinterpret_cast<uintptr_t>(key.parent));
  mix(reinterpret_cast<uintptr_t>(key.extra));
  const char16_t* t = key.title->GetText();
  for (size_t i = 0; i < key.title->Length() && t[i]; i++) mix(FoldCase(t[i]));
  return h;
}

template <class T>
class CKeyedMap {
 public:
  T* Find(const TKey& key) const {
    if (slots.Empty()) return nullptr;
    uint64_t h = HashKey(key);
    for (size_t i = h & (slots.Size() - 1);; i = (i + 1) & (slots.Size() - 1)) {
      const TSlot& s = slots[i];
      if (!s.record) return nullptr;
      if (s.hash == h && s.parent == key.parent && s.extra == key.extra &&
          CompareNoCase(key.title->GetText(), s.record->title.GetText()) == 0) {
        return s.record;
      }
    }
  }
  void Insert(const TKey& key, T* record) {
    if (2 * (used + 1) > slots.Size()) Grow();
    Place(TSlot{HashKey(key), key.parent, key.extra, record});
    used++;
  }
  void Clear() {
    slots.Free();
    used = 0;
  }

 private:
  struct TSlot {
    uint64_t hash;
    const void* parent;
    const void* extra;
    T* record;  // null: free
  };
  void Place(const TSlot& slot) {
    size_t i = slot.hash & (slots.Size() - 1);
    while (slots[i].record) i = (i + 1) & (slots.Size() - 1);
    slots[i] = slot;
  }
  void Grow() {
    CReallocArray<TSlot> old(std::move(slots));
    slots.ResizeZeroed(old.Empty() ? 64 : 2 * old.Size());
    for (const TSlot& s : old) {
      if (s.record) Place(s);
    }
  }
  CReallocArray<TSlot> slots;
  size_t used = 0;
};

}  // namespace

struct CAddressIndex::TLookups {
  struct TCityEntry {
    bool known;
    TObjectAddress address;
  };
  CReallocArray<TCityEntry> byCityIndex;  // by the objects' city index
  // The street of the last lookup (null: its name decodes to nothing).
  bool lastStreetKnown = false;
  TAddressStreet* lastStreet = nullptr;
  TAddressCity* lastStreetCity = nullptr;
  std::string lastStreetDesc;
  CKeyedMap<TAddressCountry> countries;
  CKeyedMap<TAddressRegion> regions;
  CKeyedMap<TAddressCity> cities;
  CKeyedMap<TAddressStreet> streets;
  CKeyedMap<THouseNumberEntry> numbers;
};

CAddressIndex::CAddressIndex() : lookups(new TLookups) {}
CAddressIndex::~CAddressIndex() = default;

void CAddressIndex::Clear() {
  countries.Free();
  lookups.reset(new TLookups);
  start = 0;
}

namespace {

template <class T>
T* FindOrAdd(CKeyedMap<T>& map, CReallocArray<std::unique_ptr<T>>& list, const void* parent, const void* extra,
             const CWideString& title) {
  TKey key{parent, extra, &title};
  if (T* found = map.Find(key)) return found;
  list.PushBack(std::make_unique<T>());
  T* record = list.Back().get();
  record->title = title;
  map.Insert(key, record);
  return record;
}

}  // namespace

TObjectAddress CAddressIndex::LookupNames(CMapWriter& writer, const std::string& countryName,
                                          const std::string& regionName, const std::string& cityName) {
  TLookups& l = *lookups;
  TObjectAddress result;
  // Each decoded name is used before the next one is decoded. A name is
  // empty when nothing of it decodes (a cut UTF-8 sequence): an untitled
  // record would find nothing and read like unused room.
  const CWideString* name = &writer.text.Decode(countryName);
  if (name->Empty()) return result;
  result.country = FindOrAdd(l.countries, countries, nullptr, nullptr, *name);
  name = &writer.text.Decode(regionName);
  if (name->Empty()) return result;
  TAddressRegion* region = FindOrAdd(l.regions, result.country->regions, result.country, nullptr, *name);
  name = &writer.text.Decode(cityName);
  if (name->Empty()) return result;
  result.city = FindOrAdd(l.cities, result.country->cities, result.country, region, *name);
  result.city->region = region;
  return result;
}

TObjectAddress CAddressIndex::Lookup(CMapWriter& writer, const CMapObject& object) {
  TObjectAddress result;
  if (object.DontFind) return result;
  TLookups& l = *lookups;
  const PolskiFormat::CMap& map = *writer.map;
  if (object.CityIndex == -1) {
    result = LookupNames(writer, object.CountryName, object.RegionName, object.CityName);
  } else if (static_cast<uint32_t>(object.CityIndex) < map.Cities.Size()) {
    // Most objects name their city by index: its records are looked up once.
    if (l.byCityIndex.Empty()) l.byCityIndex.ResizeZeroed(map.Cities.Size());
    TLookups::TCityEntry& entry = l.byCityIndex[static_cast<size_t>(object.CityIndex)];
    if (!entry.known) {
      static const std::string kNone;
      const TSubAddress& city = map.Cities[static_cast<size_t>(object.CityIndex)];
      const std::string *countryName = &kNone, *regionName = &kNone;
      if (city.Parent < map.Regions.Size()) {
        const TSubAddress& region = map.Regions[city.Parent];
        regionName = &region.Name;
        if (region.Parent < map.Countries.Size()) countryName = &map.Countries[region.Parent];
      }
      entry.address = LookupNames(writer, *countryName, *regionName, city.Name);
      entry.known = true;
    }
    result = entry.address;
  }  // the loader checked the indexes; a bad one still gives no address
  if (!result.city) return result;
  // Neighbouring objects often lie on one street.
  if (!l.lastStreetKnown || l.lastStreetCity != result.city || l.lastStreetDesc != object.StreetDesc) {
    const CWideString& name = writer.text.Decode(object.StreetDesc);
    l.lastStreet = name.Empty() ? nullptr : FindOrAdd(l.streets, result.city->streets, result.city, nullptr, name);
    l.lastStreetCity = result.city;
    l.lastStreetDesc = object.StreetDesc;
    l.lastStreetKnown = true;
  }
  result.street = l.lastStreet;
  return result;
}

THouseNumberEntry* CAddressIndex::FindOrAddHouseNumber(CMapWriter& writer, const std::string& number,
                                                       TAddressStreet& street) {
  const CWideString& title = writer.text.Decode(number);
  if (title.Empty()) return nullptr;
  return FindOrAdd(lookups->numbers, street.numbers, &street, nullptr, title);
}

// ---- Build --------------------------------------------------------------------

namespace {

void AccumulateCityCenter(TAddressCity& city, const TPointD* points, size_t n) {
  if (n == 0) return;  // nothing to average
  if (city.objects == 0) city.referenceX = points[0].x;
  double sx = 0, sy = 0;
  for (size_t i = 0; i < n; i++) {
    double x = points[i].x;
    if (x > city.referenceX + 180) x -= 360;
    if (x < city.referenceX - 180) x += 360;
    sx += x;
    sy += points[i].y;
  }
  city.sumX += sx / static_cast<double>(n);
  city.sumY += sy / static_cast<double>(n);
  city.objects++;
}

void CountPoiHouseNumber(THouseNumberEntry& e) {
  if (e.refs.room == 0) {
    e.refs.Count();
    e.firstIsPoi = true;
  }
}

void CountPolygonHouseNumber(THouseNumberEntry& e) {
  if (e.refs.room > 0 && e.firstIsPoi) {
    e.refs.room = 0;
    e.refs.capped = false;
  }
  e.firstIsPoi = false;
  e.refs.Count();
}

bool Stopped(const bool* stop) { return stop && *stop; }

}  // namespace

uint32_t CAddressIndex::Build(CMapWriter& writer, const PolskiFormat::CMap& map, uint32_t sectionStart,
                              const bool* stop) {
  for (size_t i = 0; i < map.POIs.Size(); i++) {
    const CPOI& poi = *map.POI(i);
    TObjectAddress a = Lookup(writer, poi);
    if (!a.city) continue;
    if (poi.Type >= 0x0100 && poi.Type <= 0x11FF && !poi.Points.Empty()) {
      a.city->cityPoiType = poi.Type;
      a.city->cityPoiX = poi.Points[0].x;
      a.city->cityPoiY = poi.Points[0].y;
    }
    if (!poi.Points.Empty()) {
      TPointD p{poi.Points[0].x, poi.Points[0].y};
      AccumulateCityCenter(*a.city, &p, 1);
    }
    if (a.street) {
      if (THouseNumberEntry* e = FindOrAddHouseNumber(writer, poi.HouseNumber, *a.street)) CountPoiHouseNumber(*e);
    }
  }
  if (Stopped(stop)) return 0;
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const CPolyline& line = *map.Polyline(i);
    TObjectAddress a = Lookup(writer, line);
    if (a.city && !line.Geometry.Empty()) {
      AccumulateCityCenter(*a.city, line.Geometry[0].Points.data, line.Geometry[0].Points.Size());
    }
    if (a.street) a.street->refs.Count();
  }
  if (Stopped(stop)) return 0;
  for (size_t i = 0; i < map.Polygons.Size(); i++) {
    const CPolygon& polygon = *map.Polygon(i);
    TObjectAddress a = Lookup(writer, polygon);
    if (a.city && !polygon.Geometry.Empty()) {
      AccumulateCityCenter(*a.city, polygon.Geometry[0].Points.data, polygon.Geometry[0].Points.Size());
    }
    if (a.street) {
      if (THouseNumberEntry* e = FindOrAddHouseNumber(writer, polygon.HouseNumber, *a.street)) {
        CountPolygonHouseNumber(*e);
      }
    }
  }
  if (Stopped(stop)) return 0;
  for (auto& country : countries) {
    if (Stopped(stop)) return 0;
    Sort(*country);
  }
  std::stable_sort(countries.begin(), countries.end(), [](const auto& a, const auto& b) {
    return CompareNoCase(a->title.GetText(), b->title.GetText()) < 0;
  });
  if (Stopped(stop)) return 0;
  return Layout(sectionStart);
}

int CompareHouseNumbers(const CWideString& a, const CWideString& b) {
  // The number is what the parse read, failed or not: 0 without a digit,
  // the leading digits of a number too long for 32 bits.
  int32_t va = 0, vb = 0;
  const char16_t *ea = nullptr, *eb = nullptr;
  ParseWideInt(a.GetText(), va, ea);
  ParseWideInt(b.GetText(), vb, eb);
  if (va != vb) return va < vb ? -1 : 1;
  return CompareNoCase(ea, eb);
}

void CAddressIndex::Sort(TAddressCountry& country) {
  auto byTitle = [](const auto& a, const auto& b) { return CompareNoCase(a->title.GetText(), b->title.GetText()) < 0; };
  std::stable_sort(country.regions.begin(), country.regions.end(), byTitle);
  std::stable_sort(country.cities.begin(), country.cities.end(), [](const auto& a, const auto& b) {
    bool pa = a->cityPoiType >= 0, pb = b->cityPoiType >= 0;
    if (pa != pb) return pa;
    if (pa && a->cityPoiType != b->cityPoiType) return a->cityPoiType < b->cityPoiType;
    if (int c = CompareNoCase(a->title.GetText(), b->title.GetText())) return c < 0;
    return CompareNoCase(a->region->title.GetText(), b->region->title.GetText()) < 0;
  });
  for (auto& city : country.cities) {
    for (auto& street : city->streets) {
      std::stable_sort(street->numbers.begin(), street->numbers.end(),
                       [](const auto& a, const auto& b) { return CompareHouseNumbers(a->title, b->title) < 0; });
    }
    std::stable_sort(city->streets.begin(), city->streets.end(), byTitle);
  }
}

// ---- Layout and writing ---------------------------------------------------------------

namespace {

uint32_t TitleBytes(const CWideString& t) {
  return 2 + 2 * static_cast<uint32_t>(StoredTextLength(t.GetText(), t.Length()));
}
uint32_t Round4(uint64_t x) { return static_cast<uint32_t>((x + 3) & ~uint64_t(3)); }

void CheckedEnd(uint64_t end) {
  if (end > kMaxMapImage) throw FormatLimitText("Too big out file");
}

}  // namespace

uint32_t CAddressIndex::Layout(uint32_t sectionStart) {
  start = sectionStart;
  uint64_t p = static_cast<uint64_t>(sectionStart) + 4;
  for (auto& c : countries) {
    c->offset = static_cast<uint32_t>(p);
    p += Round4(16 + TitleBytes(c->title));
  }
  for (auto& c : countries) {
    for (auto& r : c->regions) {
      r->offset = static_cast<uint32_t>(p);
      p += TitleBytes(r->title);
    }
  }
  p = Round4(p);
  for (auto& c : countries) {
    for (auto& city : c->cities) {
      city->offset = static_cast<uint32_t>(p);
      p += Round4(20 + TitleBytes(city->title));
    }
  }
  for (auto& c : countries) {
    for (auto& city : c->cities) {
      for (auto& s : city->streets) {
        s->offset = static_cast<uint32_t>(p);
        p += Round4(8 + TitleBytes(s->title) + 2) + 4ull * s->refs.room;
      }
    }
  }
  for (auto& c : countries) {
    for (auto& city : c->cities) {
      for (auto& s : city->streets) {
        for (auto& h : s->numbers) {
          h->offset = static_cast<uint32_t>(p);
          p += Round4(TitleBytes(h->title) + 2) + 4ull * h->refs.room;
        }
      }
    }
    CheckedEnd(p);
  }
  CheckedEnd(p);
  return static_cast<uint32_t>(p);
}

namespace {

void WriteTitle(CWriteStream& s, const CWideString& t) { WriteTextUnits(s, t.GetText(), t.Length()); }

// The references and the zeros of the room they left.
void WriteRefs(CWriteStream& s, const TAddressRefs& r) {
  s.WriteU16(static_cast<uint16_t>(r.refs.Size()));
  AlignTo4(s);
  WriteU32Array(s, r.refs.data, r.refs.Size());
  WriteZeros(s, 4ull * (r.room - r.refs.Size()));
}

TGeoPoint CityCenter(const TAddressCity& city) {
  if (city.cityPoiType >= 0) return DegreesToGeoPoint(city.cityPoiX, city.cityPoiY);
  if (city.objects == 0) return {0x7FFFFFFF, 0x7FFFFFFF};
  double x = city.sumX / city.objects, y = city.sumY / city.objects;
  while (x >= 180) x -= 360;
  while (x < -180) x += 360;
  return DegreesToGeoPoint(x, y);
}

}  // namespace

void CAddressIndex::Write(CWriteStream& s) const {
  s.Seek(start);
  s.WriteU32(static_cast<uint32_t>(countries.Size()));
  for (const auto& c : countries) {
    s.Seek(c->offset);
    s.WriteU32(c->cities.Empty() ? 0 : c->cities[0]->offset);
    s.WriteU32(static_cast<uint32_t>(c->cities.Size()));
    s.WriteU32(c->regions.Empty() ? 0 : c->regions[0]->offset);
    s.WriteU32(static_cast<uint32_t>(c->regions.Size()));
    WriteTitle(s, c->title);
    AlignTo4(s);
  }
  for (const auto& c : countries) {
    for (const auto& r : c->regions) {
      s.Seek(r->offset);
      WriteTitle(s, r->title);
    }
  }
  AlignTo4(s);
  for (const auto& c : countries) {
    for (const auto& city : c->cities) {
      s.Seek(city->offset);
      s.WriteU32(city->streets.Empty() ? 0 : city->streets[0]->offset);
      uint32_t type = city->cityPoiType >= 0 ? (static_cast<uint32_t>(city->cityPoiType) >> 8 & 0xFF) : 0;
      s.WriteU32(type << 24 | static_cast<uint32_t>(city->streets.Size()));
      s.WriteU32(city->region->offset);
      TGeoPoint centre = CityCenter(*city);
      s.WriteU32(static_cast<uint32_t>(centre.x));
      s.WriteU32(static_cast<uint32_t>(centre.y));
      WriteTitle(s, city->title);
      AlignTo4(s);
    }
  }
  for (const auto& c : countries) {
    for (const auto& city : c->cities) {
      for (const auto& st : city->streets) {
        s.Seek(st->offset);
        s.WriteU32(st->numbers.Empty() ? 0 : st->numbers[0]->offset);
        s.WriteU32(static_cast<uint32_t>(st->numbers.Size()));
        WriteTitle(s, st->title);
        WriteRefs(s, st->refs);
        for (const auto& h : st->numbers) {
          s.Seek(h->offset);
          WriteTitle(s, h->title);
          WriteRefs(s, h->refs);
        }
      }
    }
  }
}

int CAddressIndex::CitiesWithAddressInfo() const {
  int cities = 0;
  for (const auto& c : countries) {
    for (const auto& city : c->cities) {
      size_t numbers = 0;
      for (const auto& st : city->streets) {
        numbers += st->numbers.Size();
        if (numbers >= 5) break;
      }
      if (numbers >= 5) cities++;
    }
  }
  return cities;
}

}  // namespace ZorvaneMap
