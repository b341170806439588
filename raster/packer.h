// Packs a directory tree of z/x/y raster tiles (JPEG or PNG) into .qxr
// raster files: the tile bytes, a level table and one 2-d tree per level
// that finds a tile by its x and y, under an MD5 digest.
#pragma once

#include <cstdint>
#include <string>

#include "core/containers.h"

// Tiles of up to this many bytes are stored as they are.
constexpr uint32_t kMaxStoredTileSize = 120000;
// A file must stay within what its 32-bit offsets and 31-bit subtree
// lengths can address; larger tile sets are split into volumes.
constexpr uint64_t kMaxVolumeSize = 0x7fffffff;

// One tile found by the scan.
struct TTileRecord {
  uint32_t y;  // the number in the file name
  uint32_t x;  // the number of its directory
  uint8_t level;
  uint8_t jpeg;           // 1 for ".jpg", 0 for ".png"
  uint32_t directory;     // index into TRasterPackContext::directories
  uint32_t fileSize;      // at the scan, capped at 2^32 - 1
  size_t name;            // offset of the file name in TRasterPackContext::names
};

// The packer's work buffers and the scan's results. The caller creates it
// empty for each tiles directory and destroys it afterwards.
struct TRasterPackContext {
  CReallocArray<uint8_t> fileBuffer;     // the tile file last read
  CReallocArray<uint16_t> pixelBuffer;   // RGB565 image, 65536 pixels
  CReallocArray<uint8_t> decodedImage;   // RGBA pixels from the PNG decoder
  std::string pathBuffer;                // the tile file name
  CReallocArray<std::string> directories;  // the x directories, each ending in '/'
  CReallocArray<char> names;             // the tile file names, 0-terminated
  CReallocArray<TTileRecord> tiles;
  uint64_t volumeLimit = kMaxVolumeSize;  // lowered by tests
};

// Number of tiles written over all volumes, or 0 with the reason in *error.
uint32_t PackRasterTiles(TRasterPackContext& context, const std::string& tilesDirectory,
                         const std::string& outputDirectory, std::string* error);
