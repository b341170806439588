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
#include "tests/routing/atlasreader.h"
#include "tests/routing/atlasroutes.h"
#include "tests/routing/qxroutes.h"
#include "tests/routing/refroute.h"
#include "tests/routing/sectiontest.h"
#include "tests/routing/tilesplit.h"

using AtlasRoutes::CStateSearch;
using AtlasRoutes::TArcs;
using RefRoute::TLinkKey;

namespace {

const bool kEmulated = sizeof(void*) < 8;  // the 32-bit build runs under an emulator
#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
const bool kSlow = kEmulated || kSanitized;

// Road speed in km/h by speed class and road class.
uint32_t Speed(uint32_t speedClass, uint32_t roadClass) {
  static const int kSpeed[8] = {5, 20, 40, 60, 80, 90, 110, 120}, kAdjust[5] = {-10, -5, 0, 5, 10};
  int s = speedClass == 255 ? 0 : std::min<uint32_t>(speedClass, 7);
  int c = roadClass == 255 ? 0 : std::min<uint32_t>(roadClass, 4);
  return static_cast<uint32_t>(std::max(kSpeed[s] + kAdjust[c], 5));
}

// The network of the joined map, from its text as loaded; inner links of
// chain restrictions (no route starts or ends there) on the side.
struct TReferenceNet {
  RefRoute::TNetwork net;
  std::set<TLinkKey> inner;
};

TReferenceNet Network(const std::string& text) {
  TReferenceNet r;
  PolskiFormat::CMap map;
  EXPECT_EQ(PolskiTest::LoadText(map, text), nullptr);
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const PolskiFormat::CPolyline& line = *map.Polyline(i);
    const PolskiFormat::TRoadAttributes* a = line.Routing;
    if (!a) continue;
    const CReallocArray<TPointD>& pts = line.Geometry[0].Points;
    r.net.roads.push_back(RefRoute::TRoad{a->RoadId, Speed(a->SpeedClass, a->RoadClass), (a->OneWay & 1) != 0,
                                          line.Type == 0x0a, (a->RouteParamExt & 1) != 0});
    for (size_t k = 1; k < a->Nodes.Size(); k++) {
      uint64_t metres = 0;
      for (uint32_t j = a->Nodes[k - 1].PointIndex; j < a->Nodes[k].PointIndex; j++) {
        metres += GeoDistance(DegreesToGeoPoint(pts[j].x, pts[j].y), DegreesToGeoPoint(pts[j + 1].x, pts[j + 1].y));
      }
      r.net.links.push_back(
          RefRoute::TLink{a->Nodes[k - 1].NodeId, a->Nodes[k].NodeId, a->RoadId, static_cast<uint32_t>(metres)});
    }
  }
  for (const PolskiFormat::TRestriction* x : map.Restrictions) {
    std::vector<uint32_t> nodes(x->TraffPoints.begin(), x->TraffPoints.end());
    std::vector<uint32_t> roads(x->TraffRoads.begin(), x->TraffRoads.end());
    if (nodes.size() == 3 && roads.size() == 2) {
      r.net.restrictions.push_back({nodes[0], nodes[1], nodes[2], roads[0], roads[1]});
    } else if (nodes.size() > 3 && roads.size() + 1 == nodes.size()) {
      r.net.chains.push_back({nodes, roads});
      for (size_t k = 1; k + 1 < roads.size(); k++) r.inner.insert({nodes[k], nodes[k + 1], roads[k]});
    }
  }
  return r;
}

// ---- generated street grids ----

