#include "raster/packer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "core/crash.h"
#include "core/dirutil.h"
#include "core/md5.h"
#include "core/platform/platform.h"
#include "core/streams.h"
#include "raster/pngdecoder.h"

namespace {

// ---- The .qxr file ----------------------------------------------------------
// All integers little-endian.
//   offset  size  field
//   0       8     "qxr" and five zero bytes
//   8       16    MD5 of bytes 24 to the end, taken while bytes 24-55 are zero
//   24      4     u32 0x00030003
//   28      4     u32 2: number of section descriptors
//   32      12    section 1: u32 offset 56, u32 size of the tile data, u32 id 1
//   44      12    section 2: u32 offset E of the level table, u32 480 + tree bytes, u32 id 2
//   56      ...   section 1: the stored bytes of every tile, in tree order level by level
//   E       480   the level table: 24 entries of 20 bytes, levels 0 to 23
//   E+480   ...   the tile trees of the levels, one after another
constexpr uint32_t kHeaderSize = 56;
constexpr uint32_t kDigestStart = 24;
constexpr unsigned kLevels = 24;
constexpr uint32_t kLevelEntrySize = 20;
constexpr uint32_t kLevelTableSize = kLevels * kLevelEntrySize;
constexpr uint32_t kTreeNodeSize = 16;
constexpr uint32_t kRgb565Size = 256 * 256 * 2;
// A 256 x 256 PNG needs far less; anything larger is not read.
constexpr uint64_t kMaxPngTileSize = 64u << 20;

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

struct TQxrHeader {
  uint8_t digest[16];
  uint32_t dataEnd;       // E: the end of the tile data, the start of the level table
  uint32_t sectionTwoSize;

  void Encode(uint8_t out[kHeaderSize]) const {
    std::memset(out, 0, kHeaderSize);
    std::memcpy(out, "qxr", 3);
    std::memcpy(out + 8, digest, 16);
    PutU32(out + 24, 0x00030003);
    PutU32(out + 28, 2);
    PutU32(out + 32, kHeaderSize);
    PutU32(out + 36, dataEnd - kHeaderSize);
    PutU32(out + 40, 1);
    PutU32(out + 44, dataEnd);
    PutU32(out + 48, sectionTwoSize);
    PutU32(out + 52, 2);
  }
};

// Level table entry:
//   0   u32  absolute offset of the level's tree; 0 when the level has no tiles
//   4   u32  smallest y      8  u32 smallest x
//   12  u32  largest y       16 u32 largest x
struct TLevelEntry {
  uint32_t treeOffset, minY, minX, maxY, maxX;

  void Encode(uint8_t out[kLevelEntrySize]) const {
    PutU32(out, treeOffset);
    PutU32(out + 4, minY);
    PutU32(out + 8, minX);
    PutU32(out + 12, maxY);
    PutU32(out + 16, maxX);
  }
};

// Tile tree node, in pre-order: the node, its left subtree, its right subtree.
//   0   u64  bits 0-22 y, bits 23-45 x, bits 46-62 data size, bit 63 JPEG
//   8   u32  absolute offset of the tile's data; 0 for a tile without data
//   12  u32  bits 0-30 byte length of the left subtree, bit 31 a right subtree follows
struct TTreeNode {
  uint32_t y, x;
  uint32_t dataSize;  // 17 bits: the size of a stored file, 0 for RGB565 pixels
  bool jpeg;
  uint32_t dataOffset;
  uint32_t leftBytes;
  bool hasRight;

  void Encode(uint8_t out[kTreeNodeSize]) const {
    uint64_t key = uint64_t{y} | uint64_t{x} << 23 | uint64_t{dataSize} << 46 | uint64_t{jpeg} << 63;
    PutU32(out, static_cast<uint32_t>(key));
    PutU32(out + 4, static_cast<uint32_t>(key >> 32));
    PutU32(out + 8, dataOffset);
    PutU32(out + 12, leftBytes | (hasRight ? 0x80000000u : 0));
  }
};
static_assert(kMaxStoredTileSize < (1u << 17), "a stored tile's size must fit its 17 bits");

// What a tile stores.
enum TTileKind { TileKindPng = 0, TileKindJpeg = 1, TileKindRgb565 = 2 };

// ---- Reading tiles ----------------------------------------------------------

[[noreturn]] void ThrowWriteError() { throw TStreamException{StreamErrorWrite}; }

class CReadFile {
 public:
  explicit CReadFile(const char* path) : handle(Platform::OpenFileForRead(path)) {}
  ~CReadFile() { Platform::CloseFile(handle); }
  CReadFile(const CReadFile&) = delete;
  CReadFile& operator=(const CReadFile&) = delete;
  bool IsOpen() const { return handle != Platform::kInvalidFile; }
  bool Size(uint64_t* size) const { return Platform::GetFileSize(handle, size); }
  bool Read(void* into, uint64_t n) { return Platform::ReadFile(handle, into, n) == n; }

