// The .qx map file container: header, section directory, the image stored
// plain or in snappy blocks, and the MD5 digest that is the map's id.
//
// File layout (little-endian):
//   0    8   magic "qzorvane"
//   8   16   MD5 of the file from offset 24 to its end (the map id)
//   24   2   u16 format version 66
//   26   2   u16 oldest reader version 65
//   28   4   u32 section count 12
//   32   4   u32 block size: 1024 compressed, 0 plain
//   36 144   12 x {u32 image offset, u32 size, u32 section id}
//   180  6   zero
//   186  2   u16 166 (build number of the converter)
//   188      the image from offset 188 on:
//            plain: the image bytes to its end;
//            compressed: raw image bytes up to A (end of section 1 rounded up
//            to 1024, at most the image end), then each 1024-byte block of the
//            rest compressed alone (raw snappy), 0-3 zero bytes to a multiple
//            of 4, and a u32 file offset per block.
// Image offsets equal file offsets up to A. Sections lie in the image in the
// order 1, 10, 11, 7, 3, 2, 4, 5, 6, 8, 9, 12.
#pragma once

#include <cstdint>

#include "core/streams.h"

namespace ZorvaneMap {

enum TMapSectionId : uint32_t {
  SectionMapInfo = 1,
  SectionPois = 2,
  SectionPolylines = 3,
  SectionPolygons = 4,
  SectionPolylineTrees = 5,
  SectionItemTrees = 6,
  SectionAddressIndex = 7,
  SectionGraphNodes = 8,
  SectionWordIndex = 9,
  SectionChGraphs = 10,
  SectionExternalNodes = 11,
  SectionTags = 12,
};

constexpr uint32_t kMapSectionCount = 12;
constexpr uint32_t kMapImageStart = 188;  // header + directory + 8 bytes
constexpr uint32_t kMapBlockSize = 1024;
constexpr uint16_t kMapFormatVersion = 66;
constexpr uint16_t kMapOldestReader = 65;
constexpr uint16_t kConverterBuild = 166;
constexpr uint64_t kMaxMapImage = 0x7FFFFFFF;

struct TMapSectionEntry {
  uint32_t offset;
  uint32_t size;
  uint32_t id;
};

using TMapDirectory = TMapSectionEntry[kMapSectionCount];

struct TMapFileHeader {
  static constexpr uint32_t kSize = 36;
  uint8_t digest[16];
  uint32_t blockSize;

  // The 36 bytes as stored.
  void Encode(uint8_t out[kSize]) const;
};

// Writes the whole file: the directory and the 8 bytes behind it, the image
// from offset 188 (plain or compressed), and the header last after a seek to
// 0. The image must end where the directory's last section ends. Stream
// errors pass through as TStreamException; the stream stays open.
void SaveCompressedMapFile(const CMemStream& image, const TMapDirectory& directory, CWriteStream& file,
                           bool compress);

}  // namespace ZorvaneMap
