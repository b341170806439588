// Line classification, the shared value parsers, label codes, the header
// and the address-list sections.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "polski/sections.h"
#include "polski_testutil.h"

using namespace PolskiFormat;

namespace {

TEST(ClassifyLine, Table) {
  struct TCase {
    const char* line;
    TLineKind kind;
    int type;  // section start only
    const char* key;
    const char* value;
  };
  const TCase cases[] = {
      {"[IMG ID]", LineSectionStart, SectionHeader, nullptr, nullptr},
      {"   [POI]", LineSectionStart, SectionPOI, nullptr, nullptr},
      {"[poi]", LineSectionStart, SectionPOI, nullptr, nullptr},
      {"[POLYLINE extra]", LineSectionStart, SectionPolyline, nullptr, nullptr},
      {"[RGN40]", LineSectionStart, SectionRgn40, nullptr, nullptr},
      {"[RGN10]", LineSectionStart, SectionRgn10, nullptr, nullptr},
      {"[RGN20]", LineSectionStart, SectionRgn20, nullptr, nullptr},
      {"[POLYGON]", LineSectionStart, SectionPolygon, nullptr, nullptr},
      {"[RGN80]", LineSectionStart, SectionRgn80, nullptr, nullptr},
      {"[Restrict]", LineSectionStart, SectionRestrict, nullptr, nullptr},
      {"[COUNTRIES]", LineSectionStart, SectionCountries, nullptr, nullptr},
      {"[Regions]", LineSectionStart, SectionRegions, nullptr, nullptr},
      {"[Cities]", LineSectionStart, SectionCities, nullptr, nullptr},
      {"[Lane Connection]", LineSectionStart, SectionLanes, nullptr, nullptr},
      {"[Lane]", LineSectionStart, SectionUnknown, nullptr, nullptr},
      {"[Background]", LineSectionStart, SectionUnknown, nullptr, nullptr},
      {"[", LineSectionStart, SectionUnknown, nullptr, nullptr},
      {"[END]", LineSectionEnd, 0, nullptr, nullptr},
      {"  [END-IMG ID]", LineSectionEnd, 0, nullptr, nullptr},
      {"[ENDLESS=1", LineSectionEnd, 0, nullptr, nullptr},
      {"[end]", LineSectionStart, SectionUnknown, nullptr, nullptr},  // lower case does not close
      {"[End]", LineSectionStart, SectionUnknown, nullptr, nullptr},
      {"; Type=1", LineComment, 0, nullptr, nullptr},
      {"  ;", LineComment, 0, nullptr, nullptr},
      {"no equals sign", LineOther, 0, nullptr, nullptr},
      {"", LineOther, 0, nullptr, nullptr},
      {"Type=0x10", LineKeyValue, 0, "Type", "0x10"},
      {"   Label = A B ", LineKeyValue, 0, "Label ", " A B "},
      {"a=b=c", LineKeyValue, 0, "a", "b=c"},
      {"Empty=", LineKeyValue, 0, "Empty", ""},
      {"=v", LineKeyValue, 0, "", "v"},
      {"\tType=1", LineKeyValue, 0, "\tType", "1"},  // only blanks are skipped
      {"\t;x", LineOther, 0, nullptr, nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.line);
    int type = -1;
    std::string_view key = "unset";
    const char* value = nullptr;
    EXPECT_EQ(ClassifyLine(c.line, &type, &key, &value), c.kind);
    if (c.kind == LineSectionStart) {
      EXPECT_EQ(type, c.type);
    }
    if (c.kind == LineKeyValue) {
      EXPECT_EQ(key, c.key);
      EXPECT_STREQ(value, c.value);
    }
  }
}

TEST(ValueParsers, ParseNumber) {
  struct TCase {
    const char* text;
    int32_t defaultValue;
    char separator;
    int32_t expected;
    const char* rest;
  };
  const TCase cases[] = {
      {"12,5", -1, ',', 12, "5"},
      {"  -7  ,x", -1, ',', -7, "x"},
      {"+7", -1, 0, 7, ""},
      {",3", -1, ',', -1, "3"},
      {"  ,3", 9, ',', 9, "3"},
      {"\t\n3|", 0, '|', 3, ""},
      {"5|6", 0, '|', 5, "6"},
      {"5 6", 0, 0, 5, "6"},
      {"x", 4, ',', 4, "x"},
      {"-", 4, ',', 4, "-"},
      {"", 4, ',', 4, ""},
      {"2147483647", 0, 0, INT32_MAX, ""},
      {"99999999999999999999", 0, 0, INT32_MAX, ""},
      {"-2147483648", 0, 0, INT32_MIN, ""},
      {"-99999999999", 0, 0, INT32_MIN, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    const char* p = c.text;
    EXPECT_EQ(ParseNumber(p, c.defaultValue, c.separator), c.expected);
    EXPECT_STREQ(p, c.rest);
  }
}

TEST(ValueParsers, UnsignedAndPrefixedIntegers) {
  struct TUnsigned {
    const char* text;
    bool ok;
    uint32_t value;
  };
  const TUnsigned unsignedCases[] = {
      {"0", true, 0},
      {"3000000000", true, 3000000000u},
      {"4294967295", true, 0xFFFFFFFFu},
      {"4294967296", true, 0xFFFFFFFFu},  // beyond 32 bits
      {"-1", true, 0xFFFFFFFFu},
      {"-2", true, 0xFFFFFFFEu},
      {" +5x", true, 5},
      {"x5", false, 0},
      {"-", false, 0},
  };
  for (const TUnsigned& c : unsignedCases) {
    SCOPED_TRACE(c.text);
    const char* p = c.text;
    uint32_t v = 0;
    EXPECT_EQ(ScanUInt32(p, &v), c.ok);
    if (c.ok) {
      EXPECT_EQ(v, c.value);
    }
  }
  struct TPrefixed {
    const char* text;
    int32_t value;
    const char* rest;
  };
  const TPrefixed prefixed[] = {
      {"0x10", 16, ""},   {"0X1f", 31, ""},  {"010", 8, ""},          {"10", 10, ""},
      {"09", 0, "9"},     {"0xg", 0, "xg"},  {"-0x10", -16, ""},      {"0xFFFFFFFF", INT32_MAX, ""},
      {" 2F06", 2, "F06"}, {"0x2F06", 0x2F06, ""},
  };
  for (const TPrefixed& c : prefixed) {
    SCOPED_TRACE(c.text);
    const char* p = c.text;
    int32_t v = -99;
    EXPECT_TRUE(ScanInt32Prefixed(p, &v));
    EXPECT_EQ(v, c.value);
    EXPECT_STREQ(p, c.rest);
  }
}

TEST(ValueParsers, WholeNumbersAndDigits) {
  int32_t v;
  EXPECT_TRUE(ParseWholeNumber("12", &v));
  EXPECT_EQ(v, 12);
  EXPECT_TRUE(ParseWholeNumber(" -3", &v));
  EXPECT_EQ(v, -3);
  EXPECT_FALSE(ParseWholeNumber("12 ", &v));
  EXPECT_FALSE(ParseWholeNumber("1a", &v));
  EXPECT_FALSE(ParseWholeNumber("", &v));
  uint32_t u;
  EXPECT_TRUE(ParseDigits("007", &u));
  EXPECT_EQ(u, 7u);
  EXPECT_TRUE(ParseDigits("99999999999", &u));
  EXPECT_EQ(u, 0xFFFFFFFFu);
  EXPECT_FALSE(ParseDigits("", &u));
  EXPECT_FALSE(ParseDigits("+1", &u));
  EXPECT_FALSE(ParseDigits("1 ", &u));
}

TEST(ValueParsers, ParseFlag) {
  for (const char* yes : {"1", "y", "Y"}) EXPECT_TRUE(ParseFlag(yes)) << yes;
  for (const char* no : {"", "0", "N", "n", "yes", "11", "Y "}) EXPECT_FALSE(ParseFlag(no)) << no;
}

TEST(ValueParsers, ScanDoubleForms) {
  struct TCase {
    const char* text;
    bool ok;
    const char* rest;
  };
  const TCase cases[] = {
      {"47.1275781,", true, ","}, {"  -1.5)", true, ")"}, {"1e3", true, ""},   {"1e", true, "e"},
      {".5", true, ""},           {"5.", true, ""},       {"nan", true, ""},   {"-inf", true, ""},
      {"0x1p3", true, ""},        {"-", false, "-"},      {",", false, ","},   {".", false, "."},
      {"x", false, "x"},          {"", false, ""},
      {"0.12345678901234567890123456", true, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    const char* p = c.text;
    double v = 0;
    EXPECT_EQ(ScanDouble(p, &v), c.ok);
    EXPECT_STREQ(p, c.rest);
    if (c.ok) {
      double expected = std::strtod(c.text, nullptr);
      if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(v));
      } else {
        EXPECT_EQ(v, expected);
      }
    }
  }
}

// The fast decimal path must give exactly the double strtod gives.
TEST(ValueParsers, ScanDoubleMatchesStrtod) {
  std::mt19937 random(1234);
  char text[64];
  for (int i = 0; i < 20000; i++) {
    int intDigits = static_cast<int>(random() % 6), fracDigits = static_cast<int>(random() % 19);
    char* p = text;
    if (random() % 2) *p++ = '-';
    for (int d = 0; d < intDigits; d++) *p++ = static_cast<char>('0' + random() % 10);
    *p++ = '.';
    for (int d = 0; d < fracDigits; d++) *p++ = static_cast<char>('0' + random() % 10);
    if (intDigits + fracDigits == 0) *p++ = '0';
    *p = 0;
    const char* cursor = text;
    double v;
    ASSERT_TRUE(ScanDouble(cursor, &v)) << text;
    double expected = std::strtod(text, nullptr);
    ASSERT_EQ(std::memcmp(&v, &expected, sizeof v), 0) << text;
  }
}

TEST(LabelCodes, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"Main~[0x1d]Alt Road", "Main Road"},
      {"A~[0x1e]B", "A B"},
      {"A~[0x1f]B", "A B"},
      {"~[0x1e]B", "B"},  // at the very start: no blank
      {"X~[0x22]Y", "XY"},
      {"~[0x05]CG3", "CG3"},
      {"Tosseta~[0x1f]2847", "Tosseta 2847"},
      {"A~[long code]B", "AB"},
      {"A~[]B", "AB"},
      {"A~[0x1e", "A~[0x1e"},  // no closing bracket
      {"A~", "A~"},
      {"A~[", "A~["},
      {"~[0x2a]~[0x1e]B", "B"},  // codes in a row; the second is then at the start
      {"A~[0x1d]", "A"},
      {"~[0x1d]word rest", " rest"},
      {"A~[0x1E]B", "AB"},  // codes compare exactly
      {"plain ~ [x] text", "plain ~ [x] text"},
      {"", ""},
  };
  for (const auto& [source, expected] : cases) {
    std::string out = "stale";
    ConvertLabelCodes(source, &out);
    EXPECT_EQ(out, expected) << source;
  }
}