 private:
  Platform::TFileHandle handle;
};

const std::string& TilePath(TRasterPackContext& context, const TTileRecord& tile) {
  context.pathBuffer = context.directories[tile.directory];
  context.pathBuffer += &context.names[tile.name];
  return context.pathBuffer;
}

// The bytes to store for a tile (in a context buffer), or null when the tile
// is refused and keeps no data. Opens exactly the file the scan found.
const uint8_t* ReadTile(TRasterPackContext& context, const TTileRecord& tile, uint32_t* size, TTileKind* kind) {
  CReadFile file(TilePath(context, tile).c_str());
  uint64_t fileSize;
  if (!file.IsOpen() || !file.Size(&fileSize) || fileSize == 0) return nullptr;
  if (fileSize <= kMaxStoredTileSize) {
    context.fileBuffer.Resize(static_cast<size_t>(fileSize));
    if (!file.Read(context.fileBuffer.data, fileSize)) return nullptr;
    *size = static_cast<uint32_t>(fileSize);
    *kind = tile.jpeg ? TileKindJpeg : TileKindPng;
    return context.fileBuffer.data;
  }
  // Larger tiles: only a 256 x 256 PNG is kept, as pixels. Its size and
  // header are checked before the rest is read.
  if (tile.jpeg || fileSize > kMaxPngTileSize) return nullptr;
  uint8_t head[29];
  TPngInfo info;
  if (!file.Read(head, sizeof head) || ParsePngHeader(info, head, sizeof head) != PngOk || info.width != 256 ||
      info.height != 256) {
    return nullptr;
  }
  context.fileBuffer.Resize(static_cast<size_t>(fileSize));
  std::memcpy(context.fileBuffer.data, head, sizeof head);
  if (!file.Read(context.fileBuffer.data + sizeof head, fileSize - sizeof head)) return nullptr;

  DecodePngImage(info, context.decodedImage, context.fileBuffer.data, context.fileBuffer.Size());
  if (info.error != PngOk || info.width != 256 || info.height != 256) return nullptr;
  static_assert(std::endian::native == std::endian::little, "RGB565 pixels are stored as they lie in memory");
  context.pixelBuffer.Resize(256 * 256);
  const uint8_t* rgba = context.decodedImage.data;
  for (size_t i = 0; i < 256 * 256; i++, rgba += 4) {
    context.pixelBuffer[i] = static_cast<uint16_t>((rgba[0] >> 3) << 11 | (rgba[1] >> 2) << 5 | rgba[2] >> 3);
  }
  *size = kRgb565Size;
  *kind = TileKindRgb565;
  return reinterpret_cast<const uint8_t*>(context.pixelBuffer.data);
}

// ---- Writing one volume -----------------------------------------------------

// The file and the trees of the volume being written. Everything from byte
// 24 on passes through the digest as it is written.
struct TVolume {
  explicit TVolume(TRasterPackContext& context) : context(context) {}

  TRasterPackContext& context;
  CFileWriteStream file{1 << 20};
  CMemStream trees;
  TMD5Context md5;

