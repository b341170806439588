// Routes through written map files: the routing sections and road records
// are read back with the test's own reader (tests/routing/qxroutes.h),
// every cross-reference is checked, and shortest routes found by an upward
// query over the stored graph are compared with the reference router
// (tests/routing/refroute.h) over the network as the .mp map describes it,
// for both metrics, on plain and compressed files.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/geo.h"
#include "polski/map.h"
#include "support/testutil.h"
#include "tests/routing/gridmaps.h"
#include "tests/routing/qxroutes.h"
#include "tests/routing/refroute.h"
#include "tests/routing/sectiontest.h"

using namespace GridMaps;
using namespace SectionTest;
using QxRoutes::CImage;
using QxRoutes::TChSection;
using RefRoute::TLinkKey;

namespace {

using TestUtil::kEmulated;
using TestUtil::kSanitized;
using TestUtil::kSlow;

// ---- checks over a written file -------------------------------------------------------------

struct TFile {
  explicit TFile(const std::vector<uint8_t>& bytes) : img(bytes) {}
  CImage img;
  std::vector<QxRoutes::TRoadRecord> roads;
  std::map<uint32_t, const QxRoutes::TRoadRecord*> byRecord, byId;
  TChSection ch;
  uint32_t timeStart = 0;  // first record of the Time graph
  std::map<TLinkKey, uint32_t> record[2];  // per metric: oriented link -> its CH node record
};

// The oriented link a road reference names: (record, link index, direction).
bool LinkOfReference(const TFile& f, const TMapDesc& m, uint32_t record, uint32_t word, TLinkKey* out) {
  auto it = f.byRecord.find(record);
  if (it == f.byRecord.end()) return false;
  const uint32_t index = word & 0xffff, dir = word >> 16 & 1;
  const TRoadDesc* desc = nullptr;
  for (const TRoadDesc& r : m.roads)
    if (r.id == it->second->roadId) desc = &r;
  if (!desc || index + 1 >= desc->nodes.size() || dir > 1) return false;
  if (dir == 0 && it->second->oneWay) return false;
  *out = dir ? TLinkKey{desc->nodes[index], desc->nodes[index + 1], desc->id}
             : TLinkKey{desc->nodes[index + 1], desc->nodes[index], desc->id};
  return true;
}

// Reads the file and checks every cross-reference of its routing data.
void CheckFile(TFile& f, const TMapDesc& m) {
  f.roads = QxRoutes::ReadRoads(f.img);
  for (const auto& r : f.roads) {
    f.byRecord[r.record] = &r;
    ASSERT_TRUE(f.byId.emplace(r.roadId, &r).second) << "road " << r.roadId << " written twice";
  }
  f.ch = QxRoutes::ReadChSection(f.img);
  uint32_t flagged = 0;
  std::vector<std::pair<uint32_t, uint32_t>> index;
  std::vector<QxRoutes::TNodeEntry> entries = QxRoutes::ReadNodeTable(f.img, &flagged, &index);
  std::map<uint32_t, const QxRoutes::TNodeEntry*> entryAt;
  std::map<uint32_t, int> unboundEntries;
  for (const auto& e : entries) {
    entryAt[e.pos] = &e;
    if (!e.bound) unboundEntries[e.nodeId]++;
  }
  // Section 8: bound entries first, each group by node id; the index lists
  // the bound ones.
  for (size_t i = 1; i < entries.size(); i++) {
    auto key = [](const QxRoutes::TNodeEntry& e) { return std::make_pair(!e.bound, e.nodeId); };
    ASSERT_LT(key(entries[i - 1]), key(entries[i])) << "section 8 entry " << i;
  }
  ASSERT_EQ(index.size(), flagged);
  for (size_t i = 0; i < index.size(); i++) {
    ASSERT_TRUE(entries[i].bound);
    ASSERT_EQ(index[i], std::make_pair(entries[i].nodeId, entries[i].pos));
  }

  // Segment blocks: both metrics' records of every link, and where each
  // record names its road back.
  uint32_t minTime = UINT32_MAX, maxDistance = 0;
  for (const TRoadDesc& desc : m.roads) {
    auto it = f.byId.find(desc.id);
    ASSERT_NE(it, f.byId.end()) << "road " << desc.id << " has no record";
    const QxRoutes::TRoadRecord& r = *it->second;
    ASSERT_EQ(r.nodeRefs.size(), desc.nodes.size());
    ASSERT_EQ(r.blocks.size(), desc.nodes.size() > 0 ? desc.nodes.size() - 1 : 0);
    for (size_t i = 0; i < desc.nodes.size(); i++) {
      auto e = entryAt.find(r.nodeRefs[i]);
      ASSERT_NE(e, entryAt.end()) << "road " << desc.id << " node " << i << ": no section 8 entry there";
      EXPECT_EQ(e->second->nodeId, desc.nodes[i]);
      // A node with an unbound entry is referred to by it, else by its bound one.
      EXPECT_EQ(e->second->bound, unboundEntries.count(desc.nodes[i]) ? 0 : 1) << "node " << desc.nodes[i];
      std::pair<uint32_t, uint32_t> pair{r.record, r.pointIndexes[i]};
      bool listed = false;
      for (const QxRoutes::TNodeEntry& x : entries)
        if (x.nodeId == desc.nodes[i] && x.bound == desc.bound[i])
          listed = listed || std::count(x.pairs.begin(), x.pairs.end(), pair) == 1;
      EXPECT_TRUE(listed) << "road " << desc.id << " node " << i << " missing from its section 8 entry";
    }
    for (size_t g = 0; g < r.blocks.size(); g++) {
      const QxRoutes::TBlock& b = r.blocks[g];
      for (int dir : {1, 0}) {
        if (dir == 0 && r.oneWay) continue;
        const TLinkKey link = dir ? TLinkKey{desc.nodes[g], desc.nodes[g + 1], desc.id}
                                  : TLinkKey{desc.nodes[g + 1], desc.nodes[g], desc.id};
        const uint32_t positions[2] = {b.distance[1 - dir], b.time[1 - dir]};
        for (int metric : {0, 1}) {
          auto rec = f.ch.at.find(positions[metric]);
          ASSERT_NE(rec, f.ch.at.end()) << "road " << desc.id << " segment " << g << ": no CH record at "
                                        << positions[metric];
          const QxRoutes::TChRecord& c = f.ch.records[rec->second];
          EXPECT_EQ(c.roadRecord, r.record);
          EXPECT_EQ(c.linkWord, static_cast<uint32_t>(dir) << 16 | static_cast<uint32_t>(g));
          f.record[metric][link] = positions[metric];
        }
        minTime = std::min(minTime, positions[1]);
        maxDistance = std::max(maxDistance, positions[0]);
      }
      // Items: their road references name links that start (exits) or end
      // (entries) at the junction.
      const uint32_t at[4] = {desc.nodes[g + 1], desc.nodes[g], desc.nodes[g], desc.nodes[g + 1]};
      for (int k = 0; k < 4; k++) {
        for (const QxRoutes::TItem& item : b.items[k]) {
          TLinkKey l;
          ASSERT_TRUE(LinkOfReference(f, m, item.record, item.word, &l))
              << "road " << desc.id << " segment " << g << " list " << k << ": reference " << item.record << "/"
              << (item.word & 0x1ffff);
          EXPECT_EQ(k % 2 == 0 ? std::get<0>(l) : std::get<1>(l), at[k])
              << "road " << desc.id << " segment " << g << " list " << k;
          if (k % 2) {
            EXPECT_EQ(item.word >> 17, 0u) << "entry item with exit bits";
          }
        }
      }
    }
  }
  ASSERT_LT(maxDistance, minTime) << "Distance records after Time records";
  f.timeStart = minTime;

  // Section 10: every record belongs to a written link of its graph and
  // names it; edges and vias lead to record starts of the same graph.
  std::set<uint32_t> named;
  for (int metric : {0, 1})
    for (const auto& [link, pos] : f.record[metric]) named.insert(pos);
  for (const QxRoutes::TChRecord& c : f.ch.records) {
    EXPECT_TRUE(named.count(c.pos)) << "CH record at " << c.pos << " belongs to no written link";
    const bool time = c.pos >= f.timeStart;
    for (const auto* list : {&c.in, &c.out}) {
      for (const QxRoutes::TEdge& e : *list) {
        ASSERT_TRUE(f.ch.at.count(e.other)) << "edge of " << c.pos << " to " << e.other;
        EXPECT_EQ(e.other >= f.timeStart, time) << "edge of " << c.pos << " leaves its graph";
        if (e.via) {
          ASSERT_TRUE(f.ch.at.count(e.via)) << "via of an edge of " << c.pos;
          EXPECT_EQ(e.via >= f.timeStart, time);
        }
      }
    }
  }
  // Section 11: every reference names a record of its metric whose node is
  // external at that end; every external end is listed once.
  std::vector<QxRoutes::TTreeRef> refs;
  QxRoutes::ReadNodeTree(f.img, f.img.offset[11], uint64_t{f.img.offset[11]} + f.img.size[11], refs);
  std::set<std::pair<uint32_t, uint32_t>> listed;  // (record, end)
  for (const QxRoutes::TTreeRef& t : refs) {
    const uint32_t pos = t.word >> 3 << 2;
    auto rec = f.ch.at.find(pos);
    ASSERT_NE(rec, f.ch.at.end()) << "tree reference to " << pos;
    EXPECT_EQ((t.word >> 1 & 1) != 0, pos >= f.timeStart);
    const QxRoutes::TChRecord& c = f.ch.records[rec->second];
    EXPECT_TRUE((t.word & 1) ? c.endExternal : (c.flags & 1)) << "tree reference to a record not external there";
    EXPECT_TRUE(listed.insert({pos, t.word & 1}).second);
  }
  for (const QxRoutes::TChRecord& c : f.ch.records) {
    EXPECT_TRUE(!(c.flags & 1) || listed.count({c.pos, 0})) << c.pos;
    EXPECT_TRUE(!c.endExternal || listed.count({c.pos, 1})) << c.pos;
  }
}

// Routes from some sources to all (or some) targets in both metrics.
void CheckRoutes(TFile& f, const TMapDesc& m, uint32_t sources, uint32_t targets, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int metric : {0, 1}) {
    SCOPED_TRACE(metric ? "Time" : "Distance");
    RefRoute::CReference ref(m.net, static_cast<uint32_t>(metric));
    std::vector<uint32_t> live;  // reference links that routes may start and end on
    for (uint32_t i = 0; i < ref.Size(); i++) {
      if (!m.inner.count(ref.Link(i)) && f.record[metric].count(ref.Link(i))) live.push_back(i);
    }
    if (live.empty()) continue;
    QxRoutes::CQuery query(f.ch);
    std::map<uint32_t, std::map<std::pair<size_t, bool>, uint64_t>> backward;
    const bool all = sources >= live.size();
    for (uint32_t k = 0; k < std::min<size_t>(sources, live.size()); k++) {
      const uint32_t s = all ? live[k] : live[rng() % live.size()];
      std::vector<uint64_t> expect = ref.From(s, false);
      auto forward = query.Search(f.record[metric].at(ref.Link(s)), false);
      const bool allTargets = targets >= live.size();
      for (uint32_t j = 0; j < std::min<size_t>(targets, live.size()); j++) {
        const uint32_t t = allTargets ? live[j] : live[rng() % live.size()];
        const uint32_t pos = f.record[metric].at(ref.Link(t));
        auto b = backward.find(pos);
        if (b == backward.end()) b = backward.emplace(pos, query.Search(pos, true)).first;
        const uint64_t got = s == t ? 0 : QxRoutes::CQuery::Join(forward, b->second, f.ch);
        const auto& [s0, s1, sr] = ref.Link(s);
        const auto& [t0, t1, tr] = ref.Link(t);
        ASSERT_EQ(got, expect[t]) << s0 << "->" << s1 << "/" << sr << " to " << t0 << "->" << t1 << "/" << tr;
      }
    }
  }
}