std::string GridText(uint32_t seed, uint32_t w, uint32_t h, bool areas) {
  std::mt19937 rng(seed);
  auto chance = [&](uint32_t percent) { return rng() % 100 < percent; };
  std::vector<TPointD> at(w * h);
  for (uint32_t y = 0; y < h; y++) {
    for (uint32_t x = 0; x < w; x++) {
      at[y * w + x] = {8 + (x + (rng() % 400) / 1000.0) / 1000, 46 + (y + (rng() % 400) / 1000.0) / 1000};
    }
  }
  std::string text = PolskiTest::kHeader;
  std::vector<TLinkKey> links;
  uint32_t roadId = 1000;
  for (bool rows : {true, false}) {
    const uint32_t lines = rows ? h : w, length = rows ? w : h;
    for (uint32_t line = 0; line < lines; line++) {
      for (uint32_t i = 0; i + 1 < length;) {
        const uint32_t n = std::min<uint32_t>(1 + rng() % 3, length - 1 - i);
        if (chance(8)) {
          i += n;
          continue;
        }
        std::string data, nods;
        std::vector<uint32_t> ids;
        uint32_t points = 0;
        for (uint32_t k = 0; k <= n; k++) {
          const uint32_t id = rows ? line * w + i + k : (i + k) * w + line;
          const TPointD p = at[id];
          if (k > 0 && chance(30)) {  // a shape point off the straight line
            const TPointD q = at[ids.back()];
            data += "," + TileSplit::Point({(p.x + q.x) / 2 + 0.00005, (p.y + q.y) / 2 + 0.00003});
            points++;
          }
          data += (k ? "," : "") + TileSplit::Point(p);
          nods += "Nod" + std::to_string(k + 1) + "=" + std::to_string(points) + "," + std::to_string(id + 1) + "\n";
          points++;
          ids.push_back(id);
        }
        const bool oneWay = chance(20);
        const bool area = areas && line > 1 && line < lines / 2 + 2 && i > length / 3;
        text += "[POLYLINE]\nType=" + std::string(chance(10) ? "0x0a" : "0x04") + "\nRoadID=" + std::to_string(roadId) +
                "\nRouteParam=" + std::to_string(rng() % 8) + "," + std::to_string(rng() % 5) + "," +
                (oneWay ? "1" : "0") + ",0,0,0,0,0,0,0,0,0\n" + (area ? "RouteParamExt=1\n" : "") + "Data0=" + data +
                "\n" + nods + "[END]\n";
        for (uint32_t k = 0; k < n; k++) {
          links.push_back({ids[k] + 1, ids[k + 1] + 1, roadId});
          if (!oneWay) links.push_back({ids[k + 1] + 1, ids[k] + 1, roadId});
        }
        roadId++;
        i += n;
      }
    }
  }
  // Turn restrictions and chains; those over roads that get cut are dropped.
  auto next = [&](const TLinkKey& l, TLinkKey* out) {
    std::vector<TLinkKey> options;
    for (const TLinkKey& k : links)
      if (std::get<0>(k) == std::get<1>(l)) options.push_back(k);
    if (options.empty()) return false;
    *out = options[rng() % options.size()];
    return true;
  };
  for (uint32_t i = 0; i < 3 * w; i++) {
    std::vector<TLinkKey> walk{links[rng() % links.size()]};
    const size_t want = i % 3 == 0 ? 3 : 2;
    TLinkKey c;
    while (walk.size() < want && next(walk.back(), &c)) walk.push_back(c);
    if (walk.size() < want) continue;
    std::string points = std::to_string(std::get<0>(walk[0])), roads;
    for (const TLinkKey& l : walk) {
      points += "," + std::to_string(std::get<1>(l));
      roads += (roads.empty() ? "" : ",") + std::to_string(std::get<2>(l));
    }
    text += "[Restrict]\nTraffPoints=" + points + "\nTraffRoads=" + roads + "\n[END]\n";
  }
  return text;
}

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
  const TReferenceNet ref = Network(TileSplit::MapText(split, -1));

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

TEST(AtlasTiles, GridsCutIntoFourToNineTiles) {
  const uint32_t seeds = kSlow ? 2 : 6;
  for (uint32_t seed = 1; seed <= seeds; seed++) {
    SCOPED_TRACE(seed);
    const uint32_t w = 12 + seed % 4, h = 10 + seed % 3;
    TCase c;
    c.name = "grid" + std::to_string(seed);
    c.text = GridText(seed, w, h, false);
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

TEST(AtlasTiles, GridsWithAreaRoads) {
  for (uint32_t seed = 11; seed <= (kSlow ? 11u : 14u); seed++) {
    SCOPED_TRACE(seed);
    TCase c;
    c.name = "area" + std::to_string(seed);
    c.text = GridText(seed, 12, 12, true);
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
