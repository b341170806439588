#include "core/widestring.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <new>

const char16_t CWideString::kEmptyText[1] = {0};

void CWideString::ReserveText(size_t n) {
  if (n >= SIZE_MAX / sizeof(char16_t)) throw std::bad_alloc();
  units.Reserve(n + 1);
}

void CWideString::Assign(const char16_t* text, size_t n) {
  units.count = 0;  // a text inside our storage stays in place: Append moves it down
  Append(text, n);
}

void CWideString::Append(const char16_t* text, size_t n) {
  size_t old = units.count;
  if (n > SIZE_MAX / sizeof(char16_t) - old) throw std::bad_alloc();
  // The text may lie in our own storage, which growing moves: its place is
  // kept as an index, taken from the addresses as numbers, so that no pointer
  // into the old storage is used after the realloc.
  uintptr_t start = reinterpret_cast<uintptr_t>(units.data), at = reinterpret_cast<uintptr_t>(text);
  bool inside = units.data && at >= start && (at - start) / sizeof(char16_t) < units.capacity;
  size_t offset = inside ? (at - start) / sizeof(char16_t) : 0;
  ReserveText(old + n);
  if (inside) text = units.data + offset;
  if (n) std::memmove(units.data + old, text, n * sizeof(char16_t));
  units.count = old + n;
  units.data[units.count] = 0;
}

void CWideString::AppendUtf8(const char* bytes, size_t n) {
  const char* cursor = bytes;
  const char* end = bytes + n;
  ReserveText(units.count + n);  // never more units than bytes
  while (cursor < end) {
    char16_t unit = DecodeUtf8Char(cursor, size_t(end - cursor));
    if (!unit) break;
    units.data[units.count++] = unit;
  }
  units.data[units.count] = 0;
}

void CWideString::AppendSingleByte(const char* bytes, size_t n, const char16_t* table) {
  if (n > SIZE_MAX / sizeof(char16_t) - units.count) throw std::bad_alloc();
  ReserveText(units.count + n);
  for (size_t i = 0; i < n; i++) units.data[units.count++] = table[static_cast<uint8_t>(bytes[i])];
  units.data[units.count] = 0;
}

void CWideString::Erase(size_t position, size_t n) {
  if (position >= units.count) return;
  if (n > units.count - position) n = units.count - position;
  units.Erase(position, position + n);
  units.data[units.count] = 0;
}

void CWideString::Clear() {
  units.count = 0;
  if (units.data) units.data[0] = 0;
}

// clang-format off
const char16_t g_Cp1251Table[256] = {
  0x0000, 0x0001, 0x0002, 0x0003, 0x0004, 0x0005, 0x0006, 0x0007, 0x0008, 0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x000E, 0x000F,
  0x0010, 0x0011, 0x0012, 0x0013, 0x0014, 0x0015, 0x0016, 0x0017, 0x0018, 0x0019, 0x001A, 0x001B, 0x001C, 0x001D, 0x001E, 0x001F,
  0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027, 0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,
  0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,
  0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047, 0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F,
  0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057, 0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F,
  0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067, 0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,
  0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077, 0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x007F,
  0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
  0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x003F, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
  0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
  0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
  0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
  0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
  0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
  0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};
// clang-format on

