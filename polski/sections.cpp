#include "polski/sections.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace PolskiFormat {

// ---- Line classification ---------------------------------------------------

namespace {

// Index = section type; the order also decides prefix matches.
constexpr std::string_view kSectionNames[] = {
    "IMG ID", "POLYLINE", "RGN40", "POI", "RGN10", "RGN20", "POLYGON",
    "RGN80", "Restrict", "Countries", "Regions", "Cities", "Lane Connection",
};

// Compares the first name.size() characters of a 0-terminated text.
bool StartsNoCase(const char* text, std::string_view name) {
  for (size_t i = 0; i < name.size(); i++) {
    if (text[i] == 0 || AsciiLower(text[i]) != AsciiLower(name[i])) return false;
  }
  return true;
}

}  // namespace

TLineKind ClassifyLine(const char* line, int* sectionType, std::string_view* key, const char** value) {
  const char* p = line;
  while (*p == ' ') p++;
  if (*p == '[') {
    if (p[1] == 'E' && p[2] == 'N' && p[3] == 'D') return LineSectionEnd;
    int type = SectionUnknown;
    for (int i = 0; i < SectionUnknown; i++) {
      if (StartsNoCase(p + 1, kSectionNames[i])) {
        type = i;
        break;
      }
    }
    *sectionType = type;
    return LineSectionStart;
  }
  if (*p == ';') return LineComment;
  const char* eq = std::strchr(p, '=');
  if (!eq) return LineOther;
  *key = std::string_view(p, static_cast<size_t>(eq - p));
  *value = eq + 1;
  return LineKeyValue;
}

// ---- Shared value parsers ------------------------------------------------------

bool TextEquals(std::string_view text, std::string_view name) {
  if (text.size() != name.size()) return false;
  for (size_t i = 0; i < name.size(); i++) {
    if (AsciiLower(text[i]) != AsciiLower(name[i])) return false;
  }
  return true;
}

bool TextStarts(std::string_view text, std::string_view name) {
  return text.size() >= name.size() && TextEquals(text.substr(0, name.size()), name);
}

bool KeyIs(const CSection& section, size_t pair, const char* name, bool prefix) {
  std::string_view key = section.Pairs[pair].key;
  return prefix ? TextStarts(key, name) : TextEquals(key, name);
}

namespace {

// Sign and digits behind the white space; false (cursor untouched) without a
// digit. The magnitude is capped far above 32 bits so that it cannot wrap.
bool ScanMagnitude(const char*& cursor, bool* negative, uint64_t* magnitude, int base) {
  const char* p = cursor;
  while (IsCSpace(*p)) p++;
  *negative = false;
  if (*p == '+' || *p == '-') *negative = *p++ == '-';
  auto digit = [&base](char c) -> int {
    int d = IsDigit(c) ? c - '0' : (AsciiLower(c) >= 'a' && AsciiLower(c) <= 'z' ? AsciiLower(c) - 'a' + 10 : 99);
    return d < base ? d : -1;
  };
  if (base == 0) {
    base = 10;
    if (p[0] == '0') {
      base = 8;
      if (AsciiLower(p[1]) == 'x') {
        base = 16;
        if (digit(p[2]) >= 0) {
          p += 2;
        } else {
          base = 8;  // "0x" without a hex digit reads as 0
        }
      }
    }
  }
  if (digit(*p) < 0) return false;
  uint64_t v = 0;
  for (int d; (d = digit(*p)) >= 0; p++) {
    if (v < (1ull << 40)) v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  *magnitude = v;
  cursor = p;
  return true;
}

int32_t SaturateSigned(bool negative, uint64_t magnitude) {
  if (negative) return magnitude >= 0x80000000ull ? INT32_MIN : -static_cast<int32_t>(magnitude);
  return magnitude > 0x7FFFFFFFull ? INT32_MAX : static_cast<int32_t>(magnitude);
}

}  // namespace

bool ScanInt32(const char*& cursor, int32_t* value) {
  bool negative;
  uint64_t magnitude;
  if (!ScanMagnitude(cursor, &negative, &magnitude, 10)) return false;
  *value = SaturateSigned(negative, magnitude);
  return true;
}

bool ScanInt32Prefixed(const char*& cursor, int32_t* value) {
  bool negative;
  uint64_t magnitude;
  if (!ScanMagnitude(cursor, &negative, &magnitude, 0)) return false;
  *value = SaturateSigned(negative, magnitude);
  return true;
}

bool ScanUInt32(const char*& cursor, uint32_t* value) {
  bool negative;
  uint64_t magnitude;
  if (!ScanMagnitude(cursor, &negative, &magnitude, 10)) return false;
  if (magnitude > 0xFFFFFFFFull) {
    *value = 0xFFFFFFFFu;
  } else {
    *value = negative ? 0u - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude);
  }
  return true;
}