TEST(HeaderSection, KeysAndDefaults) {
  PolskiTest::CPairSource source;
  CHeaderSection empty;
  ASSERT_TRUE(empty.Parse());
  EXPECT_EQ(empty.ElevationInFeet, 1);  // feet without the key
  EXPECT_EQ(empty.LeftSideTraffic, 0);
  EXPECT_TRUE(empty.Levels.Empty());

  CHeaderSection h;
  source.Feed(h,
              "CodePage=1251\nLblCoding=9\nName=First\nname=Second\nDatum=W84\nCopyright=(c) x\n"
              "Revision=7\nCountry=C\nRegion=R\nElevation=M\nLeftSideTraffic=Y\n"
              "Level0=24\nLEVEL2=18\nLevels=6\nLevel0=23\nID=88888888\n");
  ASSERT_TRUE(h.Parse());
  EXPECT_EQ(h.CodePage, "1251");
  EXPECT_EQ(h.LblCoding, "9");
  EXPECT_EQ(h.Name, "Second");  // the last repeat wins
  EXPECT_EQ(h.Datum, "W84");
  EXPECT_EQ(h.Copyright, "(c) x");
  EXPECT_EQ(h.Revision, "7");
  EXPECT_EQ(h.Country, "C");
  EXPECT_EQ(h.Region, "R");
  EXPECT_EQ(h.ElevationInFeet, 0);
  EXPECT_EQ(h.LeftSideTraffic, 1);
  ASSERT_EQ(h.Levels.Size(), 3u);
  EXPECT_EQ(h.Levels[0], 23);
  EXPECT_EQ(h.Levels[1], 0);  // never set
  EXPECT_EQ(h.Levels[2], 18);
}