void CheckWritten(const TMapDesc& m, const std::string& name, bool compress, uint32_t sources, uint32_t targets) {
  SCOPED_TRACE(name + (compress ? " compressed" : " plain"));
  TWritten w = WriteRouted(m.text, name, compress);
  ASSERT_TRUE(w.ok) << w.log;
  try {
    TFile f(w.bytes);
    CheckFile(f, m);
    if (::testing::Test::HasFatalFailure()) return;
    CheckRoutes(f, m, sources, targets, 1);
  } catch (const QxRoutes::TFault& fault) {
    FAIL() << fault.text;
  }
}


TEST(RouteCheck, SmallGridsEveryPair) {
  const uint32_t seeds = kSlow ? 3 : 10;
  for (uint32_t seed = 1; seed <= seeds; seed++) {
    TGridOptions o;
    o.w = 4 + seed % 2;
    o.h = 4;
    o.bound = seed % 3 == 0;
    o.idBase = seed % 2 ? 1 : 0x7ffffff0;
    TMapDesc m = Describe(Grid(seed, o));
    CheckWritten(m, "small" + std::to_string(seed), seed % 2 == 0, UINT32_MAX, UINT32_MAX);
  }
}

TEST(RouteCheck, LargerGridsManyPairs) {
  TGridOptions o;
  o.w = kSlow ? 8 : 16;
  o.h = kSlow ? 8 : 14;
  o.keys = 40;
  o.chains = 12;
  o.bound = true;
  o.idBase = 0x7fffff00;
  for (bool compress : {false, true}) {
    TMapDesc m = Describe(Grid(compress ? 21 : 22, o));
    CheckWritten(m, compress ? "large_packed" : "large_plain", compress, kSlow ? 2 : 8, UINT32_MAX);
  }
}