  void Append(const void* data, size_t n) {
    file.Write(data, n);
    MD5Update(md5, data, n);
  }
};

uint32_t Key(const TTileRecord& t, unsigned axis) { return axis ? t.x : t.y; }

// Writes the 2-d tree of [first, last) in pre-order into the tree stream
// and the tiles' bytes, in order, into the file. The node splits the range
// so that keys on its left are not above its key, keys on its right are.
void WriteTileTree(TVolume& volume, TTileRecord* first, TTileRecord* last, unsigned axis) {
  if (first == last) return;
  std::stable_sort(first, last, [axis](const TTileRecord& a, const TTileRecord& b) {
    return Key(a, axis) < Key(b, axis);
  });
  TTileRecord* middle = first + (last - first) / 2;
  const uint32_t key = Key(*middle, axis);
  TTileRecord* runStart = middle;
  while (runStart > first && Key(runStart[-1], axis) == key) runStart--;
  TTileRecord* runEnd = middle + 1;
  while (runEnd < last && Key(*runEnd, axis) == key) runEnd++;
  // The run of equal keys goes wholly to one side: left when more of it lies
  // before the middle (counting the middle), else right.
  TTileRecord* node = runEnd - 1 - middle < middle - runStart + 1 ? runEnd - 1 : runStart - 1;

  const uint64_t nodePosition = volume.trees.Size();
  const uint8_t placeholder[kTreeNodeSize] = {};
  volume.trees.Seek(nodePosition);
  volume.trees.Write(placeholder, kTreeNodeSize);
  WriteTileTree(volume, first, node, 1 - axis);

  TTreeNode n{node->y, node->x, 0, false, 0, 0, node + 1 < last};
  const uint64_t leftBytes = volume.trees.Size() - nodePosition - kTreeNodeSize;
  const uint64_t dataOffset = volume.file.GetPos();
  if (leftBytes > 0x7fffffff || dataOffset > UINT32_MAX) ThrowWriteError();  // the volume split keeps clear of this
  n.leftBytes = static_cast<uint32_t>(leftBytes);
  uint32_t size;
  TTileKind kind;
  if (const uint8_t* bytes = ReadTile(volume.context, *node, &size, &kind)) {
    volume.Append(bytes, size);
    n.dataOffset = static_cast<uint32_t>(dataOffset);
    n.dataSize = kind == TileKindRgb565 ? 0 : size;
    n.jpeg = kind == TileKindJpeg;
  }
  uint8_t encoded[kTreeNodeSize];
  n.Encode(encoded);
  volume.trees.Seek(nodePosition);
  volume.trees.Write(encoded, kTreeNodeSize);
  volume.trees.Seek(volume.trees.Size());

  WriteTileTree(volume, node + 1, last, 1 - axis);
}

// Deletes the file unless told to keep it: a failed volume leaves nothing,
// nor does a crash while it is written.
class CRemoveOnFailure {
 public:
  explicit CRemoveOnFailure(const std::string& path) : path(path), crash(path.c_str()) {}
  ~CRemoveOnFailure() {
    if (!kept) Platform::DeleteFile(path.c_str());
  }
  CRemoveOnFailure(const CRemoveOnFailure&) = delete;
  CRemoveOnFailure& operator=(const CRemoveOnFailure&) = delete;
  void Keep() { kept = true; }

