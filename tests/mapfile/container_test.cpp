// The container from hand-built images: header and directory bytes, the
// plain and block layouts, and the checker on every file saved here.
#include <snappy.h>

#include <cstring>

#include "mapfile/container.h"
#include "qxtest.h"

using namespace ZorvaneMap;
using namespace qxtest;

namespace {

struct TImage {
  CMemStream image;
  TMapDirectory directory;
};

void Text(CMemStream& s, size_t units, uint16_t first) {
  s.WriteU16(static_cast<uint16_t>(units));
  for (size_t i = 0; i < units; i++) s.WriteU16(static_cast<uint16_t>(first + i % 26));
}

// A valid image: section 1 with a name of nameUnits units, empty sections
// 2-11, and a tags table whose one type holds `words` pseudo-random words.
void BuildImage(TImage& t, size_t nameUnits, size_t words) {
  CMemStream& s = t.image;
  s.Seek(kMapImageStart);
  Text(s, nameUnits, 'A');
  Text(s, 0, 0);
  Text(s, 0, 0);
  s.WriteU8(2);
  s.WriteU8(24);
  s.WriteU8(20);
  if (s.GetPos() % 2) s.WriteU8(0);
  Text(s, 3, 'u');
  t.directory[0] = {kMapImageStart, static_cast<uint32_t>(s.GetPos() - kMapImageStart), 1};
  while (s.GetPos() % 4) s.WriteU8(0);
  const uint32_t order[] = {10, 11, 7, 3, 2, 4, 5, 6, 8, 9};
  for (uint32_t id : order) t.directory[id - 1] = {static_cast<uint32_t>(s.GetPos()), 0, id};
  uint32_t start = static_cast<uint32_t>(s.GetPos());
  s.WriteU32(1);
  s.WriteU32(5);
  s.WriteU32(start + 12);
  s.WriteU32(static_cast<uint32_t>(words));
  uint32_t seed = 12345;
  for (size_t i = 0; i < words; i++) {
    seed = seed * 1103515245 + 12345;
    size_t n = 1 + (seed >> 16) % 9;
    s.WriteU16(static_cast<uint16_t>(n));
    for (size_t j = 0; j < n; j++) {
      seed = seed * 1103515245 + 12345;
      s.WriteU16(static_cast<uint16_t>('a' + (seed >> 16) % 5));
    }
  }
  t.directory[11] = {start, static_cast<uint32_t>(s.GetPos() - start), 12};
}

std::vector<std::string> g_Saved;  // every file saved here, checked at the end

std::vector<uint8_t> Save(const TImage& t, bool compress, const std::string& name) {
  std::string path = TempPath("container/" + name);
  g_Saved.push_back(path);
  CreatePathDirectories(path);
  CFileWriteStream file(0x100000);
  EXPECT_TRUE(file.Open(path.c_str(), false));
  SaveCompressedMapFile(t.image, t.directory, file, compress);
  EXPECT_TRUE(file.Close());
  return ReadFileBytes(path);
}

// The image from a stored file, decoded independently of the writer.
std::vector<uint8_t> Rebuild(const std::vector<uint8_t>& file, uint32_t sectionOneEnd, uint32_t end) {
  std::vector<uint8_t> image(file.begin(), file.begin() + kMapImageStart);
  if (U32At(file, 32) == 0) return std::vector<uint8_t>(file.begin(), file.begin() + end);
  uint32_t a = std::min<uint32_t>((sectionOneEnd + 1023) / 1024 * 1024, end);
  image.insert(image.end(), file.begin() + kMapImageStart, file.begin() + a);
  uint32_t blocks = end > a ? (end - a + 1023) / 1024 : 0;
  size_t table = file.size() - 4 * blocks;
  for (uint32_t k = 0; k < blocks; k++) {
    uint32_t from = U32At(file, table + 4 * k);
    uint32_t to = k + 1 < blocks ? U32At(file, table + 4 * k + 4) : static_cast<uint32_t>(table);
    size_t length = 0;
    const char* src = reinterpret_cast<const char*>(file.data() + from);
    // The last block's run holds 0-3 padding bytes behind its stream.
    size_t run = to - from;
    EXPECT_TRUE(snappy::GetUncompressedLength(src, run, &length));
    std::string out;
    for (size_t trim = 0; trim < 4 && trim < run; trim++) {
      if (snappy::Uncompress(src, run - trim, &out)) break;
    }
    EXPECT_EQ(out.size(), std::min<size_t>(1024, end - (a + 1024 * k)));
    image.insert(image.end(), out.begin(), out.end());
  }
  return image;
}

TEST(MapContainer, PlainFileIsHeadAndImage) {
  TImage t;
  BuildImage(t, 7, 40);
  std::vector<uint8_t> f = Save(t, false, "plain.qx");
  uint32_t end = t.directory[11].offset + t.directory[11].size;
  ASSERT_EQ(f.size(), end);
  // Header fields, from the format table.
  const uint8_t head[] = {'q', 'z', 'o', 'r', 'v', 'a', 'n', 'e'};
  EXPECT_EQ(std::memcmp(f.data(), head, 8), 0);
  const uint8_t fields[] = {66, 0, 65, 0, 12, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(f.data() + 24, fields, 12), 0);
  for (uint32_t i = 0; i < 12; i++) {
    EXPECT_EQ(U32At(f, 36 + 12 * i), t.directory[i].offset);
    EXPECT_EQ(U32At(f, 40 + 12 * i), t.directory[i].size);
    EXPECT_EQ(U32At(f, 44 + 12 * i), i + 1);
  }
  const uint8_t tail[] = {0, 0, 0, 0, 0, 0, 166, 0};
  EXPECT_EQ(std::memcmp(f.data() + 180, tail, 8), 0);
  EXPECT_EQ(std::memcmp(f.data() + 188, t.image.Data() + 188, end - 188), 0);
}

TEST(MapContainer, BlockLayouts) {
  struct TCase {
    const char* name;
    size_t nameUnits;  // section 1 ends at 200 + 2 x nameUnits
    size_t words;
  } cases[] = {
      {"s1_on_boundary.qx", 412, 900},  // section 1 ends at 1024: the blocks start there
      {"s1_inside.qx", 100, 900},        // raw area up to 1024, then blocks
      {"no_blocks.qx", 100, 3},          // the image ends before A
      {"one_block.qx", 412, 1},          // a single short block
      {"s1_past_1024.qx", 500, 3000},    // raw area up to 2048
  };
  for (const TCase& c : cases) {
    TImage t;
    BuildImage(t, c.nameUnits, c.words);
    uint32_t s1End = t.directory[0].offset + t.directory[0].size;
    uint32_t end = t.directory[11].offset + t.directory[11].size;
    std::vector<uint8_t> plain = Save(t, false, std::string("plain_") + c.name);
    std::vector<uint8_t> packed = Save(t, true, c.name);
    EXPECT_EQ(U32At(packed, 32), 1024u) << c.name;
    EXPECT_EQ(packed.size() % 4, 0u) << c.name;
    std::vector<uint8_t> image = Rebuild(packed, s1End, end);
    ASSERT_EQ(image.size(), plain.size()) << c.name;
    // Equal from 24 on: bytes 24-35 differ only in the block size field.
    EXPECT_TRUE(std::equal(image.begin() + 36, image.end(), plain.begin() + 36)) << c.name;
    if (end <= 1024 && s1End < 1024) {
      EXPECT_EQ(packed.size(), (end + 3) / 4 * 4u) << c.name;
    }
  }
}

TEST(MapContainer, SavedTwiceIsIdentical) {
  TImage t;
  BuildImage(t, 30, 2000);
  EXPECT_EQ(Save(t, true, "twice_a.qx"), Save(t, true, "twice_b.qx"));
  EXPECT_EQ(Save(t, false, "twice_c.qx"), Save(t, false, "twice_d.qx"));
}

TEST(MapContainer, SavesIntoMemoryStreamToo) {
  TImage t;
  BuildImage(t, 30, 500);
  CMemStream out;
  SaveCompressedMapFile(t.image, t.directory, out, true);
  std::vector<uint8_t> file = Save(t, true, "mem_twin.qx");
  ASSERT_EQ(out.Size(), file.size());
  EXPECT_EQ(std::memcmp(out.Data(), file.data(), file.size()), 0);
}

TEST(MapContainer, CheckerPassesOnEverySavedFile) {
  ASSERT_FALSE(g_Saved.empty());
  EXPECT_EQ(RunChecker(g_Saved), "");
}

}  // namespace
