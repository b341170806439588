// Routes across tiles. A network is cut into tile maps (tests/routing/
// tilesplit.h), the tiles are written by the converter and joined by the
// atlas. A route between links of different tiles is then searched here
// over the tiles' section 10 graphs and the atlas graph: up a tile's graph
// to its core, through the atlas, down the other tile's graph. Its cost
// must equal what the reference router (tests/routing/refroute.h) finds on
// the same pieces joined into one map, the cut points ordinary nodes, for
// both metrics: on generated street grids and on a corpus map.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/geo.h"
#include "routing/atlas.h"
#include "support/testutil.h"
#include "tests/routing/atlasreader.h"
#include "tests/routing/atlasroutes.h"
#include "tests/routing/gridmaps.h"
#include "tests/routing/qxroutes.h"
#include "tests/routing/refroute.h"
#include "tests/routing/sectiontest.h"
#include "tests/routing/tilesplit.h"

using AtlasRoutes::CStateSearch;
using AtlasRoutes::TArcs;
using RefRoute::TLinkKey;

namespace {

using TestUtil::kEmulated;
using TestUtil::kSanitized;
using TestUtil::kSlow;

// ---- the tiles as written ----

struct TTile {
  std::string path;
  std::array<uint8_t, 16> id;
  std::vector<uint8_t> bytes;
  QxRoutes::TChSection ch;
  uint32_t graphStart[2] = {}, graphEnd[2] = {}, coreStart[2] = {};
  std::map<TLinkKey, uint32_t> record[2];  // per metric: oriented link -> its node record
};

void ReadTile(TTile& t, const TileSplit::TSplit& split, uint32_t tile) {
  const std::string s = TestUtil::ReadFile(t.path);
  t.bytes.assign(s.begin(), s.end());
  std::copy(t.bytes.begin() + 8, t.bytes.begin() + 24, t.id.begin());
  QxRoutes::CImage img(t.bytes);
  t.ch = QxRoutes::ReadChSection(img);
  // Both graphs have the same nodes: the Time graph's records are the second half.
  const size_t n = t.ch.records.size();
  ASSERT_EQ(n % 2, 0u);
  if (n == 0) return;
  t.graphStart[0] = t.ch.records[0].pos;
  t.graphStart[1] = t.graphEnd[0] = t.ch.records[n / 2].pos;
  t.graphEnd[1] = img.offset[10] + img.size[10];
  for (int m : {0, 1}) {
    t.coreStart[m] = t.ch.header[2 * m + 1] ? t.ch.header[2 * m + 1] : t.graphEnd[m];
    ASSERT_TRUE(t.coreStart[m] >= t.graphStart[m] && t.coreStart[m] <= t.graphEnd[m]);
  }
  std::map<uint32_t, const QxRoutes::TRoadRecord*> byId;
  const std::vector<QxRoutes::TRoadRecord> roads = QxRoutes::ReadRoads(img);
  for (const QxRoutes::TRoadRecord& r : roads) byId[r.roadId] = &r;
  for (const TileSplit::TPiece& p : split.pieces) {
    if (p.tile != tile) continue;
    auto it = byId.find(p.id);
    ASSERT_NE(it, byId.end()) << "road " << p.id;
    const QxRoutes::TRoadRecord& r = *it->second;
    ASSERT_EQ(r.blocks.size() + 1, p.nodeIds.size());
    for (size_t g = 0; g < r.blocks.size(); g++) {
      for (int dir : {1, 0}) {
        if (dir == 0 && r.oneWay) continue;
        const TLinkKey link = dir ? TLinkKey{p.nodeIds[g], p.nodeIds[g + 1], p.id} : TLinkKey{p.nodeIds[g + 1], p.nodeIds[g], p.id};
        t.record[0][link] = r.blocks[g].distance[1 - dir];
        t.record[1][link] = r.blocks[g].time[1 - dir];
      }
    }
  }
}

// The tiles' graphs of one metric joined through the atlas: a node per
// section 10 record of every tile. A record below its tile's core keeps the
// edges listed there (they lead up the tile's graph); a core record takes
// its edges from its atlas record instead.
struct TJoined {
  TArcs up, down;
  std::vector<bool> area;
  std::vector<std::map<uint32_t, uint32_t>> node;  // per tile: record position -> node
};

void JoinGraphs(const std::vector<TTile>& tiles, const AtlasReader::TAtlas& atlas, int metric, TJoined& j) {
  j.node.resize(tiles.size());
  for (size_t t = 0; t < tiles.size(); t++) {
    for (const QxRoutes::TChRecord& r : tiles[t].ch.records) {
      if (r.pos < tiles[t].graphStart[metric] || r.pos >= tiles[t].graphEnd[metric]) continue;
      j.node[t][r.pos] = static_cast<uint32_t>(j.area.size());
      j.area.push_back((r.flags & 4) != 0);
    }
  }
  j.up.resize(j.area.size());
  j.down.resize(j.area.size());
  for (size_t t = 0; t < tiles.size(); t++) {
    for (const QxRoutes::TChRecord& r : tiles[t].ch.records) {
      if (r.pos < tiles[t].graphStart[metric] || r.pos >= tiles[t].coreStart[metric]) continue;
      const uint32_t x = j.node[t].at(r.pos);
      for (const QxRoutes::TEdge& e : r.out) j.up[x].push_back({j.node[t].at(e.other), e.cost, e.bit30});
      for (const QxRoutes::TEdge& e : r.in) j.down[x].push_back({j.node[t].at(e.other), e.cost, e.bit30});
    }
  }
  std::map<std::array<uint8_t, 16>, size_t> tileOf;
  for (size_t t = 0; t < tiles.size(); t++) tileOf[tiles[t].id] = t;
  const AtlasReader::TGraph& g = atlas.graphs[metric];
  auto nodeOf = [&](const AtlasReader::TNode& n) {
    const size_t t = tileOf.at(atlas.ids.at(n.map));
    auto it = j.node[t].find(n.position);
    EXPECT_NE(it, j.node[t].end()) << "atlas node at " << n.position << " of tile " << t;
    EXPECT_GE(n.position, tiles[t].coreStart[metric]) << "atlas node below the tile's core";
    return it == j.node[t].end() ? 0u : it->second;
  };
  size_t nodes = 0;
  for (const auto& m : j.node) nodes += m.size();
  for (const AtlasReader::TNode& n : g.nodes) {
    const uint32_t x = nodeOf(n);
    EXPECT_EQ(n.area, j.area[x]);
    for (const AtlasReader::TEdge& e : n.out) j.up[x].push_back({nodeOf(g.nodes[g.at.at(e.other)]), e.cost, e.bit30});
    for (const AtlasReader::TEdge& e : n.in) j.down[x].push_back({nodeOf(g.nodes[g.at.at(e.other)]), e.cost, e.bit30});
  }
  // Every core record of every tile is an atlas node.
  size_t core = 0;
  for (const TTile& t : tiles) {
    for (const QxRoutes::TChRecord& r : t.ch.records) core += r.pos >= t.coreStart[metric] && r.pos < t.graphEnd[metric];
  }
  EXPECT_EQ(g.nodes.size(), core);
  (void)nodes;
}

struct TCase {
  std::string name;
  std::string text;  // the map to cut
  std::vector<double> xs, ys;
  uint32_t sources, targets;
};

void CheckTiles(const TCase& c) {
  PolskiFormat::CMap map;
  ASSERT_EQ(PolskiTest::LoadText(map, c.text), nullptr);
  PolskiFormat::SplitMultiLevelPolylines(map);
  const TileSplit::TSplit split = TileSplit::Split(map, c.xs, c.ys);
  PolskiFormat::CMap joined;
  ASSERT_EQ(PolskiTest::LoadText(joined, TileSplit::MapText(split, -1)), nullptr);
  const GridMaps::TMapDesc ref = GridMaps::FromMap(joined);

  const std::string dir = TestUtil::MakeTempDir("atlastiles_" + c.name);
  std::vector<TTile> tiles(split.tiles);
  CReallocArray<std::string> paths;
  for (uint32_t t = 0; t < split.tiles; t++) {
    SectionTest::TWritten w =
        SectionTest::WriteRouted(TileSplit::MapText(split, static_cast<int>(t)), c.name + "_" + std::to_string(t), t % 2);
    ASSERT_TRUE(w.ok) << w.log;
    tiles[t].path = dir + std::to_string(t) + ".qx";
    std::filesystem::copy_file(w.path, tiles[t].path);
    paths.PushBack(tiles[t].path);
  }
  CAtlasBuilder builder;
  TestUtil::CStdoutCapture capture;
  const bool ok = BuildAtlas(builder, dir, paths, nullptr);
  const std::string log = capture.Finish();
  ASSERT_TRUE(ok) << log;
  std::string atlasPath;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().extension() == ".dat") atlasPath = e.path().string();
  }
  const std::string bytes = TestUtil::ReadFile(atlasPath);
  AtlasReader::TAtlas atlas;
  try {
    atlas = AtlasReader::Read(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    for (uint32_t t = 0; t < split.tiles; t++) ReadTile(tiles[t], split, t);
  } catch (const AtlasReader::TFault& f) {
    FAIL() << f.text;
  } catch (const QxRoutes::TFault& f) {
    FAIL() << f.text;
  }
  if (::testing::Test::HasFatalFailure()) return;
  // The cut points are the only external nodes, and each meets its twin.
  for (int metric : {0, 1}) {
    for (const AtlasReader::TNode& n : atlas.graphs[metric].nodes) EXPECT_FALSE(n.entry || n.exit);
  }
  EXPECT_TRUE(atlas.tree.empty());

  std::mt19937 rng(7);
  uint64_t checked = 0, found = 0;
  for (int metric : {0, 1}) {
    SCOPED_TRACE(metric ? "Time" : "Distance");
    TJoined joined;
    JoinGraphs(tiles, atlas, metric, joined);
    if (::testing::Test::HasFailure()) return;
    RefRoute::CReference reference(ref.net, static_cast<uint32_t>(metric));
    // Links with a record in some tile where routes may start and end.
    std::vector<std::pair<uint32_t, uint32_t>> live;  // (reference link, tile)
    for (uint32_t i = 0; i < reference.Size(); i++) {
      if (ref.inner.count(reference.Link(i))) continue;
      for (uint32_t t = 0; t < split.tiles; t++) {
        if (tiles[t].record[metric].count(reference.Link(i))) live.push_back({i, t});
      }
    }
    ASSERT_FALSE(live.empty());
    CStateSearch forward(joined.up, joined.area), backward(joined.down, joined.area);
    for (uint32_t k = 0; k < c.sources; k++) {
      const auto [s, st] = live[rng() % live.size()];
      const std::vector<uint64_t> want = reference.From(s, false);
      forward.Run(joined.node[st].at(tiles[st].record[metric].at(reference.Link(s))), false);
      for (uint32_t q = 0; q < c.targets; q++) {
        const auto [t, tt] = live[rng() % live.size()];
        if (tt == st) continue;
        backward.Run(joined.node[tt].at(tiles[tt].record[metric].at(reference.Link(t))), true);
        const uint64_t got = forward.Meet(backward);
        const auto& [s0, s1, sr] = reference.Link(s);
        const auto& [t0, t1, tr] = reference.Link(t);
        ASSERT_EQ(got, want[t] == RefRoute::kNoPath ? AtlasRoutes::kNone : want[t])
            << s0 << "->" << s1 << "/" << sr << " (tile " << st << ") to " << t0 << "->" << t1 << "/" << tr << " (tile "
            << tt << ")";
        checked++;
        found += got != AtlasRoutes::kNone;
      }
    }
  }
  // Most pairs have a route: the check is not vacuous.
  EXPECT_GT(found, checked / 2) << found << " of " << checked;
}

}  // namespace