TEST(HeaderSection, FlagValues) {
  struct TCase {
    const char* line;
    uint8_t feet;
    uint8_t left;
  };
  const TCase cases[] = {
      {"Elevation=F", 1, 0}, {"Elevation=f", 1, 0},        {"Elevation=M", 0, 0},
      {"Elevation=feet", 0, 0}, {"LeftSideTraffic=y", 1, 1}, {"LeftSideTraffic=1", 1, 1},
      {"LeftSideTraffic=N", 1, 0}, {"LeftSideTraffic=yes", 1, 0}, {"LeftSideTraffic=", 1, 0},
  };
  for (const TCase& c : cases) {
    PolskiTest::CPairSource source;
    CHeaderSection h;
    source.Feed(h, c.line);
    ASSERT_TRUE(h.Parse());
    EXPECT_EQ(h.ElevationInFeet, c.feet) << c.line;
    EXPECT_EQ(h.LeftSideTraffic, c.left) << c.line;
  }
}

// A huge level key must not grow the table to billions of entries; level
// numbers beyond a byte are ignored and values keep their low 8 bits.
TEST(HeaderSection, LevelKeysAreCapped) {
  PolskiTest::CPairSource source;
  CHeaderSection h;
  source.Feed(h, "Level2000000000=1\nLevel99999999999999=1\nLevel256=1\nLevel-1=5\nLevel255=300\nLevelX=2\n");
  ASSERT_TRUE(h.Parse());
  ASSERT_EQ(h.Levels.Size(), 256u);
  EXPECT_EQ(h.Levels[255], 300 & 0xFF);
  EXPECT_EQ(h.Levels[0], 0);
}

