// Test-side PNG building blocks: chunks with real CRCs, zlib streams of
// stored blocks, and a bit writer for hand-made deflate data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace PngTest {

using TBytes = std::vector<uint8_t>;

inline TBytes ReadFileBytes(const std::string& path) {
  TBytes bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
  }
  return bytes;
}

inline void WriteFileBytes(const std::string& path, const TBytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

inline uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int k = 0; k < 8; k++) crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return ~crc;
}

inline uint32_t Adler32(const TBytes& data) {
  uint32_t a = 1, b = 0;
  for (uint8_t c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

inline void PutBigEndian32(TBytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

inline void AppendChunk(TBytes& png, const char* type, const TBytes& data) {
  PutBigEndian32(png, static_cast<uint32_t>(data.size()));
  size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  PutBigEndian32(png, Crc32(png.data() + start, png.size() - start));
}

struct THeader {
  uint32_t width = 1, height = 1;
  uint8_t depth = 8, colour = 0, compression = 0, filter = 0, interlace = 0;
};

// Signature and IHDR; the caller appends the other chunks.
inline TBytes PngStart(const THeader& h) {
  TBytes png = {137, 80, 78, 71, 13, 10, 26, 10};
  TBytes ihdr;
  PutBigEndian32(ihdr, h.width);
  PutBigEndian32(ihdr, h.height);
  ihdr.insert(ihdr.end(), {h.depth, h.colour, h.compression, h.filter, h.interlace});
  AppendChunk(png, "IHDR", ihdr);
  return png;
}

// A zlib stream of stored blocks holding raw.
inline TBytes StoredZlib(const TBytes& raw) {
  TBytes z = {0x78, 0x01};
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(raw.size() - pos, 65535);
    bool final = pos + n == raw.size();
    z.push_back(final ? 1 : 0);
    z.push_back(static_cast<uint8_t>(n));
    z.push_back(static_cast<uint8_t>(n >> 8));
    z.push_back(static_cast<uint8_t>(~n));
    z.push_back(static_cast<uint8_t>(~n >> 8));
    z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
    pos += n;
  } while (pos < raw.size());
  PutBigEndian32(z, Adler32(raw));
  return z;
}

// A whole PNG: header, the extra chunks, one IDAT with the zlib data, IEND.
inline TBytes MakePng(const THeader& h, const TBytes& zlibData,
                      const std::vector<std::pair<std::string, TBytes>>& chunks = {}) {
  TBytes png = PngStart(h);
  for (const auto& c : chunks) AppendChunk(png, c.first.c_str(), c.second);
  AppendChunk(png, "IDAT", zlibData);
  AppendChunk(png, "IEND", {});
  return png;
}

// Deflate bits, least significant first; Huffman codes go most significant first.
class CBitWriter {
 public:
  void Bits(uint32_t value, unsigned n) {
    for (unsigned i = 0; i < n; i++) Bit((value >> i) & 1);
  }
  void Code(uint32_t code, unsigned n) {
    for (unsigned i = n; i-- > 0;) Bit((code >> i) & 1);
  }
  // A symbol of the fixed literal/length code.
  void FixedLiteral(unsigned symbol) {
    if (symbol < 144) Code(0x30 + symbol, 8);
    else if (symbol < 256) Code(0x190 + symbol - 144, 9);
    else if (symbol < 280) Code(symbol - 256, 7);
    else Code(0xC0 + symbol - 280, 8);
  }
  size_t BitCount() const { return bits; }
  const TBytes& Bytes() const { return bytes; }
  // zlib header in front of the deflate bytes.
  TBytes Zlib() const {
    TBytes z = {0x78, 0x01};
    z.insert(z.end(), bytes.begin(), bytes.end());
    return z;
  }

 private:
  void Bit(unsigned b) {
    if (bits % 8 == 0) bytes.push_back(0);
    bytes.back() |= static_cast<uint8_t>(b << (bits % 8));
    bits++;
  }
  TBytes bytes;
  size_t bits = 0;
};

}  // namespace PngTest