 private:
  std::string path;
  CPartialOutputFile crash;
  bool kept = false;
};

// Writes the tiles [first, last), sorted by level, as one .qxr file.
// Throws TStreamException when the file cannot be written; it is then gone.
void WriteRasterFile(TRasterPackContext& context, const std::string& path, TTileRecord* first, TTileRecord* last) {
  CreatePathDirectories(path);
  CRemoveOnFailure guard(path);  // declared first: the file is closed before it is removed
  TVolume volume(context);
  if (!volume.file.Open(path.c_str(), false)) ThrowWriteError();
  MD5Init(volume.md5);
  // The header is written last; the digest sees bytes 24-55 as zeros.
  const uint8_t zeros[kHeaderSize] = {};
  volume.file.Write(zeros, kDigestStart);
  volume.Append(zeros + kDigestStart, kHeaderSize - kDigestStart);

  TLevelEntry table[kLevels] = {};
  for (TTileRecord* run = first; run != last;) {
    TTileRecord* runEnd = run;
    TLevelEntry& entry = table[run->level];
    entry = {kLevelTableSize + static_cast<uint32_t>(volume.trees.Size()), run->y, run->x, run->y, run->x};
    for (; runEnd != last && runEnd->level == run->level; runEnd++) {
      entry.minY = std::min(entry.minY, runEnd->y);
      entry.minX = std::min(entry.minX, runEnd->x);
      entry.maxY = std::max(entry.maxY, runEnd->y);
      entry.maxX = std::max(entry.maxX, runEnd->x);
    }
    WriteTileTree(volume, run, runEnd, 1);
    run = runEnd;
  }

  const uint64_t dataEnd = volume.file.GetPos();
  const uint64_t treeBytes = volume.trees.Size();
  if (dataEnd + kLevelTableSize + treeBytes > UINT32_MAX) ThrowWriteError();
  uint8_t encodedTable[kLevelTableSize];
  for (unsigned level = 0; level < kLevels; level++) {
    if (table[level].treeOffset) table[level].treeOffset += static_cast<uint32_t>(dataEnd);
    table[level].Encode(encodedTable + level * kLevelEntrySize);
  }
  volume.Append(encodedTable, kLevelTableSize);
  volume.Append(volume.trees.Data(), static_cast<size_t>(treeBytes));

  TQxrHeader header;
  MD5Final(volume.md5, header.digest);
  header.dataEnd = static_cast<uint32_t>(dataEnd);
  header.sectionTwoSize = static_cast<uint32_t>(kLevelTableSize + treeBytes);
  uint8_t encodedHeader[kHeaderSize];
  header.Encode(encodedHeader);
  volume.file.Seek(0);
  volume.file.Write(encodedHeader, kHeaderSize);
  if (!volume.file.Close()) ThrowWriteError();
  guard.Keep();
}

// ---- Finding the tiles ------------------------------------------------------

// The whole text as a base-10 integer: leading white space and a sign are
// accepted, an empty text is 0. Large values saturate (they are out of range).
bool ParseDecimal(const char* p, const char* end, int64_t* value) {
  if (p == end) {
    *value = 0;
    return true;
  }
  while (p != end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) p++;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p == end) return false;
  int64_t v = 0;
  for (; p != end; p++) {
    if (*p < '0' || *p > '9') return false;
    v = std::min<int64_t>(v * 10 + (*p - '0'), int64_t{1} << 40);
  }
  *value = negative ? -v : v;
  return true;
}

bool ParseLevel(const std::string& name, uint8_t* level) {
  int64_t v;
  if (name.empty() || name[0] != 'z' || !ParseDecimal(name.data() + 1, name.data() + name.size(), &v)) return false;
  if (v < 0 || v >= kLevels) return false;
  *level = static_cast<uint8_t>(v);
  return true;
}

// A tile number of its level: 0 <= n < 2^level.
bool ParseTileNumber(const char* p, const char* end, uint8_t level, uint32_t* n) {
  int64_t v;
  if (!ParseDecimal(p, end, &v) || v < 0 || v >= (int64_t{1} << level)) return false;
  *n = static_cast<uint32_t>(v);
  return true;
}

// "<y>.png" or "<y>.jpg", lower case.
bool ParseTileName(const std::string& name, uint8_t level, uint32_t* y, bool* jpeg) {
  if (name.size() < 4) return false;
  const char* extension = name.data() + name.size() - 4;
  if (std::strcmp(extension, ".png") != 0 && std::strcmp(extension, ".jpg") != 0) return false;
  *jpeg = extension[1] == 'j';
  return ParseTileNumber(name.data(), extension, level, y);
}

void AddTile(TRasterPackContext& context, uint8_t level, uint32_t x, uint32_t y, bool jpeg,
             const std::string& name) {
  const std::string& path = context.directories.Back();
  CReadFile file((path + name).c_str());
  uint64_t size;
  if (!file.IsOpen() || !file.Size(&size)) return;  // a tile that does not open is skipped
  TTileRecord tile{y, x, level, jpeg, static_cast<uint32_t>(context.directories.Size() - 1),
                   static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX)), context.names.Size()};
  for (char c : name) context.names.PushBack(c);
  context.names.PushBack('\0');
  context.tiles.PushBack(tile);
}

