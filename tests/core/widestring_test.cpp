#include "core/widestring.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/testutil.h"

namespace {

std::u16string Units(const CWideString& s) { return std::u16string(s.GetText(), s.Length()); }

std::u16string FromUtf8(const std::string& bytes) {
  CWideString s;
  s.AppendUtf8(bytes.data(), bytes.size());
  return Units(s);
}

// Runs a command over the given input bytes and returns its output.
std::string RunFilter(const std::string& command, const std::string& input) {
  std::string dir = TestUtil::MakeTempDir("widestring");
  TestUtil::WriteFile(dir + "in", input);
  std::string cmd = command + " < '" + dir + "in' > '" + dir + "out'";
  if (std::system(cmd.c_str()) != 0) return "";
  return TestUtil::ReadFile(dir + "out");
}

std::u16string FromUtf16LE(const std::string& bytes) {
  std::u16string s;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    s += char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8);
  }
  return s;
}

std::string ToUtf16LE(const std::u16string& s) {
  std::string bytes;
  for (char16_t u : s) {
    bytes += char(u & 0xFF);
    bytes += char(u >> 8);
  }
  return bytes;
}

// ---- Windows-1251 ------------------------------------------------------------

// Every byte of every single-byte code page against the system's iconv, one
// byte a line: a byte iconv drops (-c) is unassigned and must give '?'.
TEST(SingleByteCodePages, EveryByteAgainstIconv) {
  for (uint32_t number : {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258}) {
    const char16_t* table = SingleByteCodePage(number);
    ASSERT_NE(table, nullptr) << number;
    std::string lines;
    for (int b = 1; b < 256; b++) {
      if (b != '\n') lines += {char(b), '\n'};
    }
    std::string command = "{ iconv -c -f CP" + std::to_string(number) + " -t UTF-16LE; true; }";
    std::u16string decoded = FromUtf16LE(RunFilter(command, lines));
    size_t line = 0;
    for (int b = 1; b < 256; b++) {
      if (b == '\n') continue;
      size_t end = decoded.find(u'\n', line);
      ASSERT_NE(end, std::u16string::npos) << number << " iconv failed";
      std::u16string expected = end == line ? u"?" : decoded.substr(line, end - line);
      ASSERT_EQ(expected.size(), 1u) << number << " " << b;
      EXPECT_EQ(table[b], expected[0]) << number << " " << std::hex << b;
      line = end + 1;
    }
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table['\n'], u'\n');
  }
  EXPECT_EQ(SingleByteCodePage(1251), g_Cp1251Table);
  EXPECT_EQ(g_Cp1251Table[0x98], u'?');  // unassigned in the code page
  for (uint32_t other : {0, 437, 1200, 1249, 1259, 65001}) EXPECT_EQ(SingleByteCodePage(other), nullptr) << other;
}

TEST(Cp1251, ConversionReturnsItsOwnString) {
  CWideString a = Cp1251ToWide("\xC0\xB8\x88\x98z");
  CWideString b = Cp1251ToWide("\xCC\xEE\xF1\xEA\xE2\xE0");  // a second call leaves the first intact
  EXPECT_EQ(Units(a), u"\u0410\u0451\u20AC?z");
  EXPECT_EQ(Units(b), u"Москва");
  EXPECT_EQ(a.GetText()[a.Length()], 0);
  EXPECT_EQ(Units(Cp1251ToWide("")), u"");
}

// ---- UTF-8 -----------------------------------------------------------------

TEST(Utf8, EveryBmpCodePointRoundTripsThroughIconv) {
  std::u16string all;
  for (unsigned u = 1; u <= 0xFFFF; u++) {
    if (u < 0xD800 || u > 0xDFFF) all += char16_t(u);
  }
  std::string utf8 = RunFilter("iconv -f UTF-16LE -t UTF-8", ToUtf16LE(all));
  ASSERT_FALSE(utf8.empty()) << "iconv failed";
  EXPECT_TRUE(FromUtf8(utf8) == all);
}

TEST(Utf8, SurrogateUnitsPassAsThreeByteSequences) {
  // Not valid UTF-8, but a lone surrogate written as such keeps its unit.
  EXPECT_EQ(FromUtf8("\xED\xA0\x80"), std::u16string(1, char16_t(0xD800)));
  EXPECT_EQ(FromUtf8("\xED\xBF\xBF"), std::u16string(1, char16_t(0xDFFF)));
}

