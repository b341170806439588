// The atlas build over maps written by the converter: the file's name and
// header, joins across map borders (also from a border node without a
// Distance cost of its own), the same bytes for the maps in any order, the
// empty atlas, which old files go, and damaged maps (an error line naming
// the map, no atlas left behind).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/geo.h"
#include "mapfile/reader.h"
#include "routing/atlas.h"
#include "tests/routing/atlasreader.h"
#include "tests/routing/sectiontest.h"

using SectionTest::TRoad;

namespace {

std::vector<uint8_t> Bytes(const std::string& path) {
  const std::string s = TestUtil::ReadFile(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<std::string> DirNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Writes a routed map into dir, returns its path.
std::string WriteMap(const std::string& dir, const std::string& name, const std::vector<TRoad>& roads) {
  SectionTest::TWritten w = SectionTest::WriteRouted(SectionTest::Roads(roads), name);
  EXPECT_TRUE(w.ok) << w.log;
  const std::string path = dir + name + ".qx";
  std::filesystem::copy_file(w.path, path, std::filesystem::copy_options::overwrite_existing);
  return path;
}

// Two maps meeting at (10, 0): a two-way road 0..10 in the west map, one
// 10..20 in the east map, the shared point a bound node in both.
struct TTwoMaps {
  std::string dir, west, east;
};

TTwoMaps WriteTwoMaps(const std::string& name, double y = 0) {
  TTwoMaps m;
  m.dir = TestUtil::MakeTempDir("atlas_" + name + "_in");
  m.west = WriteMap(m.dir, name + "_west", {TRoad{1, {{0, y}, {10, y}}, {"0,1", "1,2,1"}}});
  m.east = WriteMap(m.dir, name + "_east", {TRoad{2, {{10, y}, {20, y}}, {"0,2,1", "1,3"}}});
  return m;
}

struct TRun {
  bool ok = false;
  std::string log;
  std::string file;  // the atlas file's path, empty when none
};

TRun Build(const std::vector<std::string>& paths, const std::string& outputDir, uint32_t mapLimit = kMaxAtlasMaps) {
  CReallocArray<std::string> list;
  for (const std::string& p : paths) list.PushBack(p);
  TRun r;
  CAtlasBuilder builder;
  builder.mapLimit = mapLimit;
  TestUtil::CStdoutCapture capture;
  r.ok = BuildAtlas(builder, outputDir, list, nullptr);
  r.log = TestUtil::MaskTimestamps(capture.Finish());
  for (const std::string& n : DirNames(outputDir)) {
    if (n.rfind("atlas-", 0) == 0) r.file = outputDir + n;
  }
  return r;
}

std::string ExpectedName(const AtlasReader::TAtlas& a) {
  std::vector<uint8_t> ids;
  for (const auto& id : a.ids) ids.insert(ids.end(), id.begin(), id.end());
  char name[32];
  std::snprintf(name, sizeof name, "atlas-%08x.dat", AtlasReader::Crc32(ids.data(), ids.size()));
  return name;
}

std::array<uint8_t, 16> MapId(const std::string& path) {
  const std::vector<uint8_t> b = Bytes(path);
  std::array<uint8_t, 16> id;
  std::copy(b.begin() + 8, b.begin() + 24, id.begin());
  return id;
}

// Swaps two entries' (offset, size) in a plain map file's directory.
void SwapSections(const std::string& path, uint32_t a, uint32_t b) {
  std::string s = TestUtil::ReadFile(path);
  auto entry = [&](uint32_t id) {
    for (uint32_t i = 0; i < 12; i++) {
      uint32_t v;
      std::memcpy(&v, s.data() + 44 + 12 * i, 4);
      if (v == id) return 36 + 12 * i;
    }
    ADD_FAILURE() << "no section " << id;
    return 36u;
  };
  const uint32_t ea = entry(a), eb = entry(b);
  for (uint32_t k = 0; k < 8; k++) std::swap(s[ea + k], s[eb + k]);
  TestUtil::WriteFile(path, s);
}

// The joins of a graph: the edges between nodes of two maps that are no
// atlas shortcut, each once (where it is listed at its lower-ranked end).
std::vector<AtlasReader::TEdge> Joins(const AtlasReader::TGraph& g) {
  std::vector<AtlasReader::TEdge> joins;
  for (const AtlasReader::TNode& n : g.nodes) {
    for (const std::vector<AtlasReader::TEdge>* list : {&n.in, &n.out}) {
      for (const AtlasReader::TEdge& e : *list) {
        if (!e.below && g.nodes[g.at.at(e.other)].map != n.map && !(e.via & 1)) joins.push_back(e);
      }
    }
  }
  return joins;
}

}  // namespace

TEST(Atlas, CrcOfTheTestItself) {
  const char* text = "123456789";
  EXPECT_EQ(AtlasReader::Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
  EXPECT_EQ(AtlasFileName(nullptr, 0), "atlas-00000000.dat");
  uint8_t ids[32];
  for (int i = 0; i < 32; i++) ids[i] = static_cast<uint8_t>(i * 37);
  char name[32];
  std::snprintf(name, sizeof name, "atlas-%08x.dat", AtlasReader::Crc32(ids, 32));
  EXPECT_EQ(AtlasFileName(ids, 2), name);
}

TEST(Atlas, TwoMapsAreJoinedAtTheirBorder) {
  TTwoMaps m = WriteTwoMaps("join");
  const std::string out = TestUtil::MakeTempDir("atlas_join_out");
  TRun r = Build({m.west, m.east}, out);
  ASSERT_TRUE(r.ok) << r.log;
  EXPECT_NE(r.log.find("T: 2 files loaded\n"), std::string::npos) << r.log;
  // Four nodes (the two links of each road both ways), none of them an
  // entry or exit node: each border node meets the other map.
  EXPECT_NE(r.log.find("T: Distance graph: 4 (0, 0, 0), 6, "), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("T: Time graph: 4 (0, 0, 0), 6, "), std::string::npos) << r.log;
  AtlasReader::TAtlas a;
  try {
    a = AtlasReader::Read(Bytes(r.file));
  } catch (const AtlasReader::TFault& f) {
    FAIL() << f.text;
  }
  EXPECT_EQ(r.file, out + ExpectedName(a));
  EXPECT_EQ(a.version, 5);
  ASSERT_EQ(a.ids.size(), 2u);
  EXPECT_LT(a.ids[0], a.ids[1]);
  std::vector<std::array<uint8_t, 16>> want{MapId(m.west), MapId(m.east)};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(a.ids, want);
  EXPECT_TRUE(a.tree.empty());
  // Each join is costed with its border link in the graph's own metric:
  // metres in Distance, sixteenths of a second in Time (speed class 4, road
  // class 2: 80 km/h). Both roads are 0.01 degree long.
  const uint32_t metres = GeoDistance(DegreesToGeoPoint(8, 46), DegreesToGeoPoint(8.010, 46));
  const uint32_t cost[2] = {metres, metres * 576 / 800};
  for (int metric : {0, 1}) {
    SCOPED_TRACE(metric);
    const AtlasReader::TGraph& g = a.graphs[metric];
    ASSERT_EQ(g.nodes.size(), 4u);
    const std::vector<AtlasReader::TEdge> joins = Joins(g);
    EXPECT_EQ(joins.size(), 2u);
    for (const AtlasReader::TEdge& e : joins) {
      EXPECT_EQ(e.via, 0u);
      EXPECT_EQ(e.marks, 0);
      EXPECT_EQ(e.cost, cost[metric]);
    }
  }
}

// Node 2 of the west map stands at two points: where road 1 ends at the
// border and, marked bound, where road 3 starts 11 km north. The map's tree
// lists node 2's references at the bound point only, so road 1's border
// link has no Distance cost of its own near its end: its join takes the
// Time cost behind its record, in both graphs, with one warning naming the
// map, and the atlas is written.
TEST(Atlas, BorderNodeWithoutItsOwnDistanceEntryJoinsByItsTimeCost) {
  const std::string dir = TestUtil::MakeTempDir("atlas_twopoints_in");
  const std::string west = WriteMap(dir, "twopoints_west",
                                    {TRoad{1, {{0, 0}, {10, 0}}, {"0,1", "1,2"}},
                                     TRoad{3, {{10, 100}, {20, 100}}, {"0,2,1", "1,4"}}});
  const std::string east = WriteMap(dir, "twopoints_east", {TRoad{2, {{10, 0}, {20, 0}}, {"0,2,1", "1,3"}}});
  const std::string out = TestUtil::MakeTempDir("atlas_twopoints_out");
  TRun r = Build({west, east}, out);
  ASSERT_TRUE(r.ok) << r.log;
  const std::string warning = "T: Joins without a Distance cost of their own in twopoints_west.qx: 1 (Time cost used)\n";
  const size_t at = r.log.find(warning);
  EXPECT_NE(at, std::string::npos) << r.log;
  EXPECT_EQ(r.log.find(warning, at + 1), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("twopoints_east"), std::string::npos) << r.log;
  // Road 1 is 0.01 degree long, at 80 km/h (speed class 4, road class 2).
  const uint32_t time = GeoDistance(DegreesToGeoPoint(8, 46), DegreesToGeoPoint(8.010, 46)) * 576 / 800;
  const AtlasReader::TAtlas a = AtlasReader::Read(Bytes(r.file));
  for (int metric : {0, 1}) {
    SCOPED_TRACE(metric);
    const std::vector<AtlasReader::TEdge> joins = Joins(a.graphs[metric]);
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_EQ(joins[0].cost, time);
  }
}

TEST(Atlas, MapsInAnotherOrderGiveTheSameFile) {
  TTwoMaps m = WriteTwoMaps("order");
  const std::string third = WriteMap(m.dir, "order_north", {TRoad{5, {{10, 0}, {10, 30}}, {"0,2,1", "1,7"}}});
  const std::string out1 = TestUtil::MakeTempDir("atlas_order_1"), out2 = TestUtil::MakeTempDir("atlas_order_2");
  TRun a = Build({m.west, m.east, third}, out1);
  TRun b = Build({third, m.east, m.west}, out2);
  ASSERT_TRUE(a.ok && b.ok) << a.log << b.log;
  EXPECT_EQ(std::filesystem::path(a.file).filename(), std::filesystem::path(b.file).filename());
  EXPECT_EQ(Bytes(a.file), Bytes(b.file));
  EXPECT_EQ(a.log, b.log);
}

TEST(Atlas, EmptyAndAllSkippedListsGiveTheEmptyAtlas) {
  const std::string in = TestUtil::MakeTempDir("atlas_empty_in");
  // A map without bound nodes has no core nodes: skipped.
  const std::string plain = WriteMap(in, "inner", {TRoad{1, {{0, 0}, {10, 0}}, {"0,1", "1,2"}}});
  std::vector<uint8_t> want;
  for (char c : std::string("qx atlas")) want.push_back(static_cast<uint8_t>(c));
  for (uint8_t c : {5, 0, 0, 0}) want.push_back(c);
  want.insert(want.end(), 8, 0);  // two graphs: records size 0 each; the empty tree writes nothing
  for (const std::vector<std::string>& list :
       {std::vector<std::string>{}, {plain}, {in + "missing.qx", plain}}) {
    const std::string out = TestUtil::MakeTempDir("atlas_empty_out");
    TRun r = Build(list, out);
    ASSERT_TRUE(r.ok) << r.log;
    EXPECT_EQ(r.file, out + "atlas-00000000.dat");
    EXPECT_EQ(Bytes(r.file), want);
    EXPECT_NE(r.log.find("T: 0 files loaded\n"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("T: Distance graph: 0 (0, 0, 0), 0, 0, 0\nT: Time graph: 0 (0, 0, 0), 0, 0, 0\n"),
              std::string::npos)
        << r.log;
    if (!list.empty()) {
      EXPECT_NE(r.log.find("T: Skipping file inner.qx\n"), std::string::npos) << r.log;
    }
    if (list.size() == 2) {
      EXPECT_NE(r.log.find("T: Error loading file " + in + "missing.qx\n"), std::string::npos) << r.log;
    }
  }
}

TEST(Atlas, OnlyOldAtlasFilesOfTheDirectoryItselfAreDeleted) {
  TTwoMaps m = WriteTwoMaps("old");
  const std::string out = TestUtil::MakeTempDir("atlas_old_out");
  const std::vector<std::string> gone{"ATLAS-0BADC0DE.DAT", "atlas-00000000.dat", "Atlas-12345678.Dat",
                                      "atlas-deadbeef.dat"};
  const std::vector<std::string> kept{"atlas-1234567.dat", "atlas-123456789.dat", "atlas-1234567g.dat",
                                      "atlas-12345678.dat.bak", "my.dat", "notes.DAT", "xatlas-12345678.dat"};
  for (const std::string& n : gone) TestUtil::WriteFile(out + n, "old");
  for (const std::string& n : kept) TestUtil::WriteFile(out + n, "mine");
  std::filesystem::create_directories(out + "sub");
  TestUtil::WriteFile(out + "sub/atlas-12345678.dat", "below");
  TRun r = Build({m.west, m.east}, out);
  ASSERT_TRUE(r.ok) << r.log;
  std::vector<std::string> want = kept;
  want.push_back(std::filesystem::path(r.file).filename().string());
  want.push_back("sub");
  std::sort(want.begin(), want.end());
  EXPECT_EQ(DirNames(out), want);
  for (const std::string& n : kept) EXPECT_EQ(TestUtil::ReadFile(out + n), "mine");
  EXPECT_EQ(TestUtil::ReadFile(out + "sub/atlas-12345678.dat"), "below");
}

TEST(Atlas, MoreMapsThanTheMapIndexHoldsAreRefused) {
  TTwoMaps m = WriteTwoMaps("limit");
  const std::string out = TestUtil::MakeTempDir("atlas_limit_out");
  TestUtil::WriteFile(out + "atlas-11111111.dat", "old");
  TRun r = Build({m.west, m.east}, out, 1);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.log.find("T: Too many maps for one atlas: 2 (at most 1).\n"), std::string::npos) << r.log;
  EXPECT_TRUE(r.file.empty()) << r.file;
  EXPECT_EQ(kMaxAtlasMaps, 16383u);  // the map index takes bits 2-15 of a record's packed word
}

// A damaged map fails the build with a line naming it; no atlas file stays.
TEST(Atlas, DamagedMapsFailTheBuildCleanly) {
  struct TDamage {
    const char* name;
    void (*apply)(const std::string& path);
  };
  const TDamage damages[] = {
      {"sections 10 and 11 swapped", [](const std::string& p) { SwapSections(p, 10, 11); }},
      {"section 10 overwritten",
       [](const std::string& p) {
         std::string s = TestUtil::ReadFile(p);
         uint32_t offset, size;
         for (uint32_t i = 0; i < 12; i++) {
           uint32_t id;
           std::memcpy(&id, s.data() + 44 + 12 * i, 4);
           if (id != 10) continue;
           std::memcpy(&offset, s.data() + 36 + 12 * i, 4);
           std::memcpy(&size, s.data() + 40 + 12 * i, 4);
           for (uint32_t k = 16; k < size; k++) s[offset + k] = static_cast<char>(0xA5 ^ k);
         }
         TestUtil::WriteFile(p, s);
       }},
      {"section 11 overwritten",
       [](const std::string& p) {
         std::string s = TestUtil::ReadFile(p);
         for (uint32_t i = 0; i < 12; i++) {
           uint32_t id, offset, size;
           std::memcpy(&id, s.data() + 44 + 12 * i, 4);
           if (id != 11) continue;
           std::memcpy(&offset, s.data() + 36 + 12 * i, 4);
           std::memcpy(&size, s.data() + 40 + 12 * i, 4);
           for (uint32_t k = 0; k < size; k++) s[offset + k] = static_cast<char>(0xFF);
         }
         TestUtil::WriteFile(p, s);
       }},
  };
  for (const TDamage& d : damages) {
    SCOPED_TRACE(d.name);
    TTwoMaps m = WriteTwoMaps("damaged");
    d.apply(m.east);
    const std::string out = TestUtil::MakeTempDir("atlas_damaged_out");
    TestUtil::WriteFile(out + "mine.dat", "user data");
    TRun r = Build({m.west, m.east}, out);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.log.find("T: Error reading file damaged_east.qx\n"), std::string::npos) << r.log;
    EXPECT_TRUE(r.file.empty()) << r.file;
    EXPECT_EQ(TestUtil::ReadFile(out + "mine.dat"), "user data");
  }
}

TEST(Atlas, TruncatedMapsAreLeftOutOrFailTheBuild) {
  TTwoMaps m = WriteTwoMaps("truncated");
  const std::string full = TestUtil::ReadFile(m.east);
  for (size_t keep : {size_t{20}, size_t{200}, full.size() / 2, full.size() - 1}) {
    SCOPED_TRACE(keep);
    TestUtil::WriteFile(m.east, full.substr(0, keep));
    const std::string out = TestUtil::MakeTempDir("atlas_truncated_out");
    TRun r = Build({m.west, m.east}, out);
    if (r.ok) {
      // Refused at load: the atlas holds the other map.
      EXPECT_NE(r.log.find("T: Error loading file " + m.east + "\n"), std::string::npos) << r.log;
      EXPECT_NE(r.log.find("T: 1 files loaded\n"), std::string::npos) << r.log;
      EXPECT_FALSE(r.file.empty());
    } else {
      EXPECT_NE(r.log.find("T: Error reading file truncated_east.qx\n"), std::string::npos) << r.log;
      EXPECT_TRUE(r.file.empty()) << r.file;
    }
  }
}

TEST(Atlas, MapWithoutRoutingSectionsIsSkipped) {
  TTwoMaps m = WriteTwoMaps("norouting");
  std::string s = TestUtil::ReadFile(m.east);
  for (uint32_t i = 0; i < 12; i++) {
    uint32_t id;
    std::memcpy(&id, s.data() + 44 + 12 * i, 4);
    if (id == 10 || id == 11) std::memset(&s[40 + 12 * i], 0, 4);  // size 0: absent
  }
  TestUtil::WriteFile(m.east, s);
  const std::string out = TestUtil::MakeTempDir("atlas_norouting_out");
  TRun r = Build({m.west, m.east}, out);
  ASSERT_TRUE(r.ok) << r.log;
  EXPECT_NE(r.log.find("T: Skipping file norouting_east.qx\nT: 1 files loaded\n"), std::string::npos) << r.log;
  // The west map alone: its border node is an exit, its start node an entry.
  EXPECT_NE(r.log.find("T: Distance graph: 2 (1, 1, 2), 2, 0, 1\n"), std::string::npos) << r.log;
}

// Near the poles there is no 25 m square: a border point at 89.5 degrees
// or beyond meets nothing and stays an exit node.
TEST(Atlas, BorderPointsNearThePoleMeetNothing) {
  for (double lat : {89.4, 89.6}) {
    SCOPED_TRACE(lat);
    const std::string dir = TestUtil::MakeTempDir("atlas_pole_in");
    const double y = (lat - 46) * 1000;  // test grid units
    const std::string west = WriteMap(dir, "pole_west", {TRoad{1, {{0, y}, {10, y}}, {"0,1", "1,2,1"}}});
    const std::string east = WriteMap(dir, "pole_east", {TRoad{2, {{10, y}, {20, y}}, {"0,2,1", "1,3"}}});
    const std::string out = TestUtil::MakeTempDir("atlas_pole_out");
    TRun r = Build({west, east}, out);
    ASSERT_TRUE(r.ok) << r.log;
    if (lat < 89.5) {
      EXPECT_NE(r.log.find("T: Distance graph: 4 (0, 0, 0), 6, "), std::string::npos) << r.log;
    } else {
      // Both border nodes exits, both start nodes entries.
      EXPECT_NE(r.log.find("T: Distance graph: 4 (2, 2, 4), 4, 0, 1\n"), std::string::npos) << r.log;
      AtlasReader::TAtlas a = AtlasReader::Read(Bytes(r.file));
      EXPECT_EQ(a.tree.size(), 8u);  // two entries and two exits in each metric
    }
  }
}
