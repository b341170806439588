// The map file writer: one loaded map into one .qx file.
//
// The image is built in memory, sections in this order of offsets:
//   1 map information (at 188), 10 CH graphs (4-aligned), 11 external nodes
//   and 7 address index (each right behind the one before), then 3 polylines,
//   2 POIs, 4 polygons, 5 polyline trees, 6 POI and polygon trees, 8 graph
//   nodes, 9 word index, 12 tags table (each 4-aligned).
// Then the container saves it (mapfile/container.h).
//
// Section 1 (map information):
//   text  map name         text  copyright      text  revision
//   u8    level count n    n x u8 coordinate bits of level i
//   0-1   zero byte to an even offset
//   text  "url" of the configuration (always UTF-8)
#pragma once

#include <cstdint>
#include <string>

#include "core/containers.h"
#include "mapfile/address.h"
#include "mapfile/container.h"
#include "mapfile/maprouting.h"
#include "mapfile/text.h"
#include "mapfile/words.h"
#include "mapfile/writeconfig.h"
#include "polski/map.h"

class CMapWriter {
 public:
  CMapWriter() = default;
  CMapWriter(const CMapWriter&) = delete;
  CMapWriter& operator=(const CMapWriter&) = delete;

  // Releases what the last write kept.
  void Free();

  // The bits of a level, the level clamped to the table (objects may name
  // levels the table lacks).
  uint8_t LevelBits(int32_t level) const;
  // The lower level code of a range starting at `from`: 255 for level 0,
  // else the bits of the level below plus one.
  uint8_t LowerLevelCode(int32_t from) const;

  ZorvaneMap::TMapDirectory directory{};
  ZorvaneMap::CTextEncoder text;
  // The level table of the map being written: the layers configuration's
  // when it is in use (then `layers` is set), else the map header's.
  CReallocArray<uint8_t> levels;
  const CLayersConfig* layers = nullptr;
  const CTagsConfig* tags = nullptr;
  bool onlyLegalSpeed = false;
  const PolskiFormat::CMap* map = nullptr;
  // The routing part of the write, set by the application (not owned);
  // without it the routing sections stay empty.
  ZorvaneMap::CMapRouting* routing = nullptr;

  ZorvaneMap::CAddressIndex address;
  ZorvaneMap::CWordIndex words;
  // Image offset of each polyline's record, 0 for a polyline that no level
  // tree holds (it has no record: routing must not refer to it).
  CReallocArray<uint32_t> polylineRecords;

  // Scratch of the record writers.
  CReallocArray<uint8_t> pointBuffer;
  CMemStream hoursBuffer;
  CReallocArray<uint32_t> labelScratch;
};

// True when the whole file was written; logs its own errors. On false no
// file is left behind.
bool WriteMapFile(CMapWriter& writer, PolskiFormat::CMap& map, const std::string& outputPath,
                  const CMapWriteConfig& config, bool compress, const bool* stop);

// A format-limit text, thrown as a standard string: the writer logs it and
// gives the map up.
std::string FormatLimitText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Section 1 at the image position.
void WriteMapInfoSection(CMapWriter& writer, const PolskiFormat::CMap& map, CMemStream& image,
                         const CMapWriteConfig& config);