TEST(Utf8, WellFormedAndMalformedInput) {
  const struct {
    std::string bytes;
    std::u16string units;
  } cases[] = {
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"?"},                // above U+FFFF: one '?'
      {"\xF0\x9F\x98\x80" "A", u"?A"},
      {"A\xC3", u"A"},                           // cut short by the end: stops
      {"A\xE2\x82", u"A"},
      {"A\xF0\x9F\x98", u"A"},
      {std::string("A\0B", 3), u"A"},            // NUL stops
      {"A\xC0\x80" "B", u"A"},                   // an overlong NUL stops too
      {"\x80" "ABC", u"?ABC"},                   // a stray continuation byte stands alone
      {"\xBF\xBF" "A", u"??A"},
      {"x\x80", u"x?"},
      {"\xC3" "A", u"?A"},                       // a broken sequence keeps the byte that broke it
      {"\xE2" "AB", u"?AB"},
      {"\xE2\x82" "A", u"?A"},
      {"\xF0\x9F" "AB", u"?AB"},
      {"\xE2" "A", u"?A"},                       // broken before the end counts as broken, not cut short
      {"\xFF" "A", u"?A"},
      {"\xF8\x88\x80\x80\x80" "A", u"?????A"},
      {"\xC3\xA9\xC3", u"\u00E9"},
  };
  for (const auto& c : cases) {
    std::string hex;
    for (char b : c.bytes) {
      char h[4];
      std::snprintf(h, sizeof h, "%02X ", uint8_t(b));
      hex += h;
    }
    EXPECT_TRUE(FromUtf8(c.bytes) == c.units) << hex;
  }
}

TEST(Utf8, DecodeMovesTheCursor) {
  const char text[] = "\xE2\x82\xAC\x80z";
  const char* cursor = text;
  EXPECT_EQ(DecodeUtf8Char(cursor, 5), 0x20AC);
  EXPECT_EQ(cursor, text + 3);
  EXPECT_EQ(DecodeUtf8Char(cursor, 2), u'?');
  EXPECT_EQ(cursor, text + 4);
  cursor = text;
  EXPECT_EQ(DecodeUtf8Char(cursor, 2), 0);  // cut short: no move
  EXPECT_EQ(cursor, text);
}

TEST(Utf8, AppendsToExistingText) {
  CWideString s;
  s.AppendChar(u'x');
  s.AppendUtf8("\xD0\xB6y", 3);
  EXPECT_EQ(Units(s), u"xжy");
  EXPECT_EQ(s.GetText()[s.Length()], 0);
}

// ---- Case folding ----------------------------------------------------------

TEST(CaseFold, ChangedUnitsByAmount) {
  std::map<int, int> byDelta;
  int changed = 0;
  for (unsigned u = 0; u <= 0xFFFF; u++) {
    int d = int(FoldCase(char16_t(u))) - int(u);
    if (d) {
      byDelta[d]++;
      changed++;
    }
  }
  EXPECT_EQ(changed, 641);
  const std::map<int, int> expected = {
      {32, 140}, {1, 289 + 15}, {2, 4},   {26, 26},  {37, 3},   {38, 1},   {48, 38},  {63, 2},   {64, 1},
      {80, 14},  {202, 2},      {203, 1}, {205, 2},  {206, 1},  {207, 1},  {209, 1},  {210, 1},  {211, 2},
      {213, 1},  {214, 1},      {217, 2}, {218, 2},  {219, 1},  {-8, 78},  {-48, 10}, {-121, 1}, {-199, 1}};
  EXPECT_EQ(byDelta, expected);
}

