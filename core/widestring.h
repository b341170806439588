// UTF-16 texts: the form of every text written into map files. Conversions
// from UTF-8 and the Windows single-byte code pages, case folding by a fixed table (it decides the
// order of sorted labels and words in map files, so it must never follow a
// library's idea of Unicode) and decimal/hexadecimal number parsing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/containers.h"

// A UTF-16 text. After any change the storage holds a 0 unit just past the
// text; a string that never held text has no storage and reads as "".
class CWideString {
 public:
  CWideString() = default;
  CWideString(const char16_t* text, size_t n) { Assign(text, n); }
  CWideString(const CWideString& other) { Assign(other.GetText(), other.Length()); }
  CWideString& operator=(const CWideString& other) {
    Assign(other.GetText(), other.Length());
    return *this;
  }
  CWideString(CWideString&&) noexcept = default;
  CWideString& operator=(CWideString&&) noexcept = default;

  // Never null: 0-terminated.
  const char16_t* GetText() const { return units.count ? units.data : kEmptyText; }
  size_t Length() const { return units.count; }
  bool Empty() const { return units.count == 0; }
  char16_t operator[](size_t i) const { return units.data[i]; }

  void Assign(const char16_t* text, size_t n);
  // The units may lie inside this string.
  void Append(const char16_t* text, size_t n);
  void Append(const CWideString& other) { Append(other.GetText(), other.Length()); }
  void AppendChar(char16_t unit) { Append(&unit, 1); }
  // Decodes UTF-8 up to n bytes; a NUL byte or a sequence cut short by the
  // end stops the conversion. Malformed bytes become '?'.
  void AppendUtf8(const char* bytes, size_t n);
  // Converts n bytes, one unit each, through a single-byte code page's
  // table of 256 units (a 0 byte included).
  void AppendSingleByte(const char* bytes, size_t n, const char16_t* table);
  // Removes up to n units from position on; a range past the end is clamped.
  void Erase(size_t position, size_t n);
  void Clear();

 private:
  // Room for n units plus the terminating 0.
  void ReserveText(size_t n);

  static const char16_t kEmptyText[1];
  CReallocArray<char16_t> units;
};

// Windows-1251 byte to UTF-16; the unassigned byte 0x98 gives '?'.
extern const char16_t g_Cp1251Table[256];
// The table of a Windows single-byte code page by its number (874,
// 1250-1258), or null for any other number. Unassigned bytes give '?'.
const char16_t* SingleByteCodePage(uint32_t number);

// One range of the case-fold table: the folded unit of every unit in [first, last].
struct TCaseFoldRange {
  char16_t first;
  char16_t last;
  const char16_t* folded;
};
constexpr size_t kCaseFoldRangeCount = 5;
extern const TCaseFoldRange g_CaseFoldTable[kCaseFoldRangeCount];

inline char16_t FoldCase(char16_t unit) {
  for (const TCaseFoldRange& range : g_CaseFoldTable) {
    if (unit < range.first) return unit;  // the ranges are in ascending order
    if (unit <= range.last) return range.folded[unit - range.first];
  }
  return unit;
}

// Case-insensitive three-way comparisons by folded units, as unsigned values.
int CompareNoCase(const char16_t* a, const char16_t* b);
// A 0 unit in both texts ends the scan; otherwise the shorter text is smaller.
int CompareNoCaseN(const char16_t* a, size_t lengthA, const char16_t* b, size_t lengthB);

// Decodes one character of UTF-8 at the cursor, `available` (at least 1) bytes being
// readable, and moves the cursor past it. Returns 0 without moving for a
// sequence cut short by the end. Characters above U+FFFF give one '?'; a
// malformed byte gives '?' and the cursor moves past it alone.
char16_t DecodeUtf8Char(const char*& cursor, size_t available);

// A 0-terminated Windows-1251 text as UTF-16.
CWideString Cp1251ToWide(const char* text);

// Decimal number: leading spaces (U+0020 only), an optional sign, digits,
// trailing spaces. Values are bounded to 9 digits plus a last digit when the
// value so far is below 214748364, so the result always fits. On success
// `end` is past the trailing spaces; on failure `value` holds the digits
// read so far (without sign) and `end` is where parsing stopped.
bool ParseWideInt(const char16_t* text, int32_t& value, const char16_t*& end);
// Hexadecimal digits in any case after leading spaces, modulo 2^32; no
// prefix, no sign. `end` is at the first unit that is not a digit.
bool ParseWideHex(const char16_t* text, uint32_t& value, const char16_t*& end);
