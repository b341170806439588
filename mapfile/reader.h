// Reading a finished map file back (for the atlas build): the map's image
// is served through the shared page cache as if it were stored plain.
//
// What the loader takes from the file (see mapfile/container.h for the
// layout): the header's version and map id, the directory's section
// offsets, section 1's level table, and the roots of the per-level trees of
// sections 5 and 6 with the union of their root rectangles.
// Every size and offset read from the file is checked before it is used: a
// damaged file fails its load or its read, never reads out of bounds.
#pragma once

#include <cstdint>
#include <string>

#include "core/geo.h"
#include "core/streams.h"
#include "mapfile/container.h"
#include "mapfile/pagecache.h"

namespace ZorvaneMap {

// The image of a map file as a plain read stream: the raw area is read from
// the file at the same offsets, the rest by decompressing the 1024-byte
// snappy blocks that hold it.
class CMapFileStream : public CReadStream {
 public:
  CMapFileStream() = default;
  ~CMapFileStream() override;
  CMapFileStream(const CMapFileStream&) = delete;
  CMapFileStream& operator=(const CMapFileStream&) = delete;

  // Takes the file (deleting the one held, null closes it); the image is
  // read plain from position 0 until SetupBlocks says otherwise.
  void SetFile(CFileReadStream* file);
  // A: end of the raw area, E: image end, B: block size (0 = plain). False
  // when the file cannot hold that layout.
  bool SetupBlocks(uint32_t rawArea, uint32_t imageEnd, uint32_t blockSize);

  const uint8_t* GetData(uint64_t n) override;
  void* Read(void* destination, uint64_t n) override;
  uint64_t GetRemaining() override;
  uint64_t GetSize() override;
  uint64_t GetMaxData() override { return 0; }
  uint64_t GetAvailable() override { return 0; }
  uint64_t GetPos() override { return position; }
  void Seek(uint64_t p) override { position = p; }

  // Where the compressed bytes of the blocks holding image bytes [from, to) lie.
  struct TBlockSpans {
    uint32_t imageStart = 0;  // image offset of the first block
    uint64_t fileOffset = 0;  // file offset of the first block
    CReallocArray<uint32_t> lengths;  // compressed length of every block
  };
  void GetBlockSpans(uint32_t from, uint32_t to, TBlockSpans& spans);
  // Image bytes [from, to) of the block area into the destination.
  void ReadBlocks(uint32_t from, uint32_t to, uint8_t* destination);

 private:
  void DecodeBlock(const uint8_t* packed, size_t length, bool last, uint8_t* out, size_t expected);

  uint64_t position = 0;
  uint32_t rawEnd = 0;
  uint32_t imageEnd = 0;
  uint32_t blockSize = 0;
  uint64_t tablePos = 0;
  uint32_t blockCount = 0;
  CFileReadStream* file = nullptr;
  // Scratch of ReadBlocks.
  TBlockSpans spans;
  CReallocArray<uint8_t> packed;
  CReallocArray<uint8_t> block;
};

// One opened map file. It is itself the cached read stream of the map's
// image: seek to a section's offset and read.
class CMapFile : public CCacheReadStream {
 public:
  enum TLoadResult {
    LoadOk = 0,
    LoadStreamError = 1,  // cannot be opened, or a read of it failed
    LoadBadFormat = 2,    // not a readable map file, or any other error
    LoadBadVersion = 3,   // a format version this reader does not read
  };
  static constexpr uint32_t kMaxLevels = 11;
  static constexpr uint32_t kTreePlaces = 20;  // 0-9 section 6, 10-19 section 5

  CMapFile();
  // Drops the map's pages from the cache.
  ~CMapFile() override;

  // Without a cache there is nothing to read through: LoadBadFormat.
  TLoadResult Open(const char* path, CStreamCache* cache);
  // Takes the file stream (also on failure). Usable again on the same map:
  // a reload forgets the old pages first. Holds the cache's lock throughout.
  TLoadResult Load(CFileReadStream* file, const std::string& name, CStreamCache* cache);

  // Skips one u16-counted UTF-16 text at the position.
  void SkipString();

  uint32_t GetVersion() const { return version; }
  const uint8_t* GetMapId() const { return mapId; }
  // An absent section (size 0) has no offset to read at: ask first.
  bool HasSection(uint32_t id) const { return GetSectionSize(id) != 0; }
  // Image offset of a section (id 1-12), 0 when absent.
  uint32_t GetSectionOffset(uint32_t id) const { return id >= 1 && id <= kMapSectionCount ? sectionOffsets[id - 1] : 0; }
  uint32_t GetSectionSize(uint32_t id) const { return id >= 1 && id <= kMapSectionCount ? sectionSizes[id - 1] : 0; }
  uint32_t GetLevelCount() const { return levelCount; }
  const uint8_t* GetLevels() const { return levels; }
  // Image offset of a level's saved tree, 0 for an empty tree.
  uint32_t GetItemTreeRoot(uint32_t level) const { return level < 10 ? treeRoots[level] : 0; }
  uint32_t GetPolylineTreeRoot(uint32_t level) const { return level < 10 ? treeRoots[10 + level] : 0; }
  const CGeoRect& GetBounds() const { return bounds; }
  const std::string& GetFileName() const { return fileName; }

 private:
  void LoadImage();
  void ReadLevelTrees(TMapSectionId id, uint32_t firstPlace);

  uint32_t version = 0;
  uint8_t mapId[16] = {};
  uint32_t sectionOffsets[kMapSectionCount] = {};
  uint32_t sectionSizes[kMapSectionCount] = {};
  uint8_t levelCount = 0;
  uint8_t levels[kMaxLevels] = {};
  uint32_t treeRoots[kTreePlaces] = {};
  CGeoRect bounds;
  std::string fileName;
  CMapFileStream* stream;
};

}  // namespace ZorvaneMap
