#include "mapfile/container.h"

#include <snappy.h>

#include <cstring>

#include "core/md5.h"

namespace ZorvaneMap {

namespace {

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Every byte from file offset 24 on goes through here, in file order, so
// the digest covers exactly what is stored.
class CDigestWriter {
 public:
  explicit CDigestWriter(CWriteStream& out) : file(out) { MD5Init(md5); }
  void Write(const void* data, uint64_t n) {
    file.Write(data, n);
    HashOnly(data, n);
  }
  void HashOnly(const void* data, uint64_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    // MD5Update takes a size_t: feed in pieces that fit a 32-bit one.
    while (n > 0) {
      uint64_t piece = n < 0x40000000u ? n : 0x40000000u;
      MD5Update(md5, p, static_cast<size_t>(piece));
      p += piece;
      n -= piece;
    }
  }
  void Finish(uint8_t digest[16]) { MD5Final(md5, digest); }

 private:
  CWriteStream& file;
  TMD5Context md5;
};

uint32_t ImageEnd(const TMapDirectory& directory) {
  uint64_t end = 0;
  for (const TMapSectionEntry& e : directory) {
    uint64_t sectionEnd = static_cast<uint64_t>(e.offset) + e.size;
    if (sectionEnd > end) end = sectionEnd;
  }
  return static_cast<uint32_t>(end);
}

}  // namespace

void TMapFileHeader::Encode(uint8_t out[kSize]) const {
  std::memcpy(out, "qzorvane", 8);
  std::memcpy(out + 8, digest, 16);
  PutU16(out + 24, kMapFormatVersion);
  PutU16(out + 26, kMapOldestReader);
  PutU32(out + 28, kMapSectionCount);
  PutU32(out + 32, blockSize);
}

void SaveCompressedMapFile(const CMemStream& image, const TMapDirectory& directory, CWriteStream& file,
                           bool compress) {
  TMapFileHeader header{};
  header.blockSize = compress ? kMapBlockSize : 0;
  uint8_t head[kMapImageStart];
  header.Encode(head);
  for (uint32_t i = 0; i < kMapSectionCount; i++) {
    PutU32(head + 36 + 12 * i, directory[i].offset);
    PutU32(head + 40 + 12 * i, directory[i].size);
    PutU32(head + 44 + 12 * i, directory[i].id);
  }
  std::memset(head + 180, 0, 6);
  PutU16(head + 186, kConverterBuild);

  const uint32_t end = ImageEnd(directory);
  const uint8_t* bytes = image.Data();
  CDigestWriter out(file);
  // Header bytes 24-35 are hashed now but written last, after the digest.
  out.HashOnly(head + 24, TMapFileHeader::kSize - 24);
  file.Seek(TMapFileHeader::kSize);
  out.Write(head + TMapFileHeader::kSize, kMapImageStart - TMapFileHeader::kSize);
  if (!compress) {
    out.Write(bytes + kMapImageStart, end - kMapImageStart);
  } else {
    uint64_t sectionOneEnd = static_cast<uint64_t>(directory[0].offset) + directory[0].size;
    uint64_t rawEnd = (sectionOneEnd + kMapBlockSize - 1) / kMapBlockSize * kMapBlockSize;
    if (rawEnd > end) rawEnd = end;
    out.Write(bytes + kMapImageStart, rawEnd - kMapImageStart);
    uint64_t blockCount = (end - rawEnd + kMapBlockSize - 1) / kMapBlockSize;
    CReallocArray<uint8_t> table;
    table.Resize(blockCount * 4);
    char scratch[1226];  // snappy's bound for 1024 input bytes
    static_assert(sizeof scratch >= 32 + kMapBlockSize + kMapBlockSize / 6, "snappy bound");
    for (uint64_t k = 0; k < blockCount; k++) {
      PutU32(table.data + 4 * k, static_cast<uint32_t>(file.GetPos()));
      uint64_t from = rawEnd + k * kMapBlockSize;
      size_t length = static_cast<size_t>(end - from < kMapBlockSize ? end - from : kMapBlockSize);
      size_t packed = 0;
      snappy::RawCompress(reinterpret_cast<const char*>(bytes + from), length, scratch, &packed);
      out.Write(scratch, packed);
    }
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    uint64_t misalign = file.GetPos() % 4;
    if (misalign) out.Write(zeros, 4 - misalign);
    out.Write(table.data, table.Size());
  }
  out.Finish(header.digest);
  header.Encode(head);
  file.Seek(0);
  file.Write(head, TMapFileHeader::kSize);
}

}  // namespace ZorvaneMap
