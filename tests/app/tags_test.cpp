#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/tagsconfig.h"
#include "core/xml.h"
#include "support/testutil.h"

namespace {

std::string WriteTemp(const std::string& name, const std::string& text) {
  static const std::string dir = TestUtil::MakeTempDir("tags");
  TestUtil::WriteFile(dir + name, text);
  return dir + name;
}

std::u16string Words(const CTagsConfig& c, int32_t type) {
  const CWideString* w = c.Find(type);
  return w ? std::u16string(w->GetText(), w->Length()) : u"<none>";
}

std::vector<TTypeRange> Ranges(const char16_t* text, bool* ok) {
  CReallocArray<TTypeRange> r;
  *ok = ParseTypeList(text, r);
  return std::vector<TTypeRange>(r.begin(), r.end());
}

TEST(TagsConfig, TypeLists) {
  struct TCase {
    const char16_t* text;
    bool ok;
    std::vector<TTypeRange> ranges;
  } cases[] = {
      {u"0x2a00-0x2a02, 17", true, {{0x2a00, 0x2a02}, {17, 17}}},
      {u"  17 , 0x10 - 0x11 ", true, {{17, 17}, {0x10, 0x11}}},
      {u"5-3", true, {{5, 3}}},  // walks no type
      {u"-5", true, {{-5, -5}}},
      {u"0X2a00", false, {}},
      {u"1,", false, {}},
      {u" 0x2a00", false, {}},  // blanks only before a decimal first number
      {u"0xffffffff", false, {}},
      {u"-1", false, {}},
      {u"1;2", false, {}},
      {u"", false, {}},
      {u"0-0x7fffffff", false, {}},        // would never end, and exhaust memory
      {u"0x7ffffff0-0x7fffffff", true, {{0x7ffffff0, 0x7fffffff}}},  // ends at the top
      {u"0-0x1ffff", true, {{0, 0x1ffff}}},
  };
  for (const TCase& c : cases) {
    bool ok = false;
    std::vector<TTypeRange> r = Ranges(c.text, &ok);
    EXPECT_EQ(ok, c.ok) << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
    if (ok && c.ok) {
      EXPECT_TRUE(r == c.ranges);
    }
  }
}

TEST(TagsConfig, SplitWords) {
  const char16_t text[] = u"  ab c  ";
  TWordView view{text, 8};
  std::vector<std::u16string> words;
  for (TWordView w = SplitWords(view); w.text; w = SplitWords(view)) words.emplace_back(w.text, w.length);
  EXPECT_EQ(words, (std::vector<std::u16string>{u"ab", u"c", u""}));  // trailing spaces: one empty word
  TWordView empty{text, 0};
  EXPECT_EQ(SplitWords(empty).length, 0u);
  EXPECT_EQ(SplitWords(empty).text, nullptr);
}

TEST(TagsConfig, LoadsAndMergesWords) {
  CTagsConfig c;
  std::string path = WriteTemp("tags.xml",
                               "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n"
                               "<TAGS version=\"1.00\">\n"
                               "  <poi type=\"0x2a00-0x2a01\"><tag>cafe bar</tag><tag>Bar pub</tag></poi>\n"
                               "  <poi type=\"0x2a01, 7\"><TAG text=\"late\"/><tag></tag></poi>\n"
                               "  <poi type=\"5-3\"><tag>never</tag></poi>\n"
                               "  <poi type=\"1,\"><tag>bad list</tag></poi>\n"
                               "  <poi><tag>no type</tag></poi>\n"
                               "  <other type=\"9\"><tag>ignored</tag></other>\n"
                               "  <poi type=\"0x7fffffff\"><tag>top</tag></poi>\n"
                               "</TAGS>\n");
  ASSERT_TRUE(LoadTagsConfig(c, path.c_str()));
  EXPECT_EQ(Words(c, 0x2a00), u"cafe bar pub");  // "Bar" repeats "bar": dropped with its space
  EXPECT_EQ(Words(c, 0x2a01), u"cafe bar pub late");
  EXPECT_EQ(Words(c, 7), u"late");
  EXPECT_EQ(Words(c, 5), u"<none>");
  EXPECT_EQ(Words(c, 1), u"<none>");
  EXPECT_EQ(Words(c, 9), u"<none>");
  EXPECT_EQ(Words(c, 0x7fffffff), u"top");
  c.Reset();
  EXPECT_EQ(Words(c, 0x2a00), u"<none>");
}

TEST(TagsConfig, RefusedFiles) {
  const char* bad[] = {
      "<tags version=\"1.0\"></tags>",
      "<tags version=\"1.000\"></tags>",
      "<tags></tags>",
      "<tag version=\"1.00\"></tag>",
  };
  int i = 0;
  for (const char* text : bad) {
    CTagsConfig c;
    std::string path = WriteTemp("bad" + std::to_string(i++) + ".xml", text);
    EXPECT_FALSE(LoadTagsConfig(c, path.c_str())) << text;
  }
  CTagsConfig c;
  EXPECT_FALSE(LoadTagsConfig(c, (TestUtil::MakeTempDir("tags-missing") + "none.xml").c_str()));
  // A malformed file is not caught here: it ends the run through main's guard.
  std::string path = WriteTemp("malformed.xml", "<tags version=\"1.00\"><poi type=\"1\"></tags>");
  EXPECT_THROW(LoadTagsConfig(c, path.c_str()), XML::CWrongXMLException);
}

std::vector<uint8_t> Table(const CTagsConfig& c, uint64_t at) {
  CMemStream s;
  s.Seek(at);
  WriteTagsTable(c, s);
  return std::vector<uint8_t>(s.Data() + at, s.Data() + s.Size());
}

TEST(TagsConfig, TableGoldenBytes) {
  // Entries 5 ("a bc") and 7 ("d") at image position 1002: two zero bytes,
  // count 2 at 1004, table at 1008: (5, 1024) and (7, 1038); block of 5 at
  // 1024 (2 words: 1 "a", 2 "bc"), block of 7 at 1038 (1 word: 1 "d"), end 1046.
  CTagsConfig c;
  c.Add(7, u"d", 1);
  c.Add(5, u"a bc", 4);
  const std::vector<uint8_t> expected = {
      0, 0,                                             // 1002: pad
      2, 0, 0, 0,                                       // 1004: count
      5, 0, 0, 0, 0x00, 0x04, 0, 0,                     // 1008: type 5 at 1024
      7, 0, 0, 0, 0x0E, 0x04, 0, 0,                     // 1016: type 7 at 1038
      2, 0, 0, 0, 1, 0, 'a', 0, 2, 0, 'b', 0, 'c', 0,   // 1024
      1, 0, 0, 0, 1, 0, 'd', 0,                         // 1038
  };
  std::vector<uint8_t> got = Table(c, 1002);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(1002 + got.size(), 1046u);
}

TEST(TagsConfig, TableEdgeCases) {
  CTagsConfig empty;
  EXPECT_EQ(Table(empty, 1001), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0}));  // pad and a count of 0
  CTagsConfig c;
  c.Add(-3, u"x ", 2);  // ends in a space: one extra word of length 0
  EXPECT_EQ(Table(c, 0), (std::vector<uint8_t>{1, 0, 0, 0, 0xFD, 0xFF, 0xFF, 0xFF, 12, 0, 0, 0,  //
                                               2, 0, 0, 0, 1, 0, 'x', 0, 0, 0}));
  // A word beyond 65535 units is cut there; its count matches its units.
  CTagsConfig big;
  std::u16string word(70000, u'w');
  big.Add(1, word.data(), word.size());
  std::vector<uint8_t> t = Table(big, 0);
  ASSERT_EQ(t.size(), 4 + 8 + 4 + 2 + 2 * 65535u);
  EXPECT_EQ(t[16] | t[17] << 8, 65535);
}

}  // namespace
