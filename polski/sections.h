// Sections of a Polish-format (.mp) file: the line classifier, the section
// base with its key=value pairs, the value parsers every section shares, the
// "IMG ID" header and the countries, regions and cities lists.
//
// Ownership: the loader creates one section per bracketed block, feeds it
// the block's pairs and calls Parse at the closing line. The pairs are views
// into the loader's whole-file line buffer and are valid only while it loads;
// a section that outlives the load (the header) has its pairs cleared first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/containers.h"

namespace PolskiFormat {

class CMapObject;

// ---- Line classification ---------------------------------------------------

enum TLineKind {
  LineOther = 0,         // no "=": ignored
  LineComment = 1,       // ";" after leading blanks
  LineSectionStart = 2,  // "[" after leading blanks; the section type is set
  LineSectionEnd = 3,    // "[END" (upper case), whatever follows
  LineKeyValue = 4,      // key=value; key and value are set
};

// Section types: index into the section-name table.
enum TSectionType {
  SectionHeader = 0,       // "IMG ID"
  SectionPolyline = 1,     // "POLYLINE"
  SectionRgn40 = 2,        // "RGN40"
  SectionPOI = 3,          // "POI"
  SectionRgn10 = 4,        // "RGN10"
  SectionRgn20 = 5,        // "RGN20"
  SectionPolygon = 6,      // "POLYGON"
  SectionRgn80 = 7,        // "RGN80"
  SectionRestrict = 8,     // "Restrict"
  SectionCountries = 9,    // "Countries"
  SectionRegions = 10,     // "Regions"
  SectionCities = 11,      // "Cities"
  SectionLanes = 12,       // "Lane Connection"
  SectionUnknown = 13,     // no name matched: the block is dropped
};

// Classifies one 0-terminated line. For a key=value line the key is the text
// from the first non-blank up to the first "=" (blanks before the "=" stay
// in it) and the value is everything behind the "=", 0-terminated by the
// line itself.
TLineKind ClassifyLine(const char* line, int* sectionType, std::string_view* key, const char** value);

// ---- Sections ----------------------------------------------------------------

struct TPair {
  std::string_view key;
  const char* value;  // 0-terminated
};

class CSection {
 public:
  explicit CSection(int type) : Type(type) {}
  virtual ~CSection() = default;
  CSection(const CSection&) = delete;
  CSection& operator=(const CSection&) = delete;

  // Builds what the section stands for from its pairs; false drops it.
  virtual bool Parse() = 0;
  // The map object the section built (object sections only).
  virtual CMapObject* GetObject() { return nullptr; }
  virtual bool IsOwnKey(std::string_view /*key*/) const { return false; }
  // Writes the built record back as .mp key lines (CR LF each).
  virtual void Write(FILE* /*out*/) {}

  CReallocArray<TPair> Pairs;
  int Type;
};

// A section that builds one object or record and owns it until the loader
// takes it; a section dropped unparsed or after a failed Parse frees it.
template <class TRecord>
class CRecordSection : public CSection {
 public:
  using CSection::CSection;
  ~CRecordSection() override { delete Record; }

  TRecord* TakeRecord() {
    TRecord* record = Record;
    Record = nullptr;
    return record;
  }

 protected:
  TRecord* Record = nullptr;
};

// Appends a pair; both texts must stay valid while the section parses.
inline void AppendPair(CSection& section, std::string_view key, const char* value) {
  section.Pairs.PushBack(TPair{key, value});
}

// ---- Shared value parsers ------------------------------------------------------

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// The C library's white space (what strtol and scanf skip).
inline bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Case-insensitive (ASCII) comparisons of a key with a name.
bool TextEquals(std::string_view text, std::string_view name);
bool TextStarts(std::string_view text, std::string_view name);
bool KeyIs(const CSection& section, size_t pair, const char* name, bool prefix);

// Optionally signed decimal at the cursor (leading white space allowed),
// saturated to 32 bits; then blanks, then one separator when it is next
// (0 = none). No digits: the default, and the cursor skips only the blanks.
int32_t ParseNumber(const char*& cursor, int32_t defaultValue, char separator);
// "1", "y" or "Y".
bool ParseFlag(const char* value);

// The C library's conversions, held explicitly to 32 bits. Each skips
// leading white space and an optional sign, and on success leaves the cursor
// behind the last digit; without digits it returns false and leaves the
// cursor alone.
// Signed decimal, saturated at INT32_MIN / INT32_MAX (strtol).
bool ScanInt32(const char*& cursor, int32_t* value);
// Unsigned decimal: a minus negates modulo 2^32; beyond 32 bits gives
// 0xFFFFFFFF (strtoul, scanf "%u").
bool ScanUInt32(const char*& cursor, uint32_t* value);
// Signed, base from the prefix: "0x" hexadecimal, "0" octal, else decimal;
// saturated (strtol with base 0).
bool ScanInt32Prefixed(const char*& cursor, int32_t* value);
// A double as scanf "%lg" reads it (white space, sign, decimal or
// exponent form, inf, nan, hexadecimal); false without a number.
bool ScanDouble(const char*& cursor, double* value);
// A whole value that is a decimal number and nothing else: optional leading
// white space and sign, at least one digit, saturated to 32 bits.
bool ParseWholeNumber(const char* text, int32_t* value);
// Digits only, at least one, to the end of the text; saturated.
bool ParseDigits(std::string_view text, uint32_t* value);
// ParseNumber (no separator) over the tail of a key ("Level" + N).
int32_t ParseKeyNumber(std::string_view tail, int32_t defaultValue);

// Copies a label and rewrites its label codes "~[...]".
void ConvertLabelCodes(const char* source, std::string* out);

// ---- Header ----------------------------------------------------------------------

class CHeaderSection : public CSection {
 public:
  CHeaderSection() : CSection(SectionHeader) {}
  bool Parse() override;

  std::string CodePage;
  std::string LblCoding;
  std::string Name;
  std::string Datum;
  std::string Copyright;
  std::string Revision;
  std::string Country;
  std::string Region;
  uint8_t ElevationInFeet = 1;
  uint8_t LeftSideTraffic = 0;
  // Entry N = coordinate bits of map level N ("LevelN"); unset entries 0.
  CReallocArray<uint8_t> Levels;

  // Level keys above this are ignored: map files keep levels in a byte.
  static constexpr uint32_t kMaxLevel = 255;
};

// ---- Address lists -----------------------------------------------------------------

// One region or city: its name and the 0-based index of its parent country
// or region (0xFFFFFFFF until the index key sets it).
struct TSubAddress {
  std::string Name;
  uint32_t Parent = 0xFFFFFFFF;
};

class CCountriesSection : public CSection {
 public:
  CCountriesSection() : CSection(SectionCountries) {}
  bool Parse() override;

  CReallocArray<std::string> List;
};

class CSubAddressSection : public CSection {
 public:
  using CSection::CSection;
  CReallocArray<TSubAddress> List;

 protected:
  bool ParseList(std::string_view nameKey, std::string_view indexKey);
};

class CRegionsSection : public CSubAddressSection {
 public:
  CRegionsSection() : CSubAddressSection(SectionRegions) {}
  bool Parse() override { return ParseList("Region", "CountryIdx"); }
};

class CCitiesSection : public CSubAddressSection {
 public:
  CCitiesSection() : CSubAddressSection(SectionCities) {}
  bool Parse() override { return ParseList("City", "RegionIdx"); }
};

}  // namespace PolskiFormat