// Tile borders at longitude 8 + x / 1000 and latitude 46 + y / 1000 in
// grid units: between the jittered nodes, so that they cross no node and
// cut points of different roads lie more than 25 m apart.
TEST(AtlasTiles, GridsCutIntoFourToNineTiles) {
  const uint32_t seeds = kSlow ? 2 : 6;
  for (uint32_t seed = 1; seed <= seeds; seed++) {
    SCOPED_TRACE(seed);
    GridMaps::TGridOptions o;
    o.w = 12 + seed % 4;
    o.h = 10 + seed % 3;
    o.keys = 3 * o.w;
    o.chains = o.w;
    const uint32_t w = o.w, h = o.h;
    TCase c;
    c.name = "grid" + std::to_string(seed);
    c.text = GridMaps::Grid(seed, o);
    const bool nine = seed % 2;
    for (uint32_t k = 1; k <= (nine ? 2u : 1u); k++) {
      c.xs.push_back(8 + (k * w / (nine ? 3.0 : 2.0) + 0.7123) / 1000);
      c.ys.push_back(46 + (k * h / (nine ? 3.0 : 2.0) + 0.6917) / 1000);
    }
    c.sources = kSlow ? 10 : 40;
    c.targets = kSlow ? 40 : 100;
    CheckTiles(c);
  }
}

