#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mapfile/text.h"

using namespace ZorvaneMap;

namespace {

std::vector<uint8_t> Bytes(const CMemStream& s) { return std::vector<uint8_t>(s.Data(), s.Data() + s.Size()); }

TEST(MapText, CountNeverDisagreesWithUnits) {
  struct TCase {
    size_t length;
    int highSurrogateAt;  // -1: none
    size_t stored;
  } cases[] = {
      {0, -1, 0},
      {65535, -1, 65535},
      {65536, -1, 65535},
      {70000, -1, 65535},
      {70000, 65534, 65534},  // a pair across the cut is dropped whole
      {70000, 65533, 65535},  // a pair that ends at the cut stays
      {65535, 65534, 65535},  // fits: nothing cut
  };
  for (const TCase& c : cases) {
    std::u16string text(c.length, u'a');
    if (c.highSurrogateAt >= 0) {
      text[c.highSurrogateAt] = 0xD83D;
      text[c.highSurrogateAt + 1] = 0xDE00;
    }
    EXPECT_EQ(StoredTextLength(text.data(), text.size()), c.stored) << c.length << " " << c.highSurrogateAt;
    CMemStream s;
    WriteTextUnits(s, text.data(), text.size());
    ASSERT_EQ(s.Size(), 2 + 2 * c.stored);
    EXPECT_EQ(s.Data()[0] | s.Data()[1] << 8, static_cast<int>(c.stored));
  }
}

TEST(MapText, LittleEndianUnitsAndPadding) {
  CMemStream s;
  s.WriteU8(0xEE);
  CWideString w(u"\u0410b", 2);
  WriteWideString(s, w);  // odd position: one zero byte first
  EXPECT_EQ(Bytes(s), (std::vector<uint8_t>{0xEE, 0, 2, 0, 0x10, 0x04, 'b', 0}));
  AlignTo4(s);
  EXPECT_EQ(s.Size(), 8u);
  s.WriteU8(1);
  AlignTo4(s);
  EXPECT_EQ(s.Size(), 12u);
  EXPECT_EQ(Bytes(s)[9], 0);
}

TEST(MapText, MapTextsDecodeByTheMapsCodePage) {
  CTextEncoder enc;
  CMemStream s;
  enc.table = nullptr;  // UTF-8
  enc.WriteTitleString(s, "\xC3\xA9" "x");
  enc.table = g_Cp1251Table;
  enc.WriteTitleString(s, "\xC0\xB8");
  enc.WriteTitleString(s, std::string("a\0b", 3));  // a 0 byte ends the text
  enc.WriteTitleString(s, "");
  enc.table = SingleByteCodePage(1250);
  enc.WriteTitleString(s, "\xA3\xF3");
  EXPECT_EQ(Bytes(s), (std::vector<uint8_t>{2, 0, 0xE9, 0, 'x', 0, 2, 0, 0x10, 0x04, 0x51, 0x04, 1, 0, 'a', 0, 0, 0,
                                             2, 0, 0x41, 0x01, 0xF3, 0}));
  const CWideString& url = enc.DecodeUtf8("\xC5\x81");  // whatever the map's table
  EXPECT_EQ(std::u16string(url.GetText(), url.Length()), u"\u0141");
}

}  // namespace
