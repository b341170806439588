// Map files written by the writer, read back through the page cache: the
// image byte for byte, the header fields, levels, trees and bounds decoded
// here from the file layout, and the load results of damaged files.
#include <gtest/gtest.h>
#include <snappy.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/config.h"
#include "core/log.h"
#include "mapfile/reader.h"
#include "mapfile/writer.h"
#include "qxtest.h"

using namespace ZorvaneMap;
using namespace qxtest;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string& Dir() {
  static const std::string dir = TestUtil::MakeTempDir("reader");
  return dir;
}

void PutU32(Bytes& b, size_t p, uint32_t v) {
  for (int i = 0; i < 4; i++) b[p + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutU16(Bytes& b, size_t p, uint16_t v) {
  b[p] = static_cast<uint8_t>(v);
  b[p + 1] = static_cast<uint8_t>(v >> 8);
}
void WriteBytes(const std::string& path, const Bytes& b) { TestUtil::WriteFile(path, std::string(b.begin(), b.end())); }

// ---- The file layout, decoded here ------------------------------------------

uint32_t ImageEnd(const Bytes& file) {
  uint32_t end = 0;
  for (uint32_t i = 0; i < 12; i++) end = std::max(end, U32At(file, 36 + 12 * i) + U32At(file, 40 + 12 * i));
  return end;
}

struct TLayout {
  uint32_t end = 0, rawEnd = 0, blocks = 0;
  size_t table = 0;
};

TLayout Layout(const Bytes& file, uint32_t rawArea = 0) {
  TLayout l;
  l.end = ImageEnd(file);
  uint32_t s1 = U32At(file, 36) + U32At(file, 40);
  if (rawArea == 0) rawArea = (s1 + 1023) / 1024 * 1024;
  l.rawEnd = std::min(rawArea, l.end);
  l.blocks = (l.end - l.rawEnd + 1023) / 1024;
  l.table = file.size() - 4 * l.blocks;
  return l;
}

// The image of a stored file: the file itself when plain; else the raw area
// and every block unpacked (the last one's run ends in 0-3 padding bytes).
Bytes DecodeImage(const Bytes& file, uint32_t rawArea = 0) {
  if (U32At(file, 32) == 0) return Bytes(file.begin(), file.begin() + ImageEnd(file));
  TLayout l = Layout(file, rawArea);
  Bytes image(file.begin(), file.begin() + l.rawEnd);
  for (uint32_t k = 0; k < l.blocks; k++) {
    uint32_t from = U32At(file, l.table + 4 * k);
    size_t to = k + 1 < l.blocks ? U32At(file, l.table + 4 * k + 4) : l.table;
    std::string out;
    for (size_t trim = 0; trim < 4; trim++) {
      if (snappy::Uncompress(reinterpret_cast<const char*>(file.data() + from), to - from - trim, &out)) break;
    }
    EXPECT_EQ(out.size(), std::min<size_t>(1024, l.end - image.size()));
    image.insert(image.end(), out.begin(), out.end());
  }
  return image;
}

// What the loader should learn, from the image.
struct TExpected {
  uint32_t version = 0;
  Bytes id;
  uint32_t offsets[12] = {};
  uint32_t levelCount = 0;
  Bytes levels;
  uint32_t roots[20] = {};
  CGeoRect bounds;
};

TExpected Expect(const Bytes& image) {
  TExpected e;
  e.version = U16At(image, 24);
  e.id.assign(image.begin() + 8, image.begin() + 24);
  for (uint32_t i = 0; i < U32At(image, 28); i++) {
    uint32_t id = U32At(image, 44 + 12 * i);
    if (id >= 1 && id <= 12 && U32At(image, 40 + 12 * i) != 0) e.offsets[id - 1] = U32At(image, 36 + 12 * i);
  }
  size_t p = e.offsets[0];
  for (int t = 0; t < 3; t++) p += 2 + 2 * U16At(image, p);
  e.levelCount = std::min<uint32_t>(image[p], 11);
  e.levels.assign(image.begin() + p + 1, image.begin() + p + 1 + e.levelCount);
  const uint32_t sections[2] = {5, 6}, places[2] = {10, 0};
  for (int s = 0; s < 2; s++) {
    size_t q = e.offsets[sections[s] - 1];
    if (q == 0) continue;
    for (uint32_t level = 0; level + 1 < e.levelCount; level++) {
      CGeoRect r{static_cast<int32_t>(U32At(image, q)), static_cast<int32_t>(U32At(image, q + 4)),
                 static_cast<int32_t>(U32At(image, q + 8)), static_cast<int32_t>(U32At(image, q + 12))};
      if (!r.IsEmpty()) {
        e.roots[places[s] + level] = static_cast<uint32_t>(q);
        e.bounds.Extend(r);
      }
      uint32_t children = image[q + 16];
      q += 16 + 4 + 20 * children + U32At(image, q + 16 + 20 * children);
    }
  }
  return e;
}

void CheckFields(const CMapFile& map, const TExpected& e, const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(map.GetVersion(), e.version);
  EXPECT_EQ(Bytes(map.GetMapId(), map.GetMapId() + 16), e.id);
  for (uint32_t id = 1; id <= 12; id++) EXPECT_EQ(map.GetSectionOffset(id), e.offsets[id - 1]) << "section " << id;
  EXPECT_EQ(map.GetLevelCount(), e.levelCount);
  EXPECT_EQ(Bytes(map.GetLevels(), map.GetLevels() + map.GetLevelCount()), e.levels);
  for (uint32_t level = 0; level < 10; level++) {
    EXPECT_EQ(map.GetItemTreeRoot(level), e.roots[level]) << "level " << level;
    EXPECT_EQ(map.GetPolylineTreeRoot(level), e.roots[10 + level]) << "level " << level;
  }
  EXPECT_EQ(map.GetBounds(), e.bounds);
}

// ---- Maps written by the writer -----------------------------------------------

struct TWritten {
  std::string name;
  std::string plainPath, packedPath;
  Bytes plain, packed;
};

// Each map is loaded anew for each write: the writer changes the map.
TWritten WriteBoth(const std::string& mpPath, const std::string& name) {
  TWritten w;
  w.name = name;
  w.plainPath = Dir() + name + "-plain.qx";
  w.packedPath = Dir() + name + ".qx";
  g_Log.enabled = false;
  for (bool compress : {false, true}) {
    CConverterConfig config;
    PolskiFormat::CMap map;
    EXPECT_EQ(map.LoadFile(mpPath.c_str(), nullptr), nullptr) << mpPath;
    CMapWriter writer;
    EXPECT_TRUE(WriteMapFile(writer, map, compress ? w.packedPath : w.plainPath, config, compress, nullptr));
  }
  g_Log.enabled = true;
  w.plain = ReadFileBytes(w.plainPath);
  w.packed = ReadFileBytes(w.packedPath);
  return w;
}

// A map big enough for many blocks and pages; `levels` levels.
std::string GeneratedMap(const std::string& name, int objects, int levels) {
  std::string text = "[IMG ID]\nName=Generated " + name + "\nLevels=" + std::to_string(levels) + "\n";
  for (int l = 0; l < levels; l++) text += "Level" + std::to_string(l) + "=" + std::to_string(24 - l) + "\n";
  text += "[END-IMG ID]\n";
  std::mt19937 rng(objects);
  auto coord = [&](double base) { return std::to_string(base + (rng() % 100000) / 1e6); };
  for (int i = 0; i < objects; i++) {
    std::string label = "Object " + std::to_string(i) + " " + std::to_string(rng());
    int endLevel = static_cast<int>(rng() % (levels - 1));
    switch (i % 3) {
      case 0:
        text += "[POI]\nType=0x2a00\nLabel=" + label + "\nEndLevel=" + std::to_string(endLevel) + "\nData0=(" +
                coord(45) + "," + coord(13) + ")\n[END]\n";
        break;
      case 1: {
        text += "[POLYLINE]\nType=0x6\nLabel=" + label + "\nEndLevel=" + std::to_string(endLevel) + "\nData0=";
        int points = 2 + static_cast<int>(rng() % 12);
        for (int k = 0; k < points; k++) text += std::string(k ? "," : "") + "(" + coord(45) + "," + coord(13) + ")";
        text += "\n[END]\n";
        break;
      }
      default: {
        double x = 13 + (rng() % 100000) / 1e6, y = 45 + (rng() % 100000) / 1e6;
        text += "[POLYGON]\nType=0x4e\nLabel=" + label + "\nData0=(" + std::to_string(y) + "," + std::to_string(x) +
                "),(" + std::to_string(y + 0.001) + "," + std::to_string(x) + "),(" + std::to_string(y + 0.001) +
                "," + std::to_string(x + 0.002) + ")\n[END]\n";
      }
    }
  }
  std::string path = Dir() + name + ".mp";
  TestUtil::WriteFile(path, text);
  return path;
}

const std::vector<TWritten>& Maps() {
  static const std::vector<TWritten> maps = [] {
    std::vector<TWritten> m;
    const std::string src = ORLUMO_SOURCE_DIR;
    m.push_back(WriteBoth(src + "/tests/polski/data/fixture.mp", "fixture"));
    m.push_back(WriteBoth(src + "/examples/maps/crossing.mp", "crossing"));
    m.push_back(WriteBoth(src + "/examples/maps/harbour.mp", "harbour"));
    m.push_back(WriteBoth(GeneratedMap("generated", 1500, 4), "generated"));
    m.push_back(WriteBoth(GeneratedMap("twelve", 200, 12), "twelve"));
    return m;
  }();
  return maps;
}

const TWritten& Generated() { return Maps()[3]; }

// Reads through the map, at random and across every page and block edge,
// against the image.
void CheckReads(CMapFile& map, const Bytes& image, uint32_t rawEnd, uint32_t seed, int count) {
  CLockGuard guard(map.GetCache()->Lock());
  ASSERT_EQ(map.GetSize(), image.size());
  Bytes all(image.size());
  map.Seek(0);
  map.Read(all.data(), all.size());
  ASSERT_TRUE(all == image) << "whole image";
  std::vector<uint32_t> edges = {rawEnd};
  for (uint32_t b = 1024; b <= image.size(); b += 1024) edges.push_back(b);
  edges.push_back(static_cast<uint32_t>(image.size()));
  for (uint32_t e : edges) {
    uint32_t from = e >= 7 ? e - 7 : 0, to = std::min<uint32_t>(e + 7, static_cast<uint32_t>(image.size()));
    map.Seek(from);
    const uint8_t* p = map.GetData(to - from);
    ASSERT_TRUE(std::equal(p, p + (to - from), image.begin() + from)) << "edge " << e;
  }
  std::mt19937 rng(seed);
  const uint64_t maxSpan = (map.GetCache()->SlotCapacity() - 2) * 1024ull;
  for (int i = 0; i < count; i++) {
    uint64_t n = rng() % 5 == 0 ? rng() % std::min<uint64_t>(maxSpan, 4000) : rng() % 64;
    n = std::min<uint64_t>(n, image.size());
    uint64_t from = rng() % (image.size() - n + 1);
    map.Seek(from);
    Bytes out(n);
    if (rng() % 2) {
      map.Read(out.data(), n);
    } else if (n) {
      std::memcpy(out.data(), map.GetData(n), n);
    }
    ASSERT_TRUE(std::equal(out.begin(), out.end(), image.begin() + from)) << from << " + " << n;
  }
}

TEST(MapReader, WrittenMapsReadBackByteForByte) {
  for (const TWritten& w : Maps()) {
    SCOPED_TRACE(w.name);
    const Bytes packedImage = DecodeImage(w.packed);
    // The decoded image is the plain file's, but for the block size field and the digest.
    ASSERT_EQ(packedImage.size(), w.plain.size());
    EXPECT_TRUE(std::equal(packedImage.begin() + 36, packedImage.end(), w.plain.begin() + 36));
    for (uint32_t slots : {CStreamCache::kDefaultSlots, 6u}) {
      CStreamCache cache(slots);
      CMapFile plain, packed;
      ASSERT_EQ(plain.Open(w.plainPath.c_str(), &cache), CMapFile::LoadOk);
      ASSERT_EQ(packed.Open(w.packedPath.c_str(), &cache), CMapFile::LoadOk);
      CheckFields(plain, Expect(w.plain), "plain");
      CheckFields(packed, Expect(packedImage), "packed");
      EXPECT_EQ(packed.GetFileName(), w.name + ".qx");
      CheckReads(plain, w.plain, static_cast<uint32_t>(w.plain.size()), slots, 1500);
      CheckReads(packed, packedImage, Layout(w.packed).rawEnd, slots, 1500);
    }
  }
}

TEST(MapReader, TwelveLevelsReadAsEleven) {
  const TWritten& w = Maps()[4];
  CStreamCache cache;
  CMapFile map;
  ASSERT_EQ(map.Open(w.packedPath.c_str(), &cache), CMapFile::LoadOk);
  EXPECT_EQ(map.GetLevelCount(), 11u);
  EXPECT_EQ(map.GetLevels()[10], 14u);
  EXPECT_NE(map.GetItemTreeRoot(9), 0u);
}

TEST(MapReader, SeveralMapsShareASmallCache) {
  CStreamCache cache(24);
  struct TOpen {
    std::unique_ptr<CMapFile> map;
    Bytes image;
  };
  std::vector<TOpen> open;
  for (const TWritten& w : Maps()) {
    for (bool packed : {false, true}) {
      TOpen o{std::make_unique<CMapFile>(), packed ? DecodeImage(w.packed) : w.plain};
      ASSERT_EQ(o.map->Open((packed ? w.packedPath : w.plainPath).c_str(), &cache), CMapFile::LoadOk);
      open.push_back(std::move(o));
    }
  }
  std::mt19937 rng(7);
  CLockGuard guard(cache.Lock());
  for (int i = 0; i < 6000; i++) {
    TOpen& o = open[rng() % open.size()];
    uint64_t n = std::min<uint64_t>(rng() % 3000, o.image.size());
    uint64_t from = rng() % (o.image.size() - n + 1);
    o.map->Seek(from);
    const uint8_t* p = o.map->GetData(n);
    ASSERT_TRUE(std::equal(p, p + n, o.image.begin() + from)) << i;
  }
  EXPECT_EQ(cache.SlotCount(), 24u);
  EXPECT_TRUE(cache.IndexesConsistent());
  // Each map's pages go with it.
  while (!open.empty()) {
    open.pop_back();
    EXPECT_TRUE(cache.IndexesConsistent());
  }
  for (uint32_t i = 0; i < cache.SlotCount(); i++) EXPECT_EQ(cache.Slot(i).start, TCachePage::kFree) << i;
}

TEST(MapReader, ReloadForgetsTheOldMap) {
  const TWritten& a = Maps()[1];
  const TWritten& b = Generated();
  CStreamCache cache(32), other(16);
  CMapFile map;
  ASSERT_EQ(map.Open(a.packedPath.c_str(), &cache), CMapFile::LoadOk);
  CheckReads(map, DecodeImage(a.packed), Layout(a.packed).rawEnd, 1, 200);
  ASSERT_EQ(map.Open(b.packedPath.c_str(), &cache), CMapFile::LoadOk);
  CheckFields(map, Expect(DecodeImage(b.packed)), "reloaded");
  CheckReads(map, DecodeImage(b.packed), Layout(b.packed).rawEnd, 2, 500);
  // Into another cache: the first one keeps nothing of the map.
  ASSERT_EQ(map.Open(a.plainPath.c_str(), &other), CMapFile::LoadOk);
  for (uint32_t i = 0; i < cache.SlotCount(); i++) EXPECT_EQ(cache.Slot(i).start, TCachePage::kFree) << i;
  CheckReads(map, a.plain, static_cast<uint32_t>(a.plain.size()), 3, 200);
  // A failed load detaches the map; it can be loaded again.
  EXPECT_EQ(map.Open((Dir() + "missing.qx").c_str(), &other), CMapFile::LoadStreamError);
  WriteBytes(Dir() + "garbage.qx", Bytes(5000, 'x'));
  EXPECT_EQ(map.Open((Dir() + "garbage.qx").c_str(), &other), CMapFile::LoadBadVersion);
  EXPECT_FALSE(map.IsAttached());
  for (uint32_t i = 0; i < other.SlotCount(); i++) EXPECT_EQ(other.Slot(i).start, TCachePage::kFree) << i;
  ASSERT_EQ(map.Open(b.plainPath.c_str(), &other), CMapFile::LoadOk);
  CheckReads(map, b.plain, static_cast<uint32_t>(b.plain.size()), 4, 200);
}

TEST(MapReader, PathsThatAreNoMapFile) {
  CStreamCache cache(8);
  CMapFile map;
  EXPECT_EQ(map.Open((Dir() + "no-such-file.qx").c_str(), &cache), CMapFile::LoadStreamError);
  EXPECT_EQ(map.Open(Dir().c_str(), &cache), CMapFile::LoadStreamError);
  EXPECT_EQ(map.Open("", &cache), CMapFile::LoadStreamError);
  WriteBytes(Dir() + "empty.qx", Bytes());
  EXPECT_EQ(map.Open((Dir() + "empty.qx").c_str(), &cache), CMapFile::LoadBadFormat);
}

TEST(MapReader, NameIsTheLastPathComponent) {
  const TWritten& w = Maps()[1];
  CStreamCache cache(8);
  CMapFile map;
  ASSERT_EQ(map.Load(nullptr, "x", &cache), CMapFile::LoadStreamError);
  auto* file = new CFileReadStream(0);
  ASSERT_TRUE(file->Open(w.packedPath.c_str()));
  ASSERT_EQ(map.Load(file, "given name", &cache), CMapFile::LoadOk);
  EXPECT_EQ(map.GetFileName(), "given name");
  ASSERT_EQ(map.Open(w.packedPath.c_str(), &cache), CMapFile::LoadOk);
  EXPECT_EQ(map.GetFileName(), w.name + ".qx");
  // '\\' separates too (here it is a character of the file's name).
  WriteBytes(Dir() + "back\\slash.qx", w.packed);
  ASSERT_EQ(map.Open((Dir() + "back\\slash.qx").c_str(), &cache), CMapFile::LoadOk);
  EXPECT_EQ(map.GetFileName(), "slash.qx");
}

// ---- Damaged files ------------------------------------------------------------

// Offset of section 1's level count byte in a file (section 1 is raw).
size_t LevelCountAt(const Bytes& file) {
  size_t p = U32At(file, 36);
  for (int t = 0; t < 3; t++) p += 2 + 2 * U16At(file, p);
  return p;
}
size_t EntryOf(const Bytes& file, uint32_t id) {
  for (uint32_t i = 0; i < 12; i++) {
    if (U32At(file, 44 + 12 * i) == id) return 36 + 12 * i;
  }
  return 0;
}

struct TDamage {
  const char* name;
  bool packed;
  std::function<void(Bytes&)> damage;
  CMapFile::TLoadResult result;
};

TEST(MapReader, DamagedFilesGiveTheirLoadResult) {
  const TWritten& w = Generated();
  const TDamage cases[] = {
      {"version 57", true, [](Bytes& f) { PutU16(f, 24, 57); }, CMapFile::LoadBadVersion},
      {"version 49", true, [](Bytes& f) { PutU16(f, 24, 49); }, CMapFile::LoadBadVersion},
      {"oldest reader 67", false, [](Bytes& f) { PutU16(f, 26, 67); }, CMapFile::LoadBadVersion},
      {"version 50", true, [](Bytes& f) { PutU16(f, 24, 50); }, CMapFile::LoadOk},
      {"version 56", true, [](Bytes& f) { PutU16(f, 24, 56); }, CMapFile::LoadOk},
      {"version 58", false, [](Bytes& f) { PutU16(f, 24, 58); }, CMapFile::LoadOk},
      {"version 900, oldest reader 66", true, [](Bytes& f) { PutU16(f, 24, 900), PutU16(f, 26, 66); },
       CMapFile::LoadOk},
      {"magic", true, [](Bytes& f) { f[3] = 'X'; }, CMapFile::LoadBadFormat},
      {"digest", true, [](Bytes& f) { f[10] ^= 1; }, CMapFile::LoadOk},  // the reader does not check it
      {"13 sections", false, [](Bytes& f) { PutU32(f, 28, 13); }, CMapFile::LoadBadFormat},
      {"4 billion sections", true, [](Bytes& f) { PutU32(f, 28, 0xFFFFFFFF); }, CMapFile::LoadBadFormat},
      {"block size 512", true, [](Bytes& f) { PutU32(f, 32, 512); }, CMapFile::LoadBadFormat},
      {"block size 2^31", true, [](Bytes& f) { PutU32(f, 32, 0x80000000); }, CMapFile::LoadBadFormat},
      {"packed file read as plain", true, [](Bytes& f) { PutU32(f, 32, 0); }, CMapFile::LoadBadFormat},
      {"plain file read as packed", false, [](Bytes& f) { PutU32(f, 32, 1024); }, CMapFile::LoadBadFormat},
      {"no section 1", true, [](Bytes& f) { PutU32(f, 44, 0); }, CMapFile::LoadBadFormat},
      {"section 1 empty", false, [](Bytes& f) { PutU32(f, 40, 0); }, CMapFile::LoadBadFormat},
      {"section 1 at 0", false, [](Bytes& f) { PutU32(f, 36, 0); }, CMapFile::LoadBadFormat},
      {"section past 2^31", false, [](Bytes& f) { PutU32(f, 36 + 12 * 11 + 4, 0x7FFFFFFF); },
       CMapFile::LoadBadFormat},
      {"section wraps 2^32", true, [](Bytes& f) { PutU32(f, 36 + 12 * 4, 0xFFFFFF00), PutU32(f, 40 + 12 * 4, 0x200); },
       CMapFile::LoadBadFormat},
      {"unknown id past the image", false, [](Bytes& f) { PutU32(f, EntryOf(f, 8), 40000000), PutU32(f, EntryOf(f, 8) + 4, 1), PutU32(f, EntryOf(f, 8) + 8, 13); },
       CMapFile::LoadBadFormat},
      {"level count 1", true, [](Bytes& f) { f[LevelCountAt(f)] = 1; }, CMapFile::LoadBadFormat},
      {"level count 0", false, [](Bytes& f) { f[LevelCountAt(f)] = 0; }, CMapFile::LoadBadFormat},
      {"more levels than trees", false, [](Bytes& f) { f[LevelCountAt(f)] = 9; }, CMapFile::LoadBadFormat},
      {"tree of 9 children", false, [](Bytes& f) { f[U32At(f, EntryOf(f, 5)) + 16] = 9; }, CMapFile::LoadBadFormat},
      {"tree runs past its section", false,
       [](Bytes& f) {
         size_t root = U32At(f, EntryOf(f, 6));
         PutU32(f, root + 16 + 20 * f[root + 16], 0x7FFFFFF0);
       },
       CMapFile::LoadBadFormat},
      {"tree section cut short", false, [](Bytes& f) { PutU32(f, EntryOf(f, 5) + 4, 30); }, CMapFile::LoadBadFormat},
      {"first block table entry", true, [](Bytes& f) { PutU32(f, f.size() - 4 * Layout(f).blocks, 4000); },
       CMapFile::LoadBadFormat},
      {"last block table entry", true, [](Bytes& f) { PutU32(f, f.size() - 4, 300); }, CMapFile::LoadBadFormat},
      {"file grown", true, [](Bytes& f) { f.insert(f.end(), 4, 0); }, CMapFile::LoadBadFormat},
  };
  for (const TDamage& c : cases) {
    Bytes file = c.packed ? w.packed : w.plain;
    c.damage(file);
    std::string path = Dir() + "damaged.qx";
    WriteBytes(path, file);
    CStreamCache cache(16);
    CMapFile map;
    EXPECT_EQ(map.Open(path.c_str(), &cache), c.result) << c.name;
    if (c.result == CMapFile::LoadOk) {
      CheckFields(map, Expect(DecodeImage(file)), c.name);
      CheckReads(map, DecodeImage(file), Layout(file).rawEnd, 5, 100);
    } else {
      EXPECT_FALSE(map.IsAttached()) << c.name;
    }
  }
}

TEST(MapReader, UnknownSectionIdCountsForTheImageEnd) {
  const TWritten& w = Generated();
  Bytes file = w.plain;
  size_t entry = EntryOf(file, 9);
  PutU32(file, entry + 8, 0);  // the word index, unused as far as the directory says
  std::string path = Dir() + "unknown-id.qx";
  WriteBytes(path, file);
  CStreamCache cache(16);
  CMapFile map;
  ASSERT_EQ(map.Open(path.c_str(), &cache), CMapFile::LoadOk);
  EXPECT_EQ(map.GetSectionOffset(9), 0u);
  EXPECT_EQ(map.GetSize(), file.size());
}

TEST(MapReader, TruncatedFilesAreRefused) {
  const TWritten& w = Generated();
  for (bool packed : {false, true}) {
    const Bytes& whole = packed ? w.packed : w.plain;
    const size_t cuts[] = {1, 8, 35, 36, 100, 180, 187, 188, 600, Layout(whole).rawEnd, whole.size() / 2,
                           whole.size() - 4, whole.size() - 1};
    for (size_t cut : cuts) {
      std::string path = Dir() + "truncated.qx";
      WriteBytes(path, Bytes(whole.begin(), whole.begin() + cut));
      CStreamCache cache(16);
      CMapFile map;
      EXPECT_EQ(map.Open(path.c_str(), &cache), CMapFile::LoadBadFormat) << (packed ? "packed " : "plain ") << cut;
    }
  }
}

// A block that cannot be unpacked fails the read that needs it, with a read
// error, and no byte outside the block's buffer is written.
TEST(MapReader, DamagedBlocksFailTheirReads) {
  const TWritten& w = Generated();
  const TLayout l = Layout(w.packed);
  ASSERT_GT(l.blocks, 8u);
  const uint32_t k = l.blocks - 3;  // in the tags table or the word index: not read by the load
  const size_t entry = l.table + 4 * k;
  const uint32_t at = U32At(w.packed, entry);
  struct TCase {
    const char* name;
    std::function<void(Bytes&)> damage;
  } cases[] = {
      {"length says 5120", [&](Bytes& f) { f[at] = 0x80, f[at + 1] = 0x28; }},
      {"length says 1023", [&](Bytes& f) { f[at] = 0xFF, f[at + 1] = 0x07; }},
      {"garbage stream", [&](Bytes& f) { std::fill(f.begin() + at + 2, f.begin() + U32At(f, entry + 4), 0xFF); }},
      {"entry behind the next", [&](Bytes& f) { PutU32(f, entry, U32At(f, entry + 4) + 1); }},
      {"entry far back", [&](Bytes& f) { PutU32(f, entry, l.rawEnd); }},
      {"entry beyond the table", [&](Bytes& f) { PutU32(f, entry, 0xFFFFFFF0); }},
  };
  const Bytes image = DecodeImage(w.packed);
  for (const TCase& c : cases) {
    Bytes file = w.packed;
    c.damage(file);
    std::string path = Dir() + "bad-block.qx";
    WriteBytes(path, file);
    CStreamCache cache(16);
    CMapFile map;
    ASSERT_EQ(map.Open(path.c_str(), &cache), CMapFile::LoadOk) << c.name;
    CLockGuard guard(cache.Lock());
    const uint32_t blockStart = l.rawEnd + 1024 * k;
    // The block two before is fine (the one before ends where the damaged one begins).
    map.Seek(blockStart - 2048);
    const uint8_t* p = map.GetData(1024);
    EXPECT_TRUE(std::equal(p, p + 1024, image.begin() + blockStart - 2048)) << c.name;
    map.Seek(blockStart + 100);
    try {
      map.GetData(10);
      ADD_FAILURE() << c.name << ": the damaged block was read";
    } catch (const TStreamException& e) {
      EXPECT_EQ(e.code, StreamErrorRead) << c.name;
    }
    EXPECT_TRUE(cache.IndexesConsistent()) << c.name;
  }
}

// ---- Hand-built images --------------------------------------------------------

void Text(CMemStream& s, size_t units) {
  s.WriteU16(static_cast<uint16_t>(units));
  for (size_t i = 0; i < units; i++) s.WriteU16(static_cast<uint16_t>('a' + i % 26));
}
void Rect(CMemStream& s, const CGeoRect& r) {
  s.WriteU32(static_cast<uint32_t>(r.x1));
  s.WriteU32(static_cast<uint32_t>(r.x2));
  s.WriteU32(static_cast<uint32_t>(r.y1));
  s.WriteU32(static_cast<uint32_t>(r.y2));
}
// The 20-byte empty tree, and a tree of one leaf (44 bytes).
void EmptyTree(CMemStream& s) {
  Rect(s, CGeoRect());
  s.WriteU32(0);
}
void LeafTree(CMemStream& s, const CGeoRect& r, uint32_t item) {
  Rect(s, r);
  s.WriteU32(0x0101);
  Rect(s, r);
  s.WriteU32(4);
  s.WriteU32(item);
}

struct THandImage {
  CMemStream image;
  TMapDirectory directory{};
  uint32_t tree5 = 0, tree6 = 0;
};

// Section 1 with a name of nameUnits units and `levels` levels; section 5
// an empty tree then a leaf tree, section 6 a leaf tree then an empty one
// (further levels empty); section 12 `tail` bytes, half of them random.
void BuildHandImage(THandImage& h, size_t nameUnits, uint8_t levels, size_t tail) {
  CMemStream& s = h.image;
  s.Seek(kMapImageStart);
  Text(s, nameUnits);
  Text(s, 0);
  Text(s, 2);
  s.WriteU8(levels);
  for (uint8_t l = 0; l < levels; l++) s.WriteU8(static_cast<uint8_t>(24 - l));
  if (s.GetPos() % 2) s.WriteU8(0);
  Text(s, 0);
  auto open = [&](uint32_t id) { h.directory[id - 1] = {static_cast<uint32_t>(s.GetPos()), 0, id}; };
  auto close = [&](uint32_t id) {
    h.directory[id - 1].size = static_cast<uint32_t>(s.GetPos()) - h.directory[id - 1].offset;
  };
  h.directory[0] = {kMapImageStart, static_cast<uint32_t>(s.GetPos() - kMapImageStart), 1};
  while (s.GetPos() % 4) s.WriteU8(0);
  for (uint32_t id : {10u, 11u, 7u, 3u, 2u, 4u}) open(id);
  open(5);
  EmptyTree(s);
  h.tree5 = static_cast<uint32_t>(s.GetPos());
  LeafTree(s, CGeoRect{10, 20, 30, 40}, 7);
  for (int l = 2; l + 1 < levels; l++) EmptyTree(s);
  close(5);
  open(6);
  h.tree6 = static_cast<uint32_t>(s.GetPos());
  LeafTree(s, CGeoRect{-5, 15, 35, 50}, 9);
  for (int l = 1; l + 1 < levels; l++) EmptyTree(s);
  close(6);
  open(8);
  open(9);
  open(12);
  std::mt19937 rng(static_cast<uint32_t>(tail));
  for (size_t i = 0; i < tail; i++) s.WriteU8(static_cast<uint8_t>(i % 2 ? rng() : i / 100));
  close(12);
}

Bytes SaveHand(const THandImage& h, bool compress, const std::string& name) {
  std::string path = Dir() + name;
  CFileWriteStream out(0x10000);
  EXPECT_TRUE(out.Open(path.c_str(), false));
  SaveCompressedMapFile(h.image, h.directory, out, compress);
  EXPECT_TRUE(out.Close());
  return ReadFileBytes(path);
}

TEST(MapReader, HandBuiltTreesRootsAndBounds) {
  THandImage h;
  BuildHandImage(h, 10, 3, 5000);
  for (bool compress : {false, true}) {
    Bytes file = SaveHand(h, compress, "hand.qx");
    CStreamCache cache(16);
    CMapFile map;
    ASSERT_EQ(map.Open((Dir() + "hand.qx").c_str(), &cache), CMapFile::LoadOk);
    EXPECT_EQ(map.GetLevelCount(), 3u);
    EXPECT_EQ(map.GetPolylineTreeRoot(0), 0u);  // the empty tree
    EXPECT_EQ(map.GetPolylineTreeRoot(1), h.tree5);
    EXPECT_EQ(map.GetItemTreeRoot(0), h.tree6);
    EXPECT_EQ(map.GetItemTreeRoot(1), 0u);
    EXPECT_EQ(map.GetBounds(), (CGeoRect{-5, 20, 30, 50}));
    CheckReads(map, DecodeImage(file), Layout(file).rawEnd, 11, 300);
  }
}

// Packed images whose compressed part ends on every residue mod 4 (0-3
// padding bytes before the table), and images that end before the raw area
// would: those have no block and an empty table, and still load.
TEST(MapReader, PaddingAndShortImages) {
  bool padded[4] = {};
  for (size_t tail : {10u, 300u, 700u, 1500u, 2100u, 2200u, 2300u, 2400u, 2500u, 5000u, 5001u, 5002u, 5003u}) {
    THandImage h;
    BuildHandImage(h, 3, 2, tail);
    Bytes file = SaveHand(h, true, "padding.qx");
    TLayout l = Layout(file);
    if (l.blocks > 0) {
      size_t lastRun = l.table - U32At(file, l.table + 4 * (l.blocks - 1));
      std::string out;
      const char* last = reinterpret_cast<const char*>(file.data() + U32At(file, l.table + 4 * (l.blocks - 1)));
      for (size_t trim = 0; trim < 4; trim++) {
        if (snappy::Uncompress(last, lastRun - trim, &out)) {
          padded[trim] = true;
          break;
        }
      }
    }
    CStreamCache cache(8);
    CMapFile map;
    ASSERT_EQ(map.Open((Dir() + "padding.qx").c_str(), &cache), CMapFile::LoadOk) << tail;
    CheckReads(map, DecodeImage(file), l.rawEnd, static_cast<uint32_t>(tail), 200);
  }
  for (int pad = 0; pad < 4; pad++) EXPECT_TRUE(padded[pad]) << pad << " padding bytes never seen";
}

// Before version 65 the raw area is the first 1024 bytes, whatever the size
// of section 1; a file laid out so is read with that area.
TEST(MapReader, Version64RawAreaIsTheFirstBlock) {
  THandImage h;
  BuildHandImage(h, 600, 3, 6000);  // section 1 ends past 1024
  ASSERT_GT(h.directory[0].offset + h.directory[0].size, 1024u);
  Bytes plain = SaveHand(h, false, "v64-plain.qx");
  // The version-64 layout: raw [0, 1024), then blocks from 1024.
  const uint32_t end = ImageEnd(plain);
  Bytes file(plain.begin(), plain.begin() + 1024);
  PutU16(file, 24, 64);
  PutU32(file, 32, 1024);
  std::vector<uint32_t> table;
  for (uint32_t from = 1024; from < end; from += 1024) {
    table.push_back(static_cast<uint32_t>(file.size()));
    std::string packed;
    snappy::Compress(reinterpret_cast<const char*>(plain.data() + from), std::min<uint32_t>(1024, end - from), &packed);
    file.insert(file.end(), packed.begin(), packed.end());
  }
  while (file.size() % 4) file.push_back(0);
  for (uint32_t t : table) {
    file.resize(file.size() + 4);
    PutU32(file, file.size() - 4, t);
  }
  WriteBytes(Dir() + "v64.qx", file);
  CStreamCache cache(8);
  CMapFile map;
  ASSERT_EQ(map.Open((Dir() + "v64.qx").c_str(), &cache), CMapFile::LoadOk);
  Bytes image = DecodeImage(file, 1024);
  EXPECT_TRUE(std::equal(image.begin() + 36, image.end(), plain.begin() + 36));
  EXPECT_EQ(map.GetItemTreeRoot(0), h.tree6);
  CheckReads(map, image, 1024, 64, 300);
  // The same bytes said to be version 65 have their raw area to 2048.
  PutU16(file, 24, 65);
  WriteBytes(Dir() + "v65.qx", file);
  EXPECT_EQ(map.Open((Dir() + "v65.qx").c_str(), &cache), CMapFile::LoadBadFormat);
}

TEST(MapReader, SkipStringMovesPastOneText) {
  THandImage h;
  BuildHandImage(h, 10, 2, 100);
  SaveHand(h, false, "skip.qx");
  CStreamCache cache(8);
  CMapFile map;
  ASSERT_EQ(map.Open((Dir() + "skip.qx").c_str(), &cache), CMapFile::LoadOk);
  map.Seek(kMapImageStart);
  map.SkipString();
  EXPECT_EQ(map.GetPos(), kMapImageStart + 2 + 20u);
  map.SkipString();
  EXPECT_EQ(map.GetPos(), kMapImageStart + 24u);
  map.SkipString();
  EXPECT_EQ(map.ReadU8(), 2u);  // the level count
}

// Without a cache nothing could be read: the load is refused, and a map
// loaded before forgets its file and its pages.
TEST(MapReader, NoCacheIsRefused) {
  const TWritten& w = Maps()[1];
  CStreamCache cache(8);
  CMapFile map;
  EXPECT_EQ(map.Open(w.packedPath.c_str(), nullptr), CMapFile::LoadBadFormat);
  EXPECT_FALSE(map.IsAttached());
  ASSERT_EQ(map.Open(w.packedPath.c_str(), &cache), CMapFile::LoadOk);
  auto* file = new CFileReadStream(0);
  ASSERT_TRUE(file->Open(w.packedPath.c_str()));
  EXPECT_EQ(map.Load(file, "x", nullptr), CMapFile::LoadBadFormat);
  EXPECT_FALSE(map.IsAttached());
  for (uint32_t i = 0; i < cache.SlotCount(); i++) EXPECT_EQ(cache.Slot(i).start, TCachePage::kFree) << i;
}

// Written without the routing part, the map's routing sections are empty:
// they are absent, and an absent section is not one at offset 0.
TEST(MapReader, HasSectionTellsAbsentSections) {
  const TWritten& w = Maps()[0];
  CStreamCache cache(8);
  CMapFile map;
  ASSERT_EQ(map.Open(w.plainPath.c_str(), &cache), CMapFile::LoadOk);
  for (uint32_t id = 1; id <= 12; id++) {
    size_t entry = EntryOf(w.plain, id);
    EXPECT_EQ(map.HasSection(id), entry != 0 && U32At(w.plain, entry + 4) != 0) << id;
  }
  EXPECT_FALSE(map.HasSection(0));
  EXPECT_FALSE(map.HasSection(13));
  EXPECT_TRUE(map.HasSection(1));
  EXPECT_FALSE(map.HasSection(10));
  EXPECT_FALSE(map.HasSection(11));
}

}  // namespace