// Level directories "z<level>", in them x directories, in them tile files.
// Entries come in name order.
void ScanTiles(TRasterPackContext& context, const std::string& tilesDirectory) {
  std::string name, xName, tileName;
  uint32_t attributes;
  CDirIterator levels;
  if (!levels.Open(tilesDirectory, false)) return;
  while (levels.Next(&name, &attributes)) {
    uint8_t level;
    if (!(attributes & kFileAttributeDirectory) || !ParseLevel(name, &level)) continue;
    const std::string levelPath = tilesDirectory + name + '/';
    CDirIterator columns;
    if (!columns.Open(levelPath, false)) continue;
    while (columns.Next(&xName, &attributes)) {
      uint32_t x;
      if (!(attributes & kFileAttributeDirectory) ||
          !ParseTileNumber(xName.data(), xName.data() + xName.size(), level, &x)) {
        continue;
      }
      CDirIterator files;
      if (!files.Open(levelPath + xName, false)) continue;
      context.directories.PushBack(levelPath + xName + '/');
      uint32_t y;
      bool jpeg;
      while (files.Next(&tileName, &attributes)) {
        if (!(attributes & kFileAttributeDirectory) && ParseTileName(tileName, level, &y, &jpeg)) {
          AddTile(context, level, x, y, jpeg, tileName);
        }
      }
    }
  }
}

// One tree per level, and one tile per place: when two files name the same
// tile (7.jpg and 7.png, z5 and z05, 7.png and 007.png), the first found
// in name order is kept.
void SortAndDropDuplicates(CReallocArray<TTileRecord>& tiles) {
  std::stable_sort(tiles.begin(), tiles.end(), [](const TTileRecord& a, const TTileRecord& b) {
    if (a.level != b.level) return a.level < b.level;
    if (a.x != b.x) return a.x < b.x;
    return a.y < b.y;
  });
  auto same = [](const TTileRecord& a, const TTileRecord& b) { return a.level == b.level && a.x == b.x && a.y == b.y; };
  tiles.Resize(std::unique(tiles.begin(), tiles.end(), same) - tiles.begin());
}

uint64_t Estimate(const TTileRecord& tile) {
  return tile.fileSize <= kMaxStoredTileSize ? tile.fileSize : kRgb565Size;
}

// The name of a volume: output directory, the last component of the tiles
// directory (which ends in a separator), the volume number unless 0, ".qxr".
std::string VolumePath(const std::string& tilesDirectory, const std::string& outputDirectory, unsigned volume) {
  std::string path = outputDirectory;
  if (!path.empty() && !EndsWithSeparator(path)) path += '/';
  const size_t last = tilesDirectory.size() - 1;
  const size_t separator = tilesDirectory.find_last_of("/\\", last ? last - 1 : 0);
  const size_t start = separator == std::string::npos || last == 0 ? 0 : separator + 1;
  path.append(tilesDirectory, start, last - start);
  if (volume) path += std::to_string(volume);
  return path + ".qxr";
}

}  // namespace

uint32_t PackRasterTiles(TRasterPackContext& context, const std::string& tilesDirectory,
                         const std::string& outputDirectory, std::string* error) {
  // Tile paths are built on the directory text: it must end in a separator.
  std::string directory = tilesDirectory;
  if (!EndsWithSeparator(directory)) directory += '/';
  try {
    ScanTiles(context, directory);
    CReallocArray<TTileRecord>& tiles = context.tiles;
    if (tiles.Empty()) {
      *error = "No input files";
      return 0;
    }
    SortAndDropDuplicates(tiles);

    // Volume boundaries: a volume takes tiles while its estimated size
    // (header, level table, tree nodes and tile data) stays within the limit.
    CReallocArray<size_t> starts;
    starts.PushBack(0);
    uint64_t estimate = kHeaderSize + kLevelTableSize;
    for (size_t i = 0; i < tiles.Size(); i++) {
      uint64_t add = kTreeNodeSize + Estimate(tiles[i]);
      if (estimate + add > context.volumeLimit && i > starts.Back()) {
        starts.PushBack(i);
        estimate = kHeaderSize + kLevelTableSize;
      }
      estimate += add;
    }
    starts.PushBack(tiles.Size());
    const bool numbered = starts.Size() > 2;
    for (size_t v = 0; v + 1 < starts.Size(); v++) {
      WriteRasterFile(context, VolumePath(directory, outputDirectory, numbered ? static_cast<unsigned>(v + 1) : 0),
                      tiles.begin() + starts[v], tiles.begin() + starts[v + 1]);
    }
    return static_cast<uint32_t>(tiles.Size());
  } catch (const TStreamException&) {
    *error = "Error writing on disk";
  } catch (const std::bad_alloc&) {
    *error = "Out of memory";
  }
  return 0;
}