// Area roads: routes may use them only at their start and end, also
// across tiles.
TEST(AtlasTiles, GridsWithAreaRoads) {
  for (uint32_t seed = 11; seed <= (kSlow ? 11u : 14u); seed++) {
    SCOPED_TRACE(seed);
    GridMaps::TGridOptions o;
    o.w = o.h = 12;
    o.area = true;
    o.keys = 24;
    o.chains = 8;
    TCase c;
    c.name = "area" + std::to_string(seed);
    c.text = GridMaps::Grid(seed, o);
    c.xs = {8 + 6.7123 / 1000};
    c.ys = {46 + 4.6917 / 1000, 46 + 8.6917 / 1000};
    c.sources = kSlow ? 10 : 40;
    c.targets = kSlow ? 40 : 100;
    CheckTiles(c);
  }
}

TEST(AtlasTiles, CorpusMapCutIntoFourTiles) {
  const std::string gz = TestUtil::SharedPath("corpus/li2013.mp.gz");
  if (gz.empty()) GTEST_SKIP() << "corpus not present";
  const std::string path = TestUtil::Gunzip(gz, TestUtil::MakeTempDir("atlastiles_corpus"));
  // Liechtenstein lies about 9.47 .. 9.64 east, 47.05 .. 47.27 north.
  TCase c{"li", TestUtil::ReadFile(path), {9.5312345}, {47.1612345}, kSlow ? 5u : 20u, kSlow ? 50u : 200u};
  CheckTiles(c);
}