bool ScanDouble(const char*& cursor, double* value) {
  // Exact powers of ten: a decimal with at most 2^53 as its digits and at
  // most 22 fraction digits converts with one correctly rounded division,
  // the same double strtod gives.
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char* start = cursor;
  while (IsCSpace(*start)) start++;
  const char* p = start;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint64_t mantissa = 0;
  int digits = 0, fraction = 0;
  bool exact = true;
  for (; IsDigit(*p); p++, digits++) {
    if (mantissa >= (1ull << 53) / 10) exact = false;
    mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (*p == '.') {
    for (p++; IsDigit(*p); p++, digits++, fraction++) {
      if (mantissa >= (1ull << 53) / 10) exact = false;
      mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
    }
  }
  char next = AsciiLower(*p);
  bool letter = next >= 'a' && next <= 'z';
  if (digits > 0 && exact && !letter && fraction <= 22) {
    double v = static_cast<double>(mantissa) / kPow10[fraction];
    *value = negative ? -v : v;
    cursor = p;
    return true;
  }
  if (digits == 0 && !letter) return false;
  // Exponents, long digit runs, inf, nan and hexadecimal: the C library.
  char* end = nullptr;
  double v = std::strtod(start, &end);
  if (end == start) return false;
  *value = v;
  cursor = end;
  return true;
}

int32_t ParseNumber(const char*& cursor, int32_t defaultValue, char separator) {
  int32_t v;
  if (!ScanInt32(cursor, &v)) v = defaultValue;
  while (*cursor == ' ') cursor++;
  if (separator != 0 && *cursor == separator) cursor++;
  return v;
}

bool ParseFlag(const char* value) {
  return (value[0] == '1' || value[0] == 'y' || value[0] == 'Y') && value[1] == 0;
}

bool ParseWholeNumber(const char* text, int32_t* value) {
  const char* p = text;
  return ScanInt32(p, value) && *p == 0;
}

bool ParseDigits(std::string_view text, uint32_t* value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

void ConvertLabelCodes(const char* source, std::string* out) {
  size_t n = std::strlen(source);
  out->clear();
  out->reserve(n);
  size_t noCloseFrom = n;  // no "]" at or after this position
  size_t i = 0;
  while (i < n) {
    if (source[i] != '~' || i + 1 >= n || source[i + 1] != '[') {
      out->push_back(source[i++]);
      continue;
    }
    const char* close = i + 2 < noCloseFrom ? static_cast<const char*>(std::memchr(source + i + 2, ']', n - i - 2))
                                            : nullptr;
    if (!close) {
      if (i + 2 < noCloseFrom) noCloseFrom = i + 2;
      out->push_back(source[i++]);
      continue;
    }
    size_t l = static_cast<size_t>(close - source);
    std::string_view code(source + i + 2, l - i - 2);
    if (code.size() == 4 && (code == "0x1e" || code == "0x1f") && !out->empty()) {
      out->push_back(' ');  // the code becomes one blank
      i = l + 1;
    } else if (code == "0x1d") {
      // The code and the word glued to it vanish.
      const char* blank = static_cast<const char*>(std::memchr(source + l + 1, ' ', n - l - 1));
      i = blank ? static_cast<size_t>(blank - source) : n;
    } else {
      i = l + 1;
    }
  }
}

// ---- Header ----------------------------------------------------------------------

// Keys are views, not 0-terminated: parse a terminated copy.
int32_t ParseKeyNumber(std::string_view tail, int32_t defaultValue) {
  char text[64];
  size_t n = tail.size() < sizeof text - 1 ? tail.size() : sizeof text - 1;
  std::memcpy(text, tail.data(), n);
  text[n] = 0;
  const char* p = text;
  return ParseNumber(p, defaultValue, 0);
}

bool CHeaderSection::Parse() {
  struct TTextKey {
    const char* key;
    std::string CHeaderSection::*member;
  };
  static const TTextKey kTextKeys[] = {
      {"CodePage", &CHeaderSection::CodePage},   {"LblCoding", &CHeaderSection::LblCoding},
      {"Name", &CHeaderSection::Name},           {"Datum", &CHeaderSection::Datum},
      {"Copyright", &CHeaderSection::Copyright}, {"Revision", &CHeaderSection::Revision},
      {"Country", &CHeaderSection::Country},     {"Region", &CHeaderSection::Region},
  };
  for (size_t i = 0; i < Pairs.Size(); i++) {
    std::string_view key = Pairs[i].key;
    const char* value = Pairs[i].value;
    bool done = false;
    for (const TTextKey& k : kTextKeys) {
      if (TextEquals(key, k.key)) {
        this->*k.member = value;
        done = true;
        break;
      }
    }
    if (done) continue;
    if (TextEquals(key, "Elevation")) {
      ElevationInFeet = (value[0] == 'f' || value[0] == 'F') && value[1] == 0;
    } else if (TextEquals(key, "LeftSideTraffic")) {
      LeftSideTraffic = ParseFlag(value);
    } else if (TextStarts(key, "Level")) {
      int32_t level = ParseKeyNumber(key.substr(5), -1);
      if (level < 0 || static_cast<uint32_t>(level) > kMaxLevel) continue;
      if (static_cast<size_t>(level) >= Levels.Size()) Levels.ResizeZeroed(static_cast<size_t>(level) + 1);
      const char* p = value;
      int32_t bits = 0;
      ScanInt32(p, &bits);
      Levels[static_cast<size_t>(level)] = static_cast<uint8_t>(bits);
    }
  }
  return true;
}

// ---- Address lists -----------------------------------------------------------------

bool CCountriesSection::Parse() {
  for (size_t i = 0; i < Pairs.Size(); i++) {
    std::string_view key = Pairs[i].key;
    uint32_t n;
    if (!TextStarts(key, "Country") || !ParseDigits(key.substr(7), &n) || n != List.Size() + 1) return false;
    ConvertLabelCodes(Pairs[i].value, List.EmplaceBack());
  }
  return true;
}

bool CSubAddressSection::ParseList(std::string_view nameKey, std::string_view indexKey) {
  for (size_t i = 0; i < Pairs.Size(); i++) {
    std::string_view key = Pairs[i].key;
    uint32_t n;
    if (TextStarts(key, nameKey)) {
      if (!ParseDigits(key.substr(nameKey.size()), &n) || n != List.Size() + 1) return false;
      ConvertLabelCodes(Pairs[i].value, &List.EmplaceBack()->Name);
    } else if (TextStarts(key, indexKey)) {
      if (!ParseDigits(key.substr(indexKey.size()), &n) || n < 1 || n > List.Size()) return false;
      int32_t parent;
      if (!ParseWholeNumber(Pairs[i].value, &parent) || parent <= 0) return false;
      List[n - 1].Parent = static_cast<uint32_t>(parent - 1);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace PolskiFormat
