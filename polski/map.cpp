#include "polski/map.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "core/log.h"
#include "core/streams.h"

namespace PolskiFormat {

CMap::~CMap() {
  for (TRoadAttributes* road : RoadAttributes) delete road;
  for (TRestriction* restriction : Restrictions) delete restriction;
  for (TLanesRecord* lanes : Lanes) delete lanes;
  for (CMapObject* object : POIs) delete object;
  for (CMapObject* object : Polygons) delete object;
  for (CMapObject* object : Polylines) delete object;
  delete Header;
}

int32_t CMap::ClampLevel(int32_t level) const {
  size_t n = LevelCount();
  if (n == 0) return -1;
  if (level < 0) return 0;
  return static_cast<size_t>(level) >= n ? static_cast<int32_t>(n - 1) : level;
}

namespace {

std::unique_ptr<CSection> CreateSection(int type) {
  std::unique_ptr<CSection> section;
  switch (type) {
    case SectionHeader: section.reset(new CHeaderSection); break;
    case SectionPolyline:
    case SectionRgn40: section.reset(new CPolylineSection(type)); break;
    case SectionPOI:
    case SectionRgn10:
    case SectionRgn20: section.reset(new CPOISection(type)); break;
    case SectionPolygon:
    case SectionRgn80: section.reset(new CPolygonSection(type)); break;
    case SectionRestrict: section.reset(new CRestrictSection); break;
    case SectionCountries: section.reset(new CCountriesSection); break;
    case SectionRegions: section.reset(new CRegionsSection); break;
    case SectionCities: section.reset(new CCitiesSection); break;
    case SectionLanes: section.reset(new CLanesSection); break;
    default: return nullptr;
  }
  section->Pairs.Reserve(16);  // most blocks fit: one allocation per block
  return section;
}

template <class T>
void Append(CReallocArray<T*>& list, T* item) {
  list.PushBack(item);  // room was reserved: cannot throw
}

bool Stopped(const bool* stop) { return stop && *stop; }

// The table of a "CodePage" value that is a number of a known single-byte
// code page, else null.
const char16_t* CodePageTable(const std::string& value) {
  if (value.empty() || value.size() > 9) return nullptr;
  uint32_t number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return nullptr;
    number = number * 10 + uint32_t(c - '0');
  }
  return SingleByteCodePage(number);
}

}  // namespace

// Moves what a parsed section built into the map. Room is reserved before
// ownership moves, so an allocation failure loses nothing.
void CMap::TakeSection(CSection& section) {
  switch (section.Type) {
    case SectionPolyline:
    case SectionRgn40: {
      auto& polylineSection = static_cast<CPolylineSection&>(section);
      Polylines.Reserve(Polylines.Size() + 1);
      if (polylineSection.Polyline()->Routing) RoadAttributes.Reserve(RoadAttributes.Size() + 1);
      auto* polyline = static_cast<CPolyline*>(polylineSection.TakeObject());
      Append(Polylines, static_cast<CMapObject*>(polyline));
      if (polyline->Routing) Append(RoadAttributes, polyline->Routing);
      break;
    }
    case SectionPOI:
    case SectionRgn10:
    case SectionRgn20:
      POIs.Reserve(POIs.Size() + 1);
      Append(POIs, static_cast<CMapObjectSection&>(section).TakeObject());
      break;
    case SectionPolygon:
    case SectionRgn80:
      Polygons.Reserve(Polygons.Size() + 1);
      Append(Polygons, static_cast<CMapObjectSection&>(section).TakeObject());
      break;
    case SectionRestrict:
      Restrictions.Reserve(Restrictions.Size() + 1);
      Append(Restrictions, static_cast<CRestrictSection&>(section).TakeRecord());
      break;
    case SectionLanes:
      Lanes.Reserve(Lanes.Size() + 1);
      Append(Lanes, static_cast<CLanesSection&>(section).TakeRecord());
      break;
    case SectionCountries: std::swap(Countries, static_cast<CCountriesSection&>(section).List); break;
    case SectionRegions: std::swap(Regions, static_cast<CRegionsSection&>(section).List); break;
    case SectionCities: std::swap(Cities, static_cast<CCitiesSection&>(section).List); break;
    default: break;
  }
}

const char* CMap::LoadFile(const char* path, const bool* stop) {
  try {
    // The whole file is held: lines, and the pairs that point into them,
    // stay valid until the end of the load.
    CFileReadStream stream(CBufReadStream::kWholeStream);
    if (!stream.Open(path)) return "Error loading file.";
    std::unique_ptr<CSection> open;
    bool firstLine = true;
    while (!Stopped(stop)) {
      char* line = stream.ReadLine();
      if (!line) break;
      if (firstLine) {
        firstLine = false;
        if (static_cast<unsigned char>(line[0]) == 0xEF && static_cast<unsigned char>(line[1]) == 0xBB &&
            static_cast<unsigned char>(line[2]) == 0xBF) {
          line += 3;  // UTF-8 byte-order mark
        }
      }
      int type = SectionUnknown;
      std::string_view key;
      const char* value = nullptr;
      switch (ClassifyLine(line, &type, &key, &value)) {
        case LineSectionStart:
          open.reset();
          open = CreateSection(type);
          break;
        case LineKeyValue:
          if (open) AppendPair(*open, key, value);
          break;
        case LineSectionEnd:
          if (open && open->Parse()) {
            if (open->Type == SectionHeader) {
              open->Pairs.Free();  // they point into the file buffer
              delete Header;
              Header = static_cast<CHeaderSection*>(open.release());
            } else {
              TakeSection(*open);
            }
          }
          open.reset();
          break;
        default: break;
      }
    }
    open.reset();
    return FinishLoad(path, stop);
  } catch (const std::bad_alloc&) {
    return "Out of memory";
  } catch (const TStreamException&) {
    return "Error loading file.";
  }
}

const char* CMap::FinishLoad(const char* path, const bool* stop) {
  if (!Header) return "No header";
  if (!CheckAddressIndexes(*this)) return "Bad address info";
  if (Stopped(stop)) return "Interrupted by user";
  std::stable_sort(RoadAttributes.begin(), RoadAttributes.end(),
                   [](const TRoadAttributes* a, const TRoadAttributes* b) { return a->RoadId < b->RoadId; });
  FileName = path;
  const std::string& codePage = Header->CodePage;
  Utf8Labels = codePage.empty() || TextEquals(codePage, "utf8") || TextEquals(codePage, "utf-8") || codePage == "65001";
  LabelTable = g_Cp1251Table;
  if (!Utf8Labels) {
    if (const char16_t* table = CodePageTable(codePage)) {
      LabelTable = table;
    } else {
      g_Log.Print("Unknown code page \"%s\": texts are read as Windows-1251", codePage.c_str());
    }
  }
  return nullptr;
}

}  // namespace PolskiFormat