namespace {

// The case-fold table as the amount added to each changed unit. Every unit
// of the five ranges that no row names folds to itself. The rows depart from
// Unicode in places (U+0130, the Georgian and Armenian rows, no U+0400 or
// U+040D, ...) and must stay exactly so: map files are sorted by them.
struct TFoldRow {
  char16_t first;
  char16_t last;
  int delta;
  bool everySecond;  // only first, first + 2, ... up to last
};

// clang-format off
constexpr TFoldRow kFoldRows[] = {
  {0x0041, 0x005A, 32, false}, {0x00C0, 0x00D6, 32, false}, {0x00D8, 0x00DE, 32, false},
  {0x0391, 0x03A1, 32, false}, {0x03A3, 0x03AB, 32, false}, {0x0410, 0x042F, 32, false},
  {0xFF21, 0xFF3A, 32, false},

  {0x0100, 0x012E, 1, true}, {0x0132, 0x0136, 1, true}, {0x0139, 0x0147, 1, true},
  {0x014A, 0x0176, 1, true}, {0x0179, 0x017D, 1, true}, {0x0182, 0x0184, 1, true},
  {0x01A0, 0x01A4, 1, true}, {0x01B3, 0x01B5, 1, true}, {0x01CB, 0x01DB, 1, true},
  {0x01DE, 0x01EE, 1, true}, {0x01FA, 0x0216, 1, true}, {0x03E2, 0x03EE, 1, true},
  {0x0460, 0x0480, 1, true}, {0x0490, 0x04BE, 1, true}, {0x04C1, 0x04C3, 1, true},
  {0x04D0, 0x04EA, 1, true}, {0x04EE, 0x04F4, 1, true}, {0x1E00, 0x1E94, 1, true},
  {0x1EA0, 0x1EF8, 1, true},

  {0x0187, 0x0187, 1, false}, {0x018B, 0x018B, 1, false}, {0x0191, 0x0191, 1, false},
  {0x0198, 0x0198, 1, false}, {0x01A7, 0x01A7, 1, false}, {0x01AC, 0x01AC, 1, false},
  {0x01AF, 0x01AF, 1, false}, {0x01B8, 0x01B8, 1, false}, {0x01BC, 0x01BC, 1, false},
  {0x01C5, 0x01C5, 1, false}, {0x01C8, 0x01C8, 1, false}, {0x01F4, 0x01F4, 1, false},
  {0x04C7, 0x04C7, 1, false}, {0x04CB, 0x04CB, 1, false}, {0x04F8, 0x04F8, 1, false},

  {0x01C4, 0x01C4, 2, false}, {0x01C7, 0x01C7, 2, false}, {0x01CA, 0x01CA, 2, false},
  {0x01F1, 0x01F1, 2, false},

  {0x24B6, 0x24CF, 26, false},
  {0x0388, 0x038A, 37, false},
  {0x0386, 0x0386, 38, false},
  {0x0531, 0x0556, 48, false},
  {0x038E, 0x038F, 63, false},
  {0x038C, 0x038C, 64, false},
  {0x0401, 0x040C, 80, false}, {0x040E, 0x040F, 80, false},
  {0x018E, 0x018F, 202, false},
  {0x0190, 0x0190, 203, false},
  {0x018A, 0x018A, 205, false}, {0x0193, 0x0193, 205, false},
  {0x0186, 0x0186, 206, false},
  {0x0194, 0x0194, 207, false},
  {0x0197, 0x0197, 209, false},
  {0x0181, 0x0181, 210, false},
  {0x0196, 0x0196, 211, false}, {0x019C, 0x019C, 211, false},
  {0x019D, 0x019D, 213, false},
  {0x019F, 0x019F, 214, false},
  {0x01B1, 0x01B2, 217, false},
  {0x01A9, 0x01A9, 218, false}, {0x01AE, 0x01AE, 218, false},
  {0x01B7, 0x01B7, 219, false},

  {0x1F08, 0x1F0F, -8, false}, {0x1F18, 0x1F1D, -8, false}, {0x1F28, 0x1F2F, -8, false},
  {0x1F38, 0x1F3F, -8, false}, {0x1F48, 0x1F4D, -8, false}, {0x1F68, 0x1F6F, -8, false},
  {0x1F88, 0x1F8F, -8, false}, {0x1F98, 0x1F9F, -8, false}, {0x1FA8, 0x1FAF, -8, false},
  {0x1FB8, 0x1FB9, -8, false}, {0x1FD8, 0x1FD9, -8, false}, {0x1FE8, 0x1FE9, -8, false},
  {0x1F59, 0x1F5F, -8, true},

  {0x10F6, 0x10FF, -48, false},
  {0x0178, 0x0178, -121, false},
  {0x0130, 0x0130, -199, false},
};
// clang-format on

struct TRangeBounds {
  char16_t first;
  char16_t last;
};
constexpr TRangeBounds kFoldRanges[kCaseFoldRangeCount] = {
    {0x0000, 0x058F}, {0x10D0, 0x10FF}, {0x1E00, 0x1FEF}, {0x24B0, 0x24CF}, {0xFF20, 0xFF3F}};

constexpr size_t RangeOffset(size_t range) {
  size_t offset = 0;
  for (size_t i = 0; i < range; i++) offset += kFoldRanges[i].last - kFoldRanges[i].first + 1u;
  return offset;
}
constexpr size_t kFoldEntries = RangeOffset(kCaseFoldRangeCount);

// Built at compile time; a row outside the ranges, or two rows naming the
// same unit, stops the build.
constexpr std::array<char16_t, kFoldEntries> BuildFoldData() {
  std::array<char16_t, kFoldEntries> data{};
  std::array<bool, kFoldEntries> named{};
  for (size_t r = 0; r < kCaseFoldRangeCount; r++) {
    for (unsigned u = kFoldRanges[r].first; u <= kFoldRanges[r].last; u++) {
      data[RangeOffset(r) + (u - kFoldRanges[r].first)] = char16_t(u);
    }
  }
  for (const TFoldRow& row : kFoldRows) {
    size_t r = 0;
    while (r < kCaseFoldRangeCount && !(row.first >= kFoldRanges[r].first && row.last <= kFoldRanges[r].last)) r++;
    if (r == kCaseFoldRangeCount) throw "fold row outside the table";
    for (unsigned u = row.first; u <= row.last; u += row.everySecond ? 2 : 1) {
      size_t i = RangeOffset(r) + (u - kFoldRanges[r].first);
      if (named[i]) throw "unit named twice";
      named[i] = true;
      data[i] = char16_t(int(u) + row.delta);
    }
  }
  return data;
}

constexpr std::array<char16_t, kFoldEntries> kFoldData = BuildFoldData();
static_assert(kFoldEntries == 1424 + 48 + 496 + 32 + 32);

}  // namespace

