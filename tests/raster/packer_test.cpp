// The raster tile packer on small tile trees, checked through the test-side
// .qxr reader: names, sizes, the decoded-PNG path, tree shapes, volumes and
// failed writes.
#include "raster/packer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>

#include "raster/pngtestutil.h"
#include "raster/qxrreader.h"
#include "support/testutil.h"

namespace {

using PngTest::TBytes;

void PutTile(const std::string& path, const TBytes& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  PngTest::WriteFileBytes(path, bytes);
}

TBytes Filler(size_t n, uint8_t seed) {
  TBytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

struct TPacked {
  uint32_t count;
  std::string error;
};

TPacked Pack(const std::string& tiles, const std::string& out, uint64_t limit = kMaxVolumeSize) {
  TRasterPackContext context;
  context.volumeLimit = limit;
  TPacked r{0, "(unset)"};
  r.count = PackRasterTiles(context, tiles, out, &r.error);
  return r;
}

QxrTest::TFile ReadQxr(const std::string& path) { return QxrTest::Read(PngTest::ReadFileBytes(path)); }

using TPlace = std::tuple<unsigned, uint32_t, uint32_t>;  // level, x, y

std::map<TPlace, QxrTest::TTile> ByPlace(const QxrTest::TFile& f) {
  std::map<TPlace, QxrTest::TTile> m;
  for (const QxrTest::TTile& t : f.tiles) m[{t.level, t.x, t.y}] = t;
  return m;
}

// A PNG of stored deflate blocks, so no compressor is needed: RGB with
// r = x, g = y, b = x ^ y, or grey x ^ y; padded with an ancillary chunk to
// `size` bytes when asked.
TBytes TestPng(uint32_t width, uint32_t height, bool grey = false, size_t size = 0) {
  TBytes lines;
  for (uint32_t y = 0; y < height; y++) {
    lines.push_back(0);
    for (uint32_t x = 0; x < width; x++) {
      if (grey) lines.push_back(static_cast<uint8_t>(x ^ y));
      else lines.insert(lines.end(), {static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(x ^ y)});
    }
  }
  TBytes png = PngTest::MakePng({width, height, 8, static_cast<uint8_t>(grey ? 0 : 2)}, PngTest::StoredZlib(lines));
  if (size > png.size()) {
    TBytes padded(png.begin(), png.end() - 12);
    PngTest::AppendChunk(padded, "zzPd", TBytes(size - png.size() - 12, 0));
    PngTest::AppendChunk(padded, "IEND", {});
    png = padded;
  }
  return png;
}

// Its pixels as the file must store them: RGB565, little-endian, rows from the top.
TBytes TestPngRgb565(bool grey) {
  TBytes out;
  for (uint32_t y = 0; y < 256; y++) {
    for (uint32_t x = 0; x < 256; x++) {
      uint32_t r = grey ? x ^ y : x, g = grey ? x ^ y : y, b = x ^ y;
      uint16_t p = static_cast<uint16_t>((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
      out.push_back(static_cast<uint8_t>(p));
      out.push_back(static_cast<uint8_t>(p >> 8));
    }
  }
  return out;
}

const QxrTest::TTile& At(std::map<TPlace, QxrTest::TTile>& tiles, unsigned level, uint32_t x, uint32_t y) {
  return tiles[{level, x, y}];
}

TEST(Packer, NoTilesNoFile) {
  std::string dir = TestUtil::MakeTempDir("packer_empty");
  std::filesystem::create_directories(dir + "tiles/osm/z3/1");  // directories but no tile
  PngTest::WriteFileBytes(dir + "tiles/osm/z3/1/readme.txt", {1});
  for (const std::string& tiles : {dir + "tiles/osm/", dir + "tiles/missing/", dir + "tiles/empty"}) {
    TPacked r = Pack(tiles, dir + "out/");
    EXPECT_EQ(r.count, 0u) << tiles;
    EXPECT_EQ(r.error, "No input files") << tiles;
  }
  EXPECT_FALSE(TestUtil::FileExists(dir + "out/osm.qxr"));
}

TEST(Packer, LevelDirectoryAndTileNames) {
  std::string dir = TestUtil::MakeTempDir("packer_names");
  std::string t = dir + "tiles/";
  struct {
    const char* path;
    bool taken;
    TPlace place;
  } entries[] = {
      {"z3/1/7.png", true, {3, 1, 7}},
      {"z3/1/8.png", false, {}},          // 8 >= 2^3
      {"z3/1/7.PNG", false, {}},
      {"z3/1/7", false, {}},
      {"z3/1/7.png.bak", false, {}},
      {"z3/1/.jpg", true, {3, 1, 0}},     // an empty number is 0
      {"z3/1/+2.jpg", true, {3, 1, 2}},
      {"z3/1/ 3.png", true, {3, 1, 3}},   // leading white space
      {"z3/1/4 .png", false, {}},
      {"z3/1/-1.png", false, {}},
      {"z3/1/0x1.png", false, {}},
      {"z3/8/1.png", false, {}},          // x beyond the level
      {"z3/a/1.png", false, {}},
      {"z3/-0/5.png", true, {3, 0, 5}},
      {"z/0/0.png", true, {0, 0, 0}},     // "z" alone is level 0
      {"z23/8388607/8388607.jpg", true, {23, 8388607, 8388607}},
      {"z24/0/0.png", false, {}},
      {"z-1/0/0.png", false, {}},
      {"z5a/0/0.png", false, {}},
      {"zz/0/0.png", false, {}},
      {"Z4/0/0.png", false, {}},
      {"z+4/3/3.png", true, {4, 3, 3}},
  };
  std::map<TPlace, TBytes> expected;
  uint8_t seed = 1;
  for (const auto& e : entries) {
    TBytes bytes = Filler(10 + seed, seed);
    PutTile(t + e.path, bytes);
    if (e.taken) expected[e.place] = bytes;
    seed++;
  }
  // A file where a level directory or an x directory would be, and a
  // directory where a tile would be: ignored.
  PngTest::WriteFileBytes(t + "z6", {1});
  PngTest::WriteFileBytes(t + "z3/2", {1});
  std::filesystem::create_directories(t + "z3/1/6.png");

  TPacked r = Pack(t, dir + "out/");
  ASSERT_EQ(r.count, expected.size()) << r.error;
  QxrTest::TFile f = ReadQxr(dir + "out/tiles.qxr");
  ASSERT_EQ(f.problem, "");
  auto tiles = ByPlace(f);
  ASSERT_EQ(tiles.size(), expected.size());
  for (const auto& [place, bytes] : expected) {
    ASSERT_TRUE(tiles.count(place)) << std::get<0>(place) << "/" << std::get<1>(place) << "/" << std::get<2>(place);
    const QxrTest::TTile& tile = tiles[place];
    EXPECT_TRUE(tile.data == bytes);
    EXPECT_EQ(tile.sizeField, bytes.size());
  }
  EXPECT_TRUE(At(tiles, 3, 1, 0).jpeg);
  EXPECT_FALSE(At(tiles, 3, 1, 7).jpeg);
}

TEST(Packer, TileSizesAndKinds) {
  std::string dir = TestUtil::MakeTempDir("packer_sizes");
  std::string t = dir + "tiles/";
  const TBytes exact = Filler(kMaxStoredTileSize, 3);
  const TBytes png120001 = TestPng(256, 256, true, 120001);
  ASSERT_EQ(png120001.size(), 120001u);
  const TBytes bigPng = TestPng(256, 256);
  ASSERT_GT(bigPng.size(), 120000u);
  PutTile(t + "z4/0/0.png", exact);
  PutTile(t + "z4/0/1.jpg", exact);
  PutTile(t + "z4/0/2.png", png120001);
  PutTile(t + "z4/0/3.png", bigPng);
  PutTile(t + "z4/0/4.png", TestPng(512, 512));           // decodable, but not 256 x 256
  PutTile(t + "z4/0/5.jpg", Filler(120001, 9));           // a large JPEG
  PutTile(t + "z4/0/6.png", Filler(120001, 9));           // not a PNG at all
  PutTile(t + "z4/0/7.png", {});                          // empty
  PutTile(t + "z4/0/8.png", TestPng(256, 255, true, 130000));   // 256 x 255

  TPacked r = Pack(t, dir + "out/");
  ASSERT_EQ(r.count, 9u) << r.error;
  QxrTest::TFile f = ReadQxr(dir + "out/tiles.qxr");
  ASSERT_EQ(f.problem, "");
  auto tiles = ByPlace(f);
  ASSERT_EQ(tiles.size(), 9u);

  EXPECT_TRUE(At(tiles, 4, 0, 0).data == exact);
  EXPECT_EQ(At(tiles, 4, 0, 0).sizeField, 120000u);
  EXPECT_FALSE(At(tiles, 4, 0, 0).jpeg);
  EXPECT_TRUE(At(tiles, 4, 0, 1).data == exact);
  EXPECT_TRUE(At(tiles, 4, 0, 1).jpeg);
  for (uint32_t y : {2u, 3u}) {
    const QxrTest::TTile& tile = At(tiles, 4, 0, y);
    EXPECT_NE(tile.offset, 0u) << y;
    EXPECT_EQ(tile.sizeField, 0u) << y;
    EXPECT_FALSE(tile.jpeg) << y;
    EXPECT_TRUE(tile.data == TestPngRgb565(y == 2)) << y;
  }
  for (uint32_t y : {4u, 5u, 6u, 7u, 8u}) {
    EXPECT_EQ(At(tiles, 4, 0, y).offset, 0u) << y;
    EXPECT_EQ(At(tiles, 4, 0, y).sizeField, 0u) << y;
    EXPECT_FALSE(At(tiles, 4, 0, y).jpeg) << y;
  }
}

// Large tiles are judged by their size and PNG header before they are read:
// 3 GB files (sparse) cost nothing, on any build.
TEST(Packer, LargeFilesAreJudgedBeforeReading) {
  std::string dir = TestUtil::MakeTempDir("packer_large");
  std::string t = dir + "tiles/";
  const uint64_t huge = uint64_t{3} << 30;
  PutTile(t + "z1/0/0.jpg", {0xFF, 0xD8});
  std::filesystem::resize_file(t + "z1/0/0.jpg", huge);
  PutTile(t + "z1/0/1.png", TestPng(256, 256));  // a PNG too long to be a tile
  std::filesystem::resize_file(t + "z1/0/1.png", huge);
  TBytes wide = TestPng(512, 1, true);  // a 512-wide header over 16 MB
  PutTile(t + "z1/1/0.png", wide);
  std::filesystem::resize_file(t + "z1/1/0.png", 16u << 20);
  TPacked r = Pack(t, dir + "out/");
  ASSERT_EQ(r.count, 3u) << r.error;
  QxrTest::TFile f = ReadQxr(dir + "out/tiles.qxr");
  ASSERT_EQ(f.problem, "");
  ASSERT_EQ(f.tiles.size(), 3u);
  for (const QxrTest::TTile& tile : f.tiles) EXPECT_EQ(tile.offset, 0u);
}

// Three tiles with equal x: the top node is the last of them, the other two
// go left (split by y there). Checked against bytes built by hand.
TEST(Packer, TreeOfThreeTilesWithEqualX) {
  std::string dir = TestUtil::MakeTempDir("packer_three");
  std::string t = dir + "tiles/";
  PutTile(t + "z2/3/2.png", {0xA2});
  PutTile(t + "z2/3/0.png", {0xA0});
  PutTile(t + "z2/3/1.jpg", {0xB1, 0xB1});
  TPacked r = Pack(t, dir + "out");
  ASSERT_EQ(r.count, 3u) << r.error;
  TBytes f = PngTest::ReadFileBytes(dir + "out/tiles.qxr");
  ASSERT_EQ(f.size(), 56u + 4 + 480 + 48);

  // Data in order: y0 (left-left), y1 (left), y2 (top).
  EXPECT_TRUE(TBytes(f.begin() + 56, f.begin() + 60) == TBytes({0xA0, 0xB1, 0xB1, 0xA2}));
  auto u32 = [&](size_t at) { return QxrTest::U32(f, at); };
  EXPECT_EQ(u32(32), 56u);
  EXPECT_EQ(u32(36), 4u);
  EXPECT_EQ(u32(44), 60u);
  EXPECT_EQ(u32(48), 480u + 48);
  // Level 2: tree right after the table; y 0..2, x 3..3.
  const size_t entry = 60 + 2 * 20;
  EXPECT_EQ(u32(entry), 60u + 480);
  EXPECT_EQ(u32(entry + 4), 0u);
  EXPECT_EQ(u32(entry + 8), 3u);
  EXPECT_EQ(u32(entry + 12), 2u);
  EXPECT_EQ(u32(entry + 16), 3u);
  for (unsigned level = 0; level < 24; level++) {
    EXPECT_EQ(u32(60 + level * 20), level == 2 ? 540u : 0u) << level;
  }
  const size_t tree = 540;
  // Top: y 2, x 3, size 1, PNG, data at 59, left subtree 32 bytes, no right.
  EXPECT_EQ(u32(tree), 2u | 3u << 23);
  EXPECT_EQ(u32(tree + 4), (3u >> 9) | 1u << 14);
  EXPECT_EQ(u32(tree + 8), 59u);
  EXPECT_EQ(u32(tree + 12), 32u);
  // Left: y 1, size 2, JPEG, data at 57, left subtree 16 bytes.
  EXPECT_EQ(u32(tree + 16), 1u | 3u << 23);
  EXPECT_EQ(u32(tree + 20), 2u << 14 | 0x80000000u);
  EXPECT_EQ(u32(tree + 24), 57u);
  EXPECT_EQ(u32(tree + 28), 16u);
  // Its left: y 0, size 1, data at 56, a leaf.
  EXPECT_EQ(u32(tree + 32), 0u | 3u << 23);
  EXPECT_EQ(u32(tree + 36), 1u << 14);
  EXPECT_EQ(u32(tree + 40), 56u);
  EXPECT_EQ(u32(tree + 44), 0u);
  EXPECT_EQ(ReadQxr(dir + "out/tiles.qxr").problem, "");
}

TEST(Packer, OneTileIsOneNode) {
  std::string dir = TestUtil::MakeTempDir("packer_one");
  PutTile(dir + "osm/z0/0/0.jpg", {1, 2, 3});
  TPacked r = Pack(dir + "osm/", dir + "out/");
  ASSERT_EQ(r.count, 1u) << r.error;
  TBytes f = PngTest::ReadFileBytes(dir + "out/osm.qxr");
  ASSERT_EQ(f.size(), 56u + 3 + 480 + 16);
  EXPECT_TRUE(TBytes(f.begin(), f.begin() + 8) == TBytes({'q', 'x', 'r', 0, 0, 0, 0, 0}));
  EXPECT_EQ(QxrTest::U32(f, 24), 0x00030003u);
  EXPECT_EQ(QxrTest::U32(f, 28), 2u);
  EXPECT_EQ(QxrTest::U32(f, 59), 59u + 480);  // level 0's tree
  EXPECT_EQ(QxrTest::U32(f, 539 + 4), 3u << 14 | 0x80000000u);
  EXPECT_EQ(QxrTest::U32(f, 539 + 8), 56u);
  EXPECT_EQ(QxrTest::U32(f, 539 + 12), 0u);
  EXPECT_EQ(ReadQxr(dir + "out/osm.qxr").problem, "");
}

// Many tiles over several levels: every tree well formed, every tile's bytes
// where its node says.
TEST(Packer, ManyTilesRoundTrip) {
  std::string dir = TestUtil::MakeTempDir("packer_many");
  std::map<TPlace, TBytes> expected;
  uint32_t seed = 7;
  for (int i = 0; i < 400; i++) {
    seed = seed * 1103515245 + 12345;
    unsigned level = 1 + (seed >> 8) % 12;
    uint32_t x = (seed >> 3) % (1u << level) % 40, y = (seed >> 13) % (1u << level);
    TBytes bytes = Filler(1 + (seed >> 20) % 300, static_cast<uint8_t>(i));
    char path[96];
    std::snprintf(path, sizeof path, "tiles/z%u/%u/%u.png", level, x, y);
    PutTile(dir + path, bytes);
    expected[{level, x, y}] = bytes;
  }
  TPacked r = Pack(dir + "tiles/", dir + "out/");
  ASSERT_EQ(r.count, expected.size()) << r.error;
  QxrTest::TFile f = ReadQxr(dir + "out/tiles.qxr");
  ASSERT_EQ(f.problem, "");
  auto tiles = ByPlace(f);
  ASSERT_EQ(tiles.size(), expected.size());
  for (const auto& [place, bytes] : expected) EXPECT_TRUE(tiles[place].data == bytes);
}

// The name that the scan found is the file that is read; one tree per level
// and one tile per place, the first in name order.
TEST(Packer, EachTileReadFromTheFileFound) {
  std::string dir = TestUtil::MakeTempDir("packer_found");
  std::string t = dir + "tiles/";
  PutTile(t + "z05/3/007.png", {0x07});
  PutTile(t + "z5/3/7.png", {0x17});      // the same place again: dropped
  PutTile(t + "z5/3/8.png", {0x08});
  PutTile(t + "z5/4/1.jpg", {0x11});
  PutTile(t + "z5/4/1.png", {0x12});      // beside 1.jpg: dropped
  PutTile(t + "z5/04/2.png", {0x22});
  TPacked r = Pack(t, dir + "out/");
  ASSERT_EQ(r.count, 4u) << r.error;
  QxrTest::TFile f = ReadQxr(dir + "out/tiles.qxr");
  ASSERT_EQ(f.problem, "");
  ASSERT_EQ(f.trees.size(), 1u);  // level 5 only
  auto tiles = ByPlace(f);
  EXPECT_TRUE(At(tiles, 5, 3, 7).data == TBytes({0x07}));
  EXPECT_TRUE(At(tiles, 5, 3, 8).data == TBytes({0x08}));
  EXPECT_TRUE(At(tiles, 5, 4, 1).data == TBytes({0x11}));
  EXPECT_TRUE(At(tiles, 5, 4, 1).jpeg);
  EXPECT_TRUE(At(tiles, 5, 4, 2).data == TBytes({0x22}));
}

TEST(Packer, FileNames) {
  std::string dir = TestUtil::MakeTempDir("packer_filenames");
  PutTile(dir + "tiles/osm/z1/1/1.png", {1});
  struct {
    std::string tiles, out, file;
  } cases[] = {
      {dir + "tiles/osm/", dir + "out1/", dir + "out1/osm.qxr"},
      {dir + "tiles/osm", dir + "out2", dir + "out2/osm.qxr"},  // no separator: as if it had one
      {dir + "tiles//osm//", dir + "out3/", dir + "out3/.qxr"},  // an empty last component
  };
  for (const auto& c : cases) {
    TPacked r = Pack(c.tiles, c.out);
    EXPECT_EQ(r.count, 1u) << c.tiles << " " << r.error;
    QxrTest::TFile f = ReadQxr(c.file);
    EXPECT_EQ(f.problem, "") << c.file;
    ASSERT_EQ(f.tiles.size(), 1u) << c.file;
    EXPECT_TRUE(f.tiles[0].data == TBytes({1})) << c.file;
  }
  // An empty output directory is the current directory.
  std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(chdir(dir.c_str()), 0);
  TPacked r = Pack("tiles/osm", "");
  EXPECT_EQ(r.count, 1u) << r.error;
  EXPECT_TRUE(TestUtil::FileExists(dir + "osm.qxr"));
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

// Volumes: with the limit lowered so that two tiles fill one, five tiles
// make three numbered files; the count is over all of them.
TEST(Packer, VolumesSplitAtTheLimit) {
  std::string dir = TestUtil::MakeTempDir("packer_volumes");
  std::map<TPlace, TBytes> expected;
  for (uint32_t y = 0; y < 5; y++) {
    TBytes bytes = Filler(1000, static_cast<uint8_t>(y));
    PutTile(dir + "osm/z3/2/" + std::to_string(y) + ".png", bytes);
    expected[{3, 2, y}] = bytes;
  }
  // Header, level table and two nodes with their data fill a volume exactly.
  const uint64_t limit = 56 + 480 + 2 * (16 + 1000);
  TPacked r = Pack(dir + "osm/", dir + "out/", limit);
  ASSERT_EQ(r.count, 5u) << r.error;
  EXPECT_FALSE(TestUtil::FileExists(dir + "out/osm.qxr"));
  std::map<TPlace, TBytes> found;
  for (int v = 1; v <= 3; v++) {
    std::string path = dir + "out/osm" + std::to_string(v) + ".qxr";
    QxrTest::TFile f = ReadQxr(path);
    ASSERT_EQ(f.problem, "") << path;
    EXPECT_EQ(f.tiles.size(), v < 3 ? 2u : 1u) << path;
    EXPECT_LE(PngTest::ReadFileBytes(path).size(), limit);
    for (const auto& tile : f.tiles) found[{tile.level, tile.x, tile.y}] = tile.data;
  }
  EXPECT_EQ(found, expected);
  EXPECT_FALSE(TestUtil::FileExists(dir + "out/osm4.qxr"));
  // One byte less and every tile needs its own volume.
  r = Pack(dir + "osm/", dir + "out5/", limit - 1);
  ASSERT_EQ(r.count, 5u) << r.error;
  EXPECT_TRUE(TestUtil::FileExists(dir + "out5/osm5.qxr"));
}

// The same tiles give the same bytes, whatever order they were created in.
TEST(Packer, OutputIsReproducible) {
  std::string dir = TestUtil::MakeTempDir("packer_repro");
  for (int round = 0; round < 2; round++) {
    std::string t = dir + "tiles" + std::to_string(round) + "/";
    for (int i = 0; i < 60; i++) {
      int k = round ? 59 - i : i;
      PutTile(t + "z6/" + std::to_string(k % 5) + "/" + std::to_string(k % 7 + 9 * (k / 35)) + ".png",
              Filler(5 + k, static_cast<uint8_t>(k)));
    }
    TPacked r = Pack(t, dir + "out" + std::to_string(round) + "/");
    ASSERT_GT(r.count, 0u) << r.error;
  }
  TBytes a = PngTest::ReadFileBytes(dir + "out0/tiles0.qxr"), b = PngTest::ReadFileBytes(dir + "out1/tiles1.qxr");
  ASSERT_FALSE(a.empty());
  EXPECT_TRUE(a == b);
}

// A volume that cannot be written is reported and removed; volumes written
// before it stay.
TEST(Packer, FailedWritesLeaveNoFile) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
  std::string dir = TestUtil::MakeTempDir("packer_fail");
  for (uint32_t y = 0; y < 3; y++) PutTile(dir + "osm/z2/1/" + std::to_string(y) + ".png", Filler(2000, 1));

  std::filesystem::create_directories(dir + "out1");
  std::filesystem::create_symlink("/dev/full", dir + "out1/osm.qxr");
  TPacked r = Pack(dir + "osm/", dir + "out1/");
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.error, "Error writing on disk");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir + "out1/osm.qxr")));

  std::filesystem::create_directories(dir + "out2");
  std::filesystem::create_symlink("/dev/full", dir + "out2/osm2.qxr");
  r = Pack(dir + "osm/", dir + "out2/", 56 + 480 + 2 * (16 + 2000));
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.error, "Error writing on disk");
  EXPECT_EQ(ReadQxr(dir + "out2/osm1.qxr").problem, "");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir + "out2/osm2.qxr")));

  // An output directory that cannot be made: a file stands in its way.
  PngTest::WriteFileBytes(dir + "blocked", {1});
  r = Pack(dir + "osm/", dir + "blocked/out/");
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.error, "Error writing on disk");
}

}  // namespace
