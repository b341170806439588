// Texts in map files: a u16 count of UTF-16 units, then the units
// (little-endian), no terminator. A count holds at most 65535 units: longer
// texts are cut there, never inside a surrogate pair, so the count always
// matches the units that follow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/streams.h"
#include "core/widestring.h"

namespace ZorvaneMap {

constexpr size_t kMaxTextUnits = 0xFFFF;

// How many of the n units are stored.
size_t StoredTextLength(const char16_t* units, size_t n);
// The count and the stored units, at the current position.
void WriteTextUnits(CWriteStream& stream, const char16_t* units, size_t n);
// The units alone (no count), little-endian.
void WriteUnits(CWriteStream& stream, const char16_t* units, size_t n);
// u32 values, little-endian, in one write where the host allows.
void WriteU32Array(CWriteStream& stream, const uint32_t* values, size_t n);
void WriteZeros(CWriteStream& stream, uint64_t n);
// 0-3 zero bytes up to a multiple of 4.
void AlignTo4(CWriteStream& stream);
// One zero byte when the position is odd.
void AlignTo2(CWriteStream& stream);
// A UTF-16 text, after one zero byte when the position is odd.
void WriteWideString(CWriteStream& stream, const CWideString& text);

// Converts the map's byte strings: UTF-8 when the map says so, else through
// its single-byte code page's table. A 0 byte ends a text. One buffer, reused.
class CTextEncoder {
 public:
  const char16_t* table = nullptr;  // null: UTF-8 (the map's TextTable)

  // The text as UTF-16; valid until the next call.
  const CWideString& Decode(const std::string& text) { return Decode(text, table); }
  const CWideString& DecodeUtf8(const std::string& text) { return Decode(text, nullptr); }
  const CWideString& Decode(const std::string& text, const char16_t* byTable);
  // Count and units at the current position, without alignment.
  void WriteTitleString(CWriteStream& stream, const std::string& text) {
    if (text.empty()) {  // most extra texts of most objects
      stream.WriteU16(0);
      return;
    }
    const CWideString& w = Decode(text);
    WriteTextUnits(stream, w.GetText(), w.Length());
  }

 private:
  CWideString buffer;
};

}  // namespace ZorvaneMap