const TCaseFoldRange g_CaseFoldTable[kCaseFoldRangeCount] = {
    {kFoldRanges[0].first, kFoldRanges[0].last, kFoldData.data() + RangeOffset(0)},
    {kFoldRanges[1].first, kFoldRanges[1].last, kFoldData.data() + RangeOffset(1)},
    {kFoldRanges[2].first, kFoldRanges[2].last, kFoldData.data() + RangeOffset(2)},
    {kFoldRanges[3].first, kFoldRanges[3].last, kFoldData.data() + RangeOffset(3)},
    {kFoldRanges[4].first, kFoldRanges[4].last, kFoldData.data() + RangeOffset(4)},
};

int CompareNoCase(const char16_t* a, const char16_t* b) {
  for (;; a++, b++) {
    char16_t fa = FoldCase(*a), fb = FoldCase(*b);
    if (fa != fb) return fa < fb ? -1 : 1;
    if (!fa) return 0;
  }
}

int CompareNoCaseN(const char16_t* a, size_t lengthA, const char16_t* b, size_t lengthB) {
  size_t n = lengthA < lengthB ? lengthA : lengthB;
  for (size_t i = 0; i < n; i++) {
    char16_t fa = FoldCase(a[i]), fb = FoldCase(b[i]);
    if (fa != fb) return fa < fb ? -1 : 1;
    if (!fa) return 0;
  }
  return lengthA < lengthB ? -1 : (lengthA > lengthB ? 1 : 0);
}

char16_t DecodeUtf8Char(const char*& cursor, size_t available) {
  const auto* p = reinterpret_cast<const uint8_t*>(cursor);
  uint8_t lead = p[0];
  if (lead < 0x80) {
    cursor++;
    return lead;
  }
  size_t length;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
  } else {
    // A stray continuation byte or a byte that never occurs in UTF-8: on its
    // own, so that the bytes after it still decode.
    cursor++;
    return u'?';
  }
  // A lead byte whose sequence breaks off early gives '?' for the lead and
  // the continuation bytes read so far; the byte that broke it decodes next.
  for (size_t i = 1; i < length; i++) {
    if (i >= available) return 0;  // cut short by the end
    if ((p[i] & 0xC0) != 0x80) {
      cursor += i;
      return u'?';
    }
  }
  cursor += length;
  switch (length) {
    case 2:
      return char16_t((lead & 0x1F) << 6 | (p[1] & 0x3F));
    case 3:
      return char16_t((lead & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
    default:
      return u'?';  // beyond the 16-bit range
  }
}

CWideString Cp1251ToWide(const char* text) {
  CWideString result;
  result.AppendSingleByte(text, std::strlen(text), g_Cp1251Table);
  return result;
}

bool ParseWideInt(const char16_t* text, int32_t& value, const char16_t*& end) {
  while (*text == u' ') text++;
  end = text;
  bool negative = false;
  if (*text == u'-' || *text == u'+') negative = *text++ == u'-';
  value = 0;
  if (*text < u'0' || *text > u'9') return false;
  for (; *text >= u'0' && *text <= u'9'; text++) {
    if (value >= 214748364) {
      end = text;
      return false;
    }
    value = value * 10 + (*text - u'0');
  }
  if (negative) value = -value;
  while (*text == u' ') text++;
  end = text;
  return true;
}

namespace {
int HexDigit(char16_t unit) {
  char16_t f = FoldCase(unit);
  if (f >= u'0' && f <= u'9') return f - u'0';
  if (f >= u'a' && f <= u'f') return f - u'a' + 10;
  return -1;
}
}  // namespace

bool ParseWideHex(const char16_t* text, uint32_t& value, const char16_t*& end) {
  while (*text == u' ') text++;
  end = text;
  value = 0;
  if (HexDigit(*text) < 0) return false;
  for (int digit; (digit = HexDigit(*text)) >= 0; text++) value = value * 16 + uint32_t(digit);
  end = text;
  return true;
}
