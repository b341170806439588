#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/layersconfig.h"
#include "support/testutil.h"

namespace {

std::string WriteTemp(const char* name, const std::string& text) {
  static const std::string dir = TestUtil::MakeTempDir("layers");
  TestUtil::WriteFile(dir + name, text);
  return dir + name;
}

std::vector<int> Levels(const CLayersConfig& c) { return std::vector<int>(c.levels.begin(), c.levels.end()); }

::testing::AssertionResult HasRange(const CLayersConfig& c, TLayerKind kind, uint32_t type, int from, int to) {
  const TLayerRange* r = c.Find(kind, type);
  if (!r) return ::testing::AssertionFailure() << "type " << std::hex << type << " missing";
  if (r->from != from || r->to != to)
    return ::testing::AssertionFailure() << "range " << int(r->from) << "-" << int(r->to);
  return ::testing::AssertionSuccess();
}

TEST(LayersConfig, DocumentedExample) {
  CLayersConfig c;
  std::string path = WriteTemp("example.txt",
                               "level0=24\nlevel1=22\nlevel2=20\n[POI]\n2a00,0,1\n2a00,1,1\n[polyline]\n1,0,2\n");
  ASSERT_TRUE(LoadLayersConfig(c, path.c_str()));
  EXPECT_EQ(Levels(c), (std::vector<int>{24, 22, 20}));
  EXPECT_TRUE(HasRange(c, LayerPoi, 0x2a00, 0, 1));  // the first line of a type wins
  EXPECT_EQ(c.Find(LayerPolyline, 1), nullptr);        // 2 + 1 is not below 3
  EXPECT_EQ(c.Find(LayerPolygon, 0x2a00), nullptr);
  EXPECT_TRUE(c.InUse());
}

TEST(LayersConfig, LevelTables) {
  struct TCase {
    const char* text;
    bool loads;
    std::vector<int> levels;
  } cases[] = {
      {"level0=24\n", false, {24}},
      {"level5=20\n", true, {0, 0, 0, 0, 0, 20}},
      {"level0=24\nlevel1=0\nlevel1=256\nlevel-1=3\nlevels=3\n", false, {24}},
      {"level0=24\nlevel1=22\nlevel1=21\n", true, {24, 21}},  // a later line overwrites
      {"LEVEL0=24\r\nLevel1 = 22\r\n", true, {24, 22}},
      {"level256=3\nlevel0=1\nlevel1=2\n", true, {1, 2}},
      {"\xEF\xBB\xBFlevel0=24\nlevel1=22\n", true, {24, 22}},  // a byte-order mark is skipped
      {"; level0=24\nlevel0=24\nlevel1=18\n", true, {24, 18}},
      {"", false, {}},
  };
  int i = 0;
  for (const TCase& t : cases) {
    CLayersConfig c;
    std::string path = WriteTemp(("levels" + std::to_string(i++)).c_str(), t.text);
    EXPECT_EQ(LoadLayersConfig(c, path.c_str()), t.loads) << t.text;
    EXPECT_EQ(Levels(c), t.levels) << t.text;
  }
}

TEST(LayersConfig, TableLines) {
  CLayersConfig c;
  std::string path = WriteTemp("tables.txt",
                               "level0=24\nlevel1=22\nlevel2=20\n"
                               "[polygon]\n"
                               "1,0,-1\n"           // would wrap an unsigned check to level 255
                               "2,1,0\n"            // backwards
                               "3,-1,1\n"           // negative from
                               "4,0,1,junk\n"       // extra text after the three numbers is ignored
                               "5 ,0,1\n"           // no blank allowed before ','
                               "0x6,1,1\n"          // hexadecimal with prefix
                               "1ffffffff,0,1\n"    // not a 32-bit type
                               "ffffffff,0,0\n"
                               "7,0\n"
                               "[other]\n"
                               "8,0,1\n"            // no table selected
                               "level3=18\n"        // counts again once deselected
                               "[POLYGON]\n"
                               "9,0,2\n");
  ASSERT_TRUE(LoadLayersConfig(c, path.c_str()));
  EXPECT_EQ(Levels(c), (std::vector<int>{24, 22, 20, 18}));
  EXPECT_EQ(c.Find(LayerPolygon, 1), nullptr);
  EXPECT_EQ(c.Find(LayerPolygon, 2), nullptr);
  EXPECT_EQ(c.Find(LayerPolygon, 3), nullptr);
  EXPECT_TRUE(HasRange(c, LayerPolygon, 4, 0, 1));
  EXPECT_EQ(c.Find(LayerPolygon, 5), nullptr);
  EXPECT_TRUE(HasRange(c, LayerPolygon, 6, 1, 1));
  EXPECT_TRUE(HasRange(c, LayerPolygon, 0xffffffffu, 0, 0));
  EXPECT_EQ(c.Find(LayerPolygon, 7), nullptr);
  EXPECT_EQ(c.Find(LayerPolygon, 8), nullptr);
  EXPECT_TRUE(HasRange(c, LayerPolygon, 9, 0, 2));  // checked against the longer table
}

TEST(LayersConfig, LongLineComesInPieces) {
  // A long line is cut at the end of the 1024-byte buffer; the rest comes
  // as a line of its own, here a valid level line (10 + 1014 = 1024).
  std::string line(1014, 'x');
  line += "level1=22";
  CLayersConfig c;
  std::string path = WriteTemp("long.txt", "level0=24\n" + line + "\n");
  ASSERT_TRUE(LoadLayersConfig(c, path.c_str()));
  EXPECT_EQ(Levels(c), (std::vector<int>{24, 22}));
}

TEST(LayersConfig, MissingFileAndReset) {
  CLayersConfig c;
  EXPECT_FALSE(LoadLayersConfig(c, (TestUtil::MakeTempDir("layers-none") + "none.txt").c_str()));
  std::string path = WriteTemp("reset.txt", "level0=24\nlevel1=22\n[poi]\n10,0,0\n");
  ASSERT_TRUE(LoadLayersConfig(c, path.c_str()));
  EXPECT_TRUE(HasRange(c, LayerPoi, 0x10, 0, 0));
  c.Reset();
  EXPECT_FALSE(c.InUse());
  EXPECT_EQ(c.Find(LayerPoi, 0x10), nullptr);
}

}  // namespace
