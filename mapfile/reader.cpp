#include "mapfile/reader.h"

#include <snappy.h>

#include <cstring>
#include <memory>
#include <new>

#include "core/bytes.h"
#include "core/log.h"

namespace ZorvaneMap {

namespace {

[[noreturn]] void Throw(TStreamErrorCode code) { throw TStreamException{code}; }

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Versions this reader reads: 50 to 66 but 57, when the file says a reader
// of version 66 can read it.
constexpr uint16_t kReaderVersion = 66;
constexpr uint16_t kOldestReadVersion = 50;
constexpr uint16_t kUnreadableVersion = 57;
// From this version on the raw area runs to the end of section 1; before,
// it is the first block's worth of bytes.
constexpr uint16_t kRawSectionOneVersion = 65;

// The blocks' compressed bytes: what snappy makes of 1024 bytes at most;
// the last block also carries the 0-3 padding bytes before the table.
const size_t kMaxPackedBlock = snappy::MaxCompressedLength(kMapBlockSize);
constexpr size_t kMaxPadding = 3;

}  // namespace

// ---- CMapFileStream ----------------------------------------------------------

CMapFileStream::~CMapFileStream() { delete file; }

void CMapFileStream::SetFile(CFileReadStream* newFile) {
  if (file != newFile) delete file;
  file = newFile;
  position = 0;
  rawEnd = imageEnd = blockSize = blockCount = 0;
  tablePos = 0;
}

bool CMapFileStream::SetupBlocks(uint32_t rawArea, uint32_t end, uint32_t size) {
  if (!file) return false;
  blockSize = size;
  imageEnd = end;
  const uint64_t fileSize = file->GetSize();
  if (size == 0) {
    // A plain image is the file itself: a shorter file lost part of it.
    rawEnd = end;
    blockCount = 0;
    return end <= fileSize;
  }
  rawEnd = rawArea < end ? rawArea : end;
  const uint64_t blocks = (uint64_t{end} - rawEnd + size - 1) / size;
  // The raw area, then the blocks, then the table: an image that ends
  // before the raw area would (its file is shorter than that area) has
  // no block and an empty table.
  if (uint64_t{rawEnd} + 4 * blocks > fileSize) return false;
  // Block offsets are u32: a table beyond their reach cannot be right.
  if (fileSize - 4 * blocks > 0xFFFFFFFFu) return false;
  blockCount = static_cast<uint32_t>(blocks);
  tablePos = fileSize - 4 * blocks;
  if (blocks == 0) return true;
  // The table is found from the file's end: the first block must begin
  // where the raw area ends and the last one just before the table, or
  // the file was cut or grown.
  uint8_t entry[4];
  file->Seek(tablePos);
  file->Read(entry, 4);
  if (LoadLE32(entry) != rawEnd) return false;
  file->Seek(fileSize - 4);
  file->Read(entry, 4);
  const uint32_t last = LoadLE32(entry);
  return last >= rawEnd && last < tablePos && tablePos - last <= kMaxPackedBlock + kMaxPadding;
}

uint64_t CMapFileStream::GetSize() {
  if (blockSize != 0) return imageEnd;
  return file ? file->GetSize() : 0;
}

uint64_t CMapFileStream::GetRemaining() {
  uint64_t size = GetSize();
  return position < size ? size - position : 0;
}

const uint8_t* CMapFileStream::GetData(uint64_t) { Throw(StreamErrorBuffer); }

void* CMapFileStream::Read(void* destination, uint64_t n) {
  if (!file) Throw(StreamErrorRead);
  const uint64_t size = GetSize();
  if (position > size || n > size - position) Throw(StreamErrorRange);
  uint8_t* out = static_cast<uint8_t*>(destination);
  if (blockSize == 0) {
    file->Seek(position);
    file->Read(out, n);
    position += n;
    return destination;
  }
  if (position < rawEnd) {
    uint64_t raw = rawEnd - position < n ? rawEnd - position : n;
    file->Seek(position);
    file->Read(out, raw);
    position += raw;
    out += raw;
    n -= raw;
  }
  if (n > 0) {
    ReadBlocks(static_cast<uint32_t>(position), static_cast<uint32_t>(position + n), out);
    position += n;
  }
  return destination;
}

void CMapFileStream::GetBlockSpans(uint32_t from, uint32_t to, TBlockSpans& result) {
  const uint32_t k = (from - rawEnd) / blockSize;
  const uint32_t m = (to - rawEnd - 1) / blockSize;
  result.imageStart = rawEnd + k * blockSize;
  const bool followed = m + 1 < blockCount;
  const uint32_t entries = m - k + 1 + (followed ? 1 : 0);
  uint8_t raw[4 * 64];
  CReallocArray<uint32_t>& offsets = result.lengths;  // offsets first, lengths in place after
  offsets.Resize(0);
  offsets.Reserve(entries + 1);
  file->Seek(tablePos + 4ull * k);
  for (uint32_t done = 0; done < entries;) {
    uint32_t piece = entries - done < 64 ? entries - done : 64;
    file->Read(raw, 4ull * piece);
    for (uint32_t i = 0; i < piece; i++) offsets.PushBack(LoadLE32(raw + 4 * i));
    done += piece;
  }
  if (!followed) offsets.PushBack(static_cast<uint32_t>(tablePos));
  // The table comes from the file: every block must lie between the raw
  // area and the table, in order, no longer than snappy makes a block.
  if (offsets[0] < rawEnd) Throw(StreamErrorRead);
  result.fileOffset = offsets[0];
  for (uint32_t i = 0; i + 1 < offsets.Size(); i++) {
    const bool lastOfFile = k + i + 1 == blockCount;
    if (offsets[i + 1] <= offsets[i] || offsets[i + 1] > tablePos ||
        offsets[i + 1] - offsets[i] > kMaxPackedBlock + (lastOfFile ? kMaxPadding : 0)) {
      Throw(StreamErrorRead);
    }
    offsets[i] = offsets[i + 1] - offsets[i];
  }
  offsets.PopBack();
}

// The last block of the file is followed by up to 3 zero bytes of padding,
// which are not part of its snappy stream: the stream is the longest of
// the candidates that decodes to exactly the block's length.
void CMapFileStream::DecodeBlock(const uint8_t* bytes, size_t length, bool last, uint8_t* out, size_t expected) {
  const char* p = reinterpret_cast<const char*>(bytes);
  for (size_t trim = 0; trim <= (last ? kMaxPadding : 0) && trim < length; trim++) {
    if (trim > 0 && bytes[length - trim] != 0) break;
    size_t unpacked = 0;
    // The length check first: snappy writes as many bytes as the stream says.
    if (snappy::GetUncompressedLength(p, length - trim, &unpacked) && unpacked == expected &&
        snappy::RawUncompress(p, length - trim, reinterpret_cast<char*>(out))) {
      return;
    }
  }
  Throw(StreamErrorRead);
}

void CMapFileStream::ReadBlocks(uint32_t from, uint32_t to, uint8_t* destination) {
  if (from == to) return;
  GetBlockSpans(from, to, spans);
  uint64_t total = 0;
  for (uint32_t length : spans.lengths) total += length;
  // The blocks lie back to back: one read fetches them all.
  packed.Resize(static_cast<size_t>(total));
  file->Seek(spans.fileOffset);
  file->Read(packed.data, total);
  uint32_t s = spans.imageStart;
  size_t offset = 0;
  for (uint32_t length : spans.lengths) {
    const size_t expected = imageEnd - s < blockSize ? imageEnd - s : blockSize;
    const bool last = s + expected >= imageEnd;
    const uint32_t lo = from > s ? from : s;
    const uint32_t hi = to < s + expected ? to : static_cast<uint32_t>(s + expected);
    if (lo == s && hi == s + expected) {
      DecodeBlock(packed.data + offset, length, last, destination + (s - from), expected);
    } else {
      block.Resize(blockSize);
      DecodeBlock(packed.data + offset, length, last, block.data, expected);
      std::memcpy(destination + (lo - from), block.data + (lo - s), hi - lo);
    }
    offset += length;
    s += blockSize;
  }
}

// ---- CMapFile ----------------------------------------------------------------

CMapFile::CMapFile() : stream(new CMapFileStream) {}

CMapFile::~CMapFile() {
  if (CStreamCache* cache = GetCache()) {
    CLockGuard guard(cache->Lock());
    Detach();
  }
  delete stream;
}

CMapFile::TLoadResult CMapFile::Open(const char* path, CStreamCache* cache) {
  if (!cache) return LoadBadFormat;
  std::unique_ptr<CFileReadStream> file;
  try {
    file.reset(new CFileReadStream(0));
    if (!file->Open(path)) return LoadStreamError;
  } catch (const TStreamException&) {
    return LoadStreamError;
  } catch (const std::bad_alloc&) {
    return LoadBadFormat;
  }
  const char* name = path;
  for (const char* c = path; *c; c++) {
    if (*c == '/' || *c == '\\') name = c + 1;
  }
  return Load(file.release(), name, cache);
}

CMapFile::TLoadResult CMapFile::Load(CFileReadStream* file, const std::string& name, CStreamCache* cache) {
  TLoadResult result = LoadBadFormat;
  if (!cache) {
    // Refused like any failed load: the map forgets what it held.
    delete file;
    if (CStreamCache* old = GetCache()) {
      CLockGuard oldGuard(old->Lock());
      Detach();
    }
    stream->SetFile(nullptr);
    return result;
  }
  try {
    fileName = name;
  } catch (...) {
    delete file;
    return LoadBadFormat;
  }
  CLockGuard guard(cache->Lock());
  try {
    if (!file) throw LoadStreamError;
    if (CStreamCache* old = GetCache(); old && old != cache) {
      CLockGuard oldGuard(old->Lock());
      Detach();
    }
    Detach();
    stream->SetFile(file);
    Attach(stream, cache);
    LoadImage();
    result = LoadOk;
  } catch (const TStreamException& e) {
    result = e.code == StreamErrorRead ? LoadStreamError : LoadBadFormat;
  } catch (TLoadResult thrown) {
    result = thrown;
  } catch (...) {
    result = LoadBadFormat;
  }
  if (result != LoadOk) {
    Detach();
    stream->SetFile(nullptr);
  }
  return result;
}

void CMapFile::SkipString() {
  uint16_t units = ReadU16();
  Seek(GetPos() + 2ull * units);
}

void CMapFile::LoadImage() {
  version = 0;
  std::memset(mapId, 0, sizeof mapId);
  std::memset(sectionOffsets, 0, sizeof sectionOffsets);
  std::memset(sectionSizes, 0, sizeof sectionSizes);
  levelCount = 0;
  std::memset(levels, 0, sizeof levels);
  std::memset(treeRoots, 0, sizeof treeRoots);
  bounds = CGeoRect();

  uint8_t header[TMapFileHeader::kSize];
  Seek(0);
  Read(header, sizeof header);
  version = GetU16(header + 24);
  if (version < kOldestReadVersion || version == kUnreadableVersion || GetU16(header + 26) > kReaderVersion) {
    throw LoadBadVersion;
  }
  std::memcpy(mapId, header + 8, sizeof mapId);
  const uint32_t entries = LoadLE32(header + 28);
  const uint32_t blockSize = LoadLE32(header + 32);
  // The directory has room for 12 entries before the image begins; blocks
  // are 1024 bytes or there are none.
  if (entries > kMapSectionCount || (blockSize != 0 && blockSize != kMapBlockSize)) throw LoadBadFormat;

  uint64_t imageEnd = 0, rawArea = blockSize;
  for (uint32_t i = 0; i < entries; i++) {
    uint8_t entry[12];
    Read(entry, sizeof entry);
    const uint32_t offset = LoadLE32(entry), size = LoadLE32(entry + 4), id = LoadLE32(entry + 8);
    const uint64_t end = uint64_t{offset} + size;
    if (end > kMaxMapImage) throw LoadBadFormat;
    if (end > imageEnd) imageEnd = end;
    if (id >= 1 && id <= kMapSectionCount && size != 0) {
      sectionOffsets[id - 1] = offset;
      sectionSizes[id - 1] = size;
    }
    if (id == SectionMapInfo && blockSize != 0 && version >= kRawSectionOneVersion) {
      rawArea = (end + blockSize - 1) / blockSize * blockSize;
    }
  }
  if (sectionOffsets[SectionMapInfo - 1] == 0) throw LoadBadFormat;
  for (int i = 0; i < 3; i++) ReadU16();  // reserved

  if (!stream->SetupBlocks(static_cast<uint32_t>(rawArea), static_cast<uint32_t>(imageEnd), blockSize)) {
    throw LoadBadFormat;
  }
  // What was read so far came through the plain layout.
  GetCache()->DropStream(stream);
  if (std::memcmp(header, "qzorvane", 8) != 0) throw LoadBadFormat;

  Seek(sectionOffsets[SectionMapInfo - 1]);
  for (int i = 0; i < 3; i++) SkipString();
  uint8_t count = ReadU8();
  if (count > kMaxLevels) count = kMaxLevels;
  if (count < 2) throw LoadBadFormat;
  levelCount = count;
  Read(levels, count);

  ReadLevelTrees(SectionPolylineTrees, 10);
  ReadLevelTrees(SectionItemTrees, 0);
}

// One saved tree per level but the top one, back to back: the root
// rectangle, then the root's record (u8 child count, 3 bytes, 20 bytes a
// child whose last u32 is where the children's records end).
void CMapFile::ReadLevelTrees(TMapSectionId id, uint32_t firstPlace) {
  const uint32_t offset = sectionOffsets[id - 1];
  if (offset == 0) return;
  const uint64_t end = uint64_t{offset} + sectionSizes[id - 1];
  uint64_t p = offset;
  for (uint32_t j = 0; j + 1 < levelCount; j++) {
    if (p + 20 > end) throw LoadBadFormat;
    Seek(p);
    CGeoRect rect;
    rect.x1 = static_cast<int32_t>(ReadU32());
    rect.x2 = static_cast<int32_t>(ReadU32());
    rect.y1 = static_cast<int32_t>(ReadU32());
    rect.y2 = static_cast<int32_t>(ReadU32());
    if (rect.IsEmpty()) {
      treeRoots[firstPlace + j] = 0;
    } else {
      bounds.Extend(rect);
      treeRoots[firstPlace + j] = static_cast<uint32_t>(p);
    }
    const uint64_t q = p + 16;
    const uint32_t children = ReadU32() & 0xFF;
    if (children > 4 || q + 20ull * children + 4 > end) throw LoadBadFormat;
    Seek(q + 20ull * children);
    const uint32_t recordsEnd = ReadU32();
    p = q + 20ull * children + 4 + recordsEnd;
    if (p > end) throw LoadBadFormat;
  }
}

}  // namespace ZorvaneMap