TEST(AddressSections, Countries) {
  struct TCase {
    const char* text;
    bool ok;
    size_t count;
  };
  const TCase cases[] = {
      {"", true, 0},
      {"Country1=A\nCountry2=B~[0x1f]C", true, 2},
      {"country1=A\nCOUNTRY2=B", true, 2},
      {"Country1=A\nCountry3=C", false, 0},
      {"Country2=B", false, 0},
      {"Country=A", false, 0},
      {"Countries1=A", false, 0},
      {"Country1=A\nCountry1=B", false, 0},
      {"Country1=A\nName=B", false, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    PolskiTest::CPairSource source;
    CCountriesSection s;
    source.Feed(s, c.text);
    ASSERT_EQ(s.Parse(), c.ok);
    if (c.ok) {
      ASSERT_EQ(s.List.Size(), c.count);
    }
  }
  PolskiTest::CPairSource source;
  CCountriesSection s;
  source.Feed(s, "Country1=A\nCountry2=B~[0x1f]C");
  ASSERT_TRUE(s.Parse());
  EXPECT_EQ(s.List[1], "B C");  // label codes converted
}

TEST(AddressSections, RegionsAndCities) {
  struct TCase {
    const char* text;
    bool ok;
  };
  const TCase regionCases[] = {
      {"Region1=North\nCountryIdx1=2", true},
      {"Region1=North", true},  // the parent stays unset (the address check refuses it)
      {"Region1=North\nCountryIdx1=0", false},
      {"Region1=North\nCountryIdx2=1", false},  // no region 2 yet
      {"CountryIdx1=1\nRegion1=North", false},
      {"Region1=North\nCountryIdx1=2a", false},
      {"Region1=North\nCountryIdx1=", false},
      {"Region2=North", false},
      {"Region1=North\nCountryIdx=1", false},
      {"Region1=North\nCity1=X", false},
  };
  for (const TCase& c : regionCases) {
    SCOPED_TRACE(c.text);
    PolskiTest::CPairSource source;
    CRegionsSection s;
    source.Feed(s, c.text);
    EXPECT_EQ(s.Parse(), c.ok);
  }
  PolskiTest::CPairSource source;
  CRegionsSection regions;
  source.Feed(regions, "Region1=North\nCountryIdx1=2\nRegion2=South~[0x1e]East\nRegion3=X\nCountryIdx3=1");
  ASSERT_TRUE(regions.Parse());
  ASSERT_EQ(regions.List.Size(), 3u);
  EXPECT_EQ(regions.List[0].Name, "North");
  EXPECT_EQ(regions.List[0].Parent, 1u);
  EXPECT_EQ(regions.List[1].Name, "South East");
  EXPECT_EQ(regions.List[1].Parent, 0xFFFFFFFFu);
  EXPECT_EQ(regions.List[2].Parent, 0u);

  CCitiesSection cities;
  source.Feed(cities, "City1=Town\nRegionIdx1=3\ncity2=Village\nregionidx2=1");
  ASSERT_TRUE(cities.Parse());
  ASSERT_EQ(cities.List.Size(), 2u);
  EXPECT_EQ(cities.List[0].Name, "Town");
  EXPECT_EQ(cities.List[0].Parent, 2u);
  EXPECT_EQ(cities.List[1].Parent, 0u);
  CCitiesSection wrongKey;
  source.Feed(wrongKey, "City1=Town\nCountryIdx1=1");
  EXPECT_FALSE(wrongKey.Parse());
}

}  // namespace