TEST(CaseFold, RowEndsAndDeliberateDepartures) {
  const struct {
    char16_t unit, folded;
  } cases[] = {
      {u'A', u'a'}, {u'Z', u'z'}, {u'a', u'a'}, {u'@', u'@'}, {u'[', u'['},
      {0x00C0, 0x00E0}, {0x00D7, 0x00D7}, {0x00DE, 0x00FE}, {0x00DF, 0x00DF},
      {0x0100, 0x0101}, {0x0101, 0x0101}, {0x012E, 0x012F}, {0x0130, u'i'}, {0x0131, 0x0131},
      {0x0178, 0x00FF}, {0x017F, 0x017F}, {0x0181, 0x0253}, {0x01B7, 0x0292},
      {0x01C4, 0x01C6}, {0x01C5, 0x01C6}, {0x01C6, 0x01C6}, {0x01F1, 0x01F3}, {0x01F2, 0x01F2},
      {0x0216, 0x0217}, {0x0218, 0x0218},  // Romanian comma letters stay
      {0x00B5, 0x00B5}, {0x0386, 0x03AC}, {0x038C, 0x03CC}, {0x038F, 0x03CE}, {0x0391, 0x03B1},
      {0x03A2, 0x03A2}, {0x03AB, 0x03CB}, {0x03C2, 0x03C2}, {0x03E2, 0x03E3},
      {0x0400, 0x0400}, {0x0401, 0x0451}, {0x040C, 0x045C}, {0x040D, 0x040D}, {0x040E, 0x045E},
      {0x0410, 0x0430}, {0x042F, 0x044F}, {0x0430, 0x0430}, {0x0490, 0x0491}, {0x04C0, 0x04C0},
      {0x04C1, 0x04C2}, {0x04F8, 0x04F9}, {0x0531, 0x0561}, {0x0556, 0x0586}, {0x0590, 0x0590},
      {0x10D0, 0x10D0}, {0x10F5, 0x10F5}, {0x10F6, 0x10C6}, {0x10FF, 0x10CF},
      {0x1E00, 0x1E01}, {0x1E94, 0x1E95}, {0x1E9E, 0x1E9E}, {0x1EA0, 0x1EA1}, {0x1EF8, 0x1EF9},
      {0x1F08, 0x1F00}, {0x1F59, 0x1F51}, {0x1F5A, 0x1F5A}, {0x1F5F, 0x1F57}, {0x1FBC, 0x1FBC},
      {0x1FE9, 0x1FE1}, {0x2160, 0x2160}, {0x212A, 0x212A},
      {0x24B5, 0x24B5}, {0x24B6, 0x24D0}, {0x24CF, 0x24E9},
      {0xFF20, 0xFF20}, {0xFF21, 0xFF41}, {0xFF3A, 0xFF5A}, {0xFF41, 0xFF41}, {0xFFFF, 0xFFFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(int(FoldCase(c.unit)), int(c.folded)) << std::hex << "U+" << int(c.unit);
  }
}

TEST(CaseFold, TableRangesAreTheFiveOfTheFormat) {
  const unsigned bounds[kCaseFoldRangeCount][2] = {
      {0x0000, 0x058F}, {0x10D0, 0x10FF}, {0x1E00, 0x1FEF}, {0x24B0, 0x24CF}, {0xFF20, 0xFF3F}};
  for (size_t i = 0; i < kCaseFoldRangeCount; i++) {
    EXPECT_EQ(g_CaseFoldTable[i].first, bounds[i][0]);
    EXPECT_EQ(g_CaseFoldTable[i].last, bounds[i][1]);
  }
}

TEST(CaseFold, Comparisons) {
  EXPECT_EQ(CompareNoCase(u"abc", u"ABD"), -1);
  EXPECT_EQ(CompareNoCase(u"ABD", u"abc"), 1);
  EXPECT_EQ(CompareNoCase(u"Straße", u"STRAßE"), 0);
  EXPECT_EQ(CompareNoCase(u"", u""), 0);
  EXPECT_EQ(CompareNoCase(u"ab", u"abc"), -1);
  EXPECT_EQ(CompareNoCase(u"\uFF41", u"a"), 1);      // unsigned order of the folded units
  EXPECT_EQ(CompareNoCase(u"\u0401", u"\u0435"), 1);  // Ё folds to ё, not to е
  EXPECT_EQ(CompareNoCaseN(u"ab", 2, u"ABc", 3), -1);
  EXPECT_EQ(CompareNoCaseN(u"ab", 2, u"AB", 2), 0);
  EXPECT_EQ(CompareNoCaseN(u"abc", 3, u"AB", 2), 1);
  EXPECT_EQ(CompareNoCaseN(u"abX", 2, u"ABY", 2), 0);
  EXPECT_EQ(CompareNoCaseN(u"a\0x", 3, u"A\0y", 3), 0);  // a 0 in both ends the scan
  EXPECT_EQ(CompareNoCaseN(u"", 0, u"a", 1), -1);
}

// ---- Numbers ---------------------------------------------------------------

TEST(ParseWideInt, Cases) {
  const struct {
    const char16_t* text;
    bool ok;
    int32_t value;
    size_t end;
  } cases[] = {
      {u"  -12  x", true, -12, 7},  {u"2147483647", false, 214748364, 9}, {u"2147483639", true, 2147483639, 10},
      {u"-2147483639", true, -2147483639, 11}, {u"+", false, 0, 0}, {u"  +7", true, 7, 4},
      {u"", false, 0, 0},          {u"  x", false, 0, 2},               {u"- 5", false, 0, 0},
      {u"007", true, 7, 3},        {u"12abc", true, 12, 2},             {u"5\t", true, 5, 1},
      {u"99999999999", false, 999999999, 9},
  };
  for (const auto& c : cases) {
    int32_t value = -1;
    const char16_t* end = nullptr;
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(ParseWideInt(c.text, value, end), c.ok);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(end - c.text, ptrdiff_t(c.end));
  }
}

TEST(ParseWideHex, Cases) {
  const struct {
    const char16_t* text;
    bool ok;
    uint32_t value;
    size_t end;
  } cases[] = {
      {u" 1aF", true, 0x1AF, 4}, {u"g", false, 0, 0}, {u"FFFFFFFFF", true, 0xFFFFFFFF, 9},
      {u"123456789", true, 0x23456789, 9}, {u"  ", false, 0, 2}, {u"2a00 ", true, 0x2A00, 4},
      {u"0x10", true, 0, 1}, {u"-1", false, 0, 0}, {u"\uFF21", false, 0, 0},
  };
  for (const auto& c : cases) {
    uint32_t value = 1;
    const char16_t* end = nullptr;
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(ParseWideHex(c.text, value, end), c.ok);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(end - c.text, ptrdiff_t(c.end));
  }
}

// ---- The string itself -----------------------------------------------------

TEST(WideString, NeverAssignedReadsEmpty) {
  CWideString s;
  ASSERT_NE(s.GetText(), nullptr);
  EXPECT_EQ(s.GetText()[0], 0);
  EXPECT_EQ(s.Length(), 0u);
  CWideString copy(s);
  EXPECT_EQ(copy.GetText()[0], 0);
}

TEST(WideString, EditsKeepTheTerminator) {
  CWideString s(u"hello", 5);
  s.AppendChar(u'!');
  EXPECT_EQ(Units(s), u"hello!");
  EXPECT_EQ(s.GetText()[6], 0);
  s.Erase(1, 2);
  EXPECT_EQ(Units(s), u"hlo!");
  EXPECT_EQ(s.GetText()[4], 0);
  s.Erase(2, 1000);  // clamped to the end
  EXPECT_EQ(Units(s), u"hl");
  EXPECT_EQ(s.GetText()[2], 0);
  s.Erase(5, 1);     // past the end: nothing
  s.Erase(0, SIZE_MAX);
  EXPECT_EQ(Units(s), u"");
  s.Assign(u"ab", 2);
  s.Clear();
  EXPECT_EQ(s.GetText()[0], 0);
}

TEST(WideString, AppendOfItselfAndOfItsOwnUnits) {
  CWideString s(u"abc", 3);
  for (int i = 0; i < 6; i++) s.Append(s);  // each time the storage has to grow
  EXPECT_EQ(s.Length(), 3u << 6);
  for (size_t i = 0; i < s.Length(); i++) ASSERT_EQ(s[i], u"abc"[i % 3]) << i;
  EXPECT_EQ(s.GetText()[s.Length()], 0);

  CWideString t(u"xyz", 3);
  t.Append(t.GetText() + 1, 2);
  EXPECT_EQ(Units(t), u"xyzyz");
  t.Assign(t.GetText() + 2, 3);  // a part of itself
  EXPECT_EQ(Units(t), u"zyz");
}

TEST(WideString, CopiesAreIndependent) {
  CWideString a(u"one", 3);
  CWideString b(a);
  CWideString c;
  c = a;
  a.AppendChar(u'!');
  EXPECT_EQ(Units(b), u"one");
  EXPECT_EQ(Units(c), u"one");
  CWideString d(std::move(a));
  EXPECT_EQ(Units(d), u"one!");
}

}  // namespace
