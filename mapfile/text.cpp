#include "mapfile/text.h"

#include <bit>
#include <cstring>

namespace ZorvaneMap {

size_t StoredTextLength(const char16_t* units, size_t n) {
  if (n <= kMaxTextUnits) return n;
  n = kMaxTextUnits;
  // A high surrogate as the last stored unit would lose its partner.
  if (units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF) n--;
  return n;
}

void WriteUnits(CWriteStream& stream, const char16_t* units, size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    stream.Write(units, 2 * static_cast<uint64_t>(n));
  } else {
    uint8_t chunk[512];
    while (n > 0) {
      size_t k = n < sizeof chunk / 2 ? n : sizeof chunk / 2;
      for (size_t i = 0; i < k; i++) {
        chunk[2 * i] = static_cast<uint8_t>(units[i]);
        chunk[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
      }
      stream.Write(chunk, 2 * k);
      units += k;
      n -= k;
    }
  }
}

void WriteU32Array(CWriteStream& stream, const uint32_t* values, size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    stream.Write(values, 4 * static_cast<uint64_t>(n));
  } else {
    for (size_t i = 0; i < n; i++) stream.WriteU32(values[i]);
  }
}

void WriteTextUnits(CWriteStream& stream, const char16_t* units, size_t n) {
  n = StoredTextLength(units, n);
  stream.WriteU16(static_cast<uint16_t>(n));
  WriteUnits(stream, units, n);
}

void WriteZeros(CWriteStream& stream, uint64_t n) {
  static const uint8_t zeros[64] = {};
  while (n > 0) {
    uint64_t k = n < sizeof zeros ? n : sizeof zeros;
    stream.Write(zeros, k);
    n -= k;
  }
}

void AlignTo4(CWriteStream& stream) {
  uint64_t misalign = stream.GetPos() % 4;
  if (misalign) WriteZeros(stream, 4 - misalign);
}

void AlignTo2(CWriteStream& stream) {
  if (stream.GetPos() % 2) stream.WriteU8(0);
}

void WriteWideString(CWriteStream& stream, const CWideString& text) {
  AlignTo2(stream);
  WriteTextUnits(stream, text.GetText(), text.Length());
}

const CWideString& CTextEncoder::Decode(const std::string& text, const char16_t* byTable) {
  buffer.Clear();
  size_t n = std::strlen(text.c_str());  // a 0 byte ends the text
  if (byTable) {
    buffer.AppendSingleByte(text.data(), n, byTable);
  } else {
    buffer.AppendUtf8(text.data(), n);
  }
  return buffer;
}

}  // namespace ZorvaneMap