// Area roads (RouteParamExt): routes may use them only at their start and
// end, through the stored graph as through the reference.
TEST(RouteCheck, AreaRoads) {
  TGridOptions o;
  o.w = 6;
  o.h = 6;
  o.area = true;
  o.chains = 0;
  for (uint32_t seed = 1; seed <= (kSlow ? 2u : 6u); seed++) {
    CheckWritten(Describe(Grid(100 + seed, o)), "area" + std::to_string(seed), seed % 2 == 0, UINT32_MAX, UINT32_MAX);
  }
}

void CheckCorpusMap(const char* file, bool compress) {
  std::string gz = TestUtil::SharedPath(std::string("corpus/") + file + ".gz");
  if (gz.empty()) GTEST_SKIP() << "corpus not present";
  std::string path = TestUtil::Gunzip(gz, TestUtil::MakeTempDir(std::string("routecheck_") + file));
  PolskiFormat::CMap map;
  ASSERT_EQ(map.LoadFile(path.c_str(), nullptr), nullptr);
  PolskiFormat::SplitMultiLevelPolylines(map);
  TMapDesc m = FromMap(map);
  m.text = TestUtil::ReadFile(path);
  CheckWritten(m, file, compress, kSlow ? 1 : 4, kSlow ? 300 : 3000);
}

TEST(RouteCheck, CorpusAndorra) { CheckCorpusMap("andorra-2020.mp", true); }
TEST(RouteCheck, CorpusLiechtenstein) { CheckCorpusMap("li2013.mp", false); }
TEST(RouteCheck, CorpusMonaco) { CheckCorpusMap("monaco-2016.mp", true); }

}  // namespace
