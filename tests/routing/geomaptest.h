// Helpers of the per-map CH graph tests: maps written as .mp text (by hand
// or as random street grids), the reference router over the road graph's
// arrays (the oracle), queries over a built graph with a label per area
// state, and structural checks.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "polski/polski_testutil.h"
#include "routing/geomapgraph.h"
#include "support/testutil.h"
#include "tests/routing/refroute.h"
#include "tests/routing/statesearch.h"

namespace GeoMapTest {

using RefRoute::kNoPath;
using RefRoute::TLinkKey;

// ---- maps as .mp text ----

// .mp text of roads over a plane of points in steps of 0.001 degree.
class CMapText {
 public:
  struct TNod {
    uint32_t point, id;
    bool bound = false;
  };
  // speed class, road class, one-way; type "0x0a" for a road of that type;
  // ext for an area road (RouteParamExt).
  CMapText& Road(uint32_t id, std::vector<std::pair<double, double>> points, std::vector<TNod> nods,
                 bool oneWay = false, const char* type = "0x04", int speed = 4, int roadClass = 2, bool ext = false) {
    text += "[POLYLINE]\nType=" + std::string(type) + "\nRoadID=" + std::to_string(id) + "\n";
    text += "RouteParam=" + std::to_string(speed) + "," + std::to_string(roadClass) + "," + (oneWay ? "1" : "0") +
            ",0,0,0,0,0,0,0,0,0\n";
    if (ext) text += "RouteParamExt=1\n";
    text += "Data0=";
    for (size_t i = 0; i < points.size(); i++) {
      char p[64];
      std::snprintf(p, sizeof p, "%s(%.7f,%.7f)", i ? "," : "", 46 + points[i].second / 1000,
                    8 + points[i].first / 1000);
      text += p;
    }
    text += "\n";
    for (size_t i = 0; i < nods.size(); i++) {
      text += "Nod" + std::to_string(i + 1) + "=" + std::to_string(nods[i].point) + "," +
              std::to_string(nods[i].id) + (nods[i].bound ? ",1" : "") + "\n";
    }
    text += "[END]\n";
    return *this;
  }
  CMapText& Restrict(const std::vector<uint32_t>& points, const std::vector<uint32_t>& roads) {
    auto list = [](const std::vector<uint32_t>& v) {
      std::string s;
      for (size_t i = 0; i < v.size(); i++) s += (i ? "," : "") + std::to_string(v[i]);
      return s;
    };
    text += "[Restrict]\nTraffPoints=" + list(points) + "\nTraffRoads=" + list(roads) + "\n[END]\n";
    return *this;
  }
  std::string text = PolskiTest::kHeader;
};

// A map loaded from text and its road graph; the log of the build is kept
// when asked for (random maps print nothing).
struct TBuilt {
  explicit TBuilt(const CMapText& m, bool captureLog = true) {
    EXPECT_EQ(PolskiTest::LoadText(map, m.text), nullptr);
    if (!captureLog) {
      ok = BuildRoadGraph(roads, map);
      return;
    }
    TestUtil::CStdoutCapture capture;
    ok = BuildRoadGraph(roads, map);
    log = capture.Finish();
  }
  PolskiFormat::CMap map;
  TRoadGraph roads;
  bool ok = false;
  std::string log;
};

// ---- random street grids ----

struct TGridShape {
  uint32_t w, h;
  uint32_t keys;       // restriction keys, a third of them U-turn bans
  uint32_t chains;     // chains of 3 or 4 roads, some over a reversal
  uint32_t areaZones;  // rectangles whose roads are mostly area roads
  uint32_t boundPercent = 40;  // of the route nodes on the grid's edge
};

// A w x h grid of crossings, rows and columns cut into roads of one to three
// links with gaps; random one-ways, types, speeds, area roads, boundary nodes
// on the edge, turn restrictions and chains. Chains avoid boundary nodes
// inside them (the road graph would drop them with a warning).
inline CMapText RandomGrid(uint32_t seed, const TGridShape& shape) {
  std::mt19937 rng(seed);
  auto chance = [&](uint32_t percent) { return rng() % 100 < percent; };
  const uint32_t w = shape.w, h = shape.h;
  CMapText m;
  std::vector<TLinkKey> links;  // every travelable direction
  std::vector<std::pair<double, double>> at(w * h);
  for (auto& p : at) p = {double(rng() % 300) / 1000, double(rng() % 300) / 1000};
  struct TZone {
    uint32_t x0, y0, x1, y1;
  };
  std::vector<TZone> zones;
  for (uint32_t i = 0; i < shape.areaZones; i++) {
    uint32_t x0 = rng() % w, y0 = rng() % h;
    uint32_t x1 = x0 + 1 + rng() % 3, y1 = y0 + 1 + rng() % 3;
    zones.push_back({x0, y0, x1, y1});
  }
  auto inZone = [&](uint32_t x, uint32_t y) {
    for (const TZone& z : zones)
      if (x >= z.x0 && x <= z.x1 && y >= z.y0 && y <= z.y1) return true;
    return false;
  };
  std::set<uint32_t> bound;
  uint32_t roadId = 1000;
  auto addRoads = [&](bool rows) {
    uint32_t lines = rows ? h : w, length = rows ? w : h;
    for (uint32_t line = 0; line < lines; line++) {
      for (uint32_t i = 0; i + 1 < length;) {
        uint32_t n = std::min<uint32_t>(1 + rng() % 3, length - 1 - i);
        if (chance(10)) {
          i += n;
          continue;
        }
        std::vector<std::pair<double, double>> points;
        std::vector<CMapText::TNod> nods;
        std::vector<uint32_t> ids;
        bool zoned = true;
        for (uint32_t k = 0; k <= n; k++) {
          uint32_t x = rows ? i + k : line, y = rows ? line : i + k;
          uint32_t id = 1 + y * w + x;
          bool edge = x == 0 || y == 0 || x + 1 == w || y + 1 == h;
          bool isBound = edge && chance(shape.boundPercent);
          if (isBound) bound.insert(id);
          nods.push_back({static_cast<uint32_t>(points.size()), id, isBound});
          points.push_back({x + at[id - 1].first, y + at[id - 1].second});
          ids.push_back(id);
          zoned = zoned && inZone(x, y);
        }
        bool oneWay = chance(20);
        bool slow = chance(15);
        bool area = zoned ? chance(85) : chance(4);
        m.Road(roadId, points, nods, oneWay, slow ? "0x0a" : "0x04", rng() % 8, rng() % 5, area);
        for (uint32_t k = 0; k < n; k++) {
          links.emplace_back(ids[k], ids[k + 1], roadId);
          if (!oneWay) links.emplace_back(ids[k + 1], ids[k], roadId);
        }
        roadId++;
        i += n;
      }
    }
  };
  addRoads(true);
  addRoads(false);
  // A random continuation of a link (its reversal more often than chance
  // would pick it), or false.
  auto next = [&](const TLinkKey& l, TLinkKey* out) {
    std::vector<TLinkKey> options;
    for (const TLinkKey& k : links)
      if (std::get<0>(k) == std::get<1>(l)) options.push_back(k);
    if (options.empty()) return false;
    const TLinkKey back{std::get<1>(l), std::get<0>(l), std::get<2>(l)};
    if (chance(25) && std::find(options.begin(), options.end(), back) != options.end()) {
      *out = back;
    } else {
      *out = options[rng() % options.size()];
    }
    return true;
  };
  for (uint32_t i = 0; i < shape.keys && !links.empty(); i++) {
    TLinkKey a = links[rng() % links.size()], c;
    if (i % 3 == 0) {
      c = {std::get<1>(a), std::get<0>(a), std::get<2>(a)};  // a U-turn ban
    } else if (!next(a, &c)) {
      continue;
    }
    m.Restrict({std::get<0>(a), std::get<1>(a), std::get<1>(c)}, {std::get<2>(a), std::get<2>(c)});
  }
  for (uint32_t i = 0; i < shape.chains && !links.empty(); i++) {
    std::vector<TLinkKey> walk{links[rng() % links.size()]};
    size_t want = 3 + rng() % 2;
    TLinkKey c;
    while (walk.size() < want && next(walk.back(), &c)) walk.push_back(c);
    if (walk.size() < want) continue;
    std::vector<uint32_t> points{std::get<0>(walk[0])}, roads;
    for (const TLinkKey& l : walk) {
      points.push_back(std::get<1>(l));
      roads.push_back(std::get<2>(l));
    }
    bool inner = false;
    for (size_t k = 1; k + 1 < points.size(); k++) inner = inner || bound.count(points[k]);
    if (!inner) m.Restrict(points, roads);
  }
  return m;
}

// ---- the reference ----

// The reference network of a road graph, from its arrays only.
inline RefRoute::TNetwork NetworkOf(const TRoadGraph& roads) {
  RefRoute::TNetwork net;
  for (const TGraphRoad& r : roads.Roads) {
    net.roads.push_back({r.RoadId, r.Speed(), r.OneWay(), (r.Word & kRoadType0A) != 0, (r.Word & kRoadExt) != 0});
  }
  for (const TRoadLink& l : roads.Links) net.links.push_back({l.From, l.To, l.RoadId, l.Metres()});
  for (const TRestrictionKey& k : roads.RestrictionKeys) {
    net.restrictions.push_back({k.FromNode, k.ViaNode, k.ToNode, k.FromRoad, k.ToRoad});
  }
  for (const TRestrictionChain& c : roads.RestrictionChains) {
    net.chains.push_back({std::vector<uint32_t>(c.Nodes.begin(), c.Nodes.end()),
                          std::vector<uint32_t>(c.Roads.begin(), c.Roads.end())});
  }
  return net;
}

// The reference over a road graph's network.
class COracle : public RefRoute::CReference {
 public:
  COracle(const TRoadGraph& roads, uint32_t metric) : CReference(NetworkOf(roads), metric) {}
  using CReference::From;
  std::vector<uint64_t> From(const TLinkKey& source, bool avoid) const { return From(Index(source), avoid); }
};

inline TLinkKey KeyOf(const CH::TGeoMapNode& n) { return {n.StartNode(), n.EndNode(), n.RoadId()}; }

// ---- queries over a built graph ----

using CStateSearch = ChTest::CStateSearch<CH::CGeoMapGraph>;

// Shortest paths in the contracted graph: every edge of the edge array
// linked at its lower-ranked end, then a forward search up from the source
// and a backward search up from the target, a label per area state; they
// meet in a node and state. Replaces the adjacency lists.
class CChQuery {
 public:
  explicit CChQuery(CH::CGeoMapGraph& graph) : g(graph), forward(graph), backward(graph) {
    g.ClearAdjacency();
    for (size_t i = 0; i < g.edges.Size(); i++) g.LinkUpwardEdge(g.edges[i], static_cast<uint32_t>(i));
  }

  uint64_t Distance(const CH::TChNode* s, const CH::TChNode* t, bool avoid) {
    forward.Run(s, false, avoid);
    return Meet(backward.Run(t, true, avoid));
  }


  // Distances from s to many targets whose backward labels are kept.
  using TBackward = std::vector<CStateSearch::TLabel>;
  TBackward Backward(const CH::TChNode* t, bool avoid) { return backward.Run(t, true, avoid); }
  void Forward(const CH::TChNode* s, bool avoid) { forward.Run(s, false, avoid); }
  uint64_t Meet(const TBackward& back) const { return forward.Meet(back); }

 private:
  CH::CGeoMapGraph& g;
  CStateSearch forward, backward;
};

// ---- structure ----

// What a finished build promises: nodes in node order, ranks 0..n-1 for the
// contracted nodes, kCoreRank or -1 for the others; contracted and removed
// nodes without edges; every shortcut and bypass the sum of an edge into its
// via node and one out of it, made before it, with the flags that sum gives;
// the turn edges first.
inline void CheckBuilt(const CH::CGeoMapGraph& g) {
  for (size_t i = 1; i < g.nodes.Size(); i++)
    ASSERT_TRUE(CH::CompareNodesByStartNode(&g.nodes[i - 1], &g.nodes[i])) << i;
  std::vector<int32_t> ranks;
  for (const CH::TGeoMapNode& n : g.nodes) {
    ASSERT_EQ(n.heapEntry, nullptr);
    if (n.rank != CH::kCoreRank) {
      ASSERT_TRUE(n.in.Empty() && n.out.Empty());
    }
    if (n.rank >= 0 && n.rank != CH::kCoreRank) ranks.push_back(n.rank);
    ASSERT_GE(n.rank, -1);
  }
  std::sort(ranks.begin(), ranks.end());
  for (size_t i = 0; i < ranks.size(); i++) ASSERT_EQ(ranks[i], static_cast<int32_t>(i));
  for (size_t i = 0; i < g.edges.Size(); i++) {
    const CH::TChEdge& e = g.edges[i];
    ASSERT_EQ(e.via == nullptr, i < g.TurnEdgeCount()) << i;
    if (!e.via) {
      ASSERT_EQ(e.halves.first, CH::kNoEdge) << i;
      ASSERT_EQ(e.halves.second, CH::kNoEdge) << i;
      ASSERT_EQ(e.word & CH::kEdgeLeavesArea, 0u) << i;
      continue;
    }
    // The recorded halves: from -> via, then via -> to, made earlier, and
    // together the shortcut's cost and flags.
    ASSERT_LT(e.halves.first, i) << i;
    ASSERT_LT(e.halves.second, i) << i;
    const CH::TChEdge& a = g.edges[e.halves.first];
    const CH::TChEdge& b = g.edges[e.halves.second];
    ASSERT_TRUE(a.from == e.from && a.to == e.via && b.from == e.via && b.to == e.to) << "edge " << i;
    ASSERT_EQ(CH::EdgeCost(e.word), std::min<uint32_t>(CH::EdgeCost(a.word) + CH::EdgeCost(b.word), CH::kCostMask))
        << "edge " << i;
    ASSERT_EQ((e.word & CH::kEdgeRestricted) != 0, ((a.word | b.word) & CH::kEdgeRestricted) != 0) << "edge " << i;
    const bool leaves = e.from->IsArea() && e.to->IsArea() && (!e.via->IsArea() || ((a.word | b.word) & CH::kEdgeLeavesArea));
    ASSERT_EQ((e.word & CH::kEdgeLeavesArea) != 0, leaves) << "edge " << i;
  }
}

// ---- comparisons with the reference ----

// The nodes routes may start and end on: all but those removed by a chain.
inline std::vector<const CH::TGeoMapNode*> LiveNodes(const CH::CGeoMapGraph& g) {
  std::vector<const CH::TGeoMapNode*> live;
  for (const CH::TGeoMapNode& n : g.nodes)
    if (n.rank != CH::kExcludedRank) live.push_back(&n);
  return live;
}

inline std::string Describe(const CH::TGeoMapNode& n) {
  return std::to_string(n.StartNode()) + "->" + std::to_string(n.EndNode()) + "/" + std::to_string(n.RoadId());
}

// Counts of a comparison, for the test's own summary.
struct TCompared {
  uint64_t pairs = 0, reachable = 0, corePairs = 0;
};

// The reference's rows for one metric, each computed once.
class CReferenceRows {
 public:
  CReferenceRows(const TRoadGraph& roads, uint32_t metric) : oracle(roads, metric) {}
  const std::vector<uint64_t>& From(const CH::TGeoMapNode* s, bool avoid) {
    auto it = rows[avoid].find(KeyOf(*s));
    if (it == rows[avoid].end()) it = rows[avoid].emplace(KeyOf(*s), oracle.From(KeyOf(*s), avoid)).first;
    return it->second;
  }
  uint64_t At(const std::vector<uint64_t>& row, const CH::TGeoMapNode* t) const { return row[oracle.Index(KeyOf(*t))]; }

 private:
  COracle oracle;
  std::map<TLinkKey, std::vector<uint64_t>> rows[2];
};

// Between core nodes, over the edges that stay linked among them after a
// build (the core overlay that the atlas joins maps through), the distances
// from the given core nodes equal the reference's. Call before anything
// relinks the lists.
inline void ExpectCoreOverlay(const CH::CGeoMapGraph& g, CReferenceRows& ref, uint32_t metric,
                              const std::vector<const CH::TGeoMapNode*>& sources, TCompared* counts, const char* what) {
  std::vector<const CH::TGeoMapNode*> core;
  for (const CH::TGeoMapNode& n : g.nodes)
    if (n.rank == CH::kCoreRank) core.push_back(&n);
  CStateSearch search(g);
  for (bool avoid : {false, true}) {
    for (const CH::TGeoMapNode* s : sources) {
      const std::vector<uint64_t>& expect = ref.From(s, avoid);
      search.Run(s, false, avoid);
      for (const CH::TGeoMapNode* t : core) {
        const uint32_t ti = static_cast<uint32_t>(g.Index(t));
        const uint64_t got = s == t ? 0 : std::min(search.At(ti, false), search.At(ti, true));
        ASSERT_EQ(got, ref.At(expect, t)) << what << " core overlay, metric " << metric
                                          << (avoid ? " avoiding 0x0a " : " ") << Describe(*s) << " to "
                                          << Describe(*t);
        counts->corePairs++;
      }
    }
  }
}

// The contracted graph's distance equals the reference's for every pair of
// the given sources and targets, with and without type 0x0a roads.
// Relinks the graph's lists for the query.
inline void ExpectPairs(CH::CGeoMapGraph& g, CReferenceRows& ref, uint32_t metric,
                        const std::vector<const CH::TGeoMapNode*>& sources,
                        const std::vector<const CH::TGeoMapNode*>& live, TCompared* counts, const char* what) {
  CChQuery q(g);
  for (bool avoid : {false, true}) {
    std::vector<CChQuery::TBackward> backs;
    backs.reserve(live.size());
    for (const CH::TGeoMapNode* t : live) backs.push_back(q.Backward(t, avoid));
    for (const CH::TGeoMapNode* s : sources) {
      const std::vector<uint64_t>& expect = ref.From(s, avoid);
      q.Forward(s, avoid);
      for (size_t k = 0; k < live.size(); k++) {
        const CH::TGeoMapNode* t = live[k];
        const uint64_t want = ref.At(expect, t);
        ASSERT_EQ(s == t ? 0 : q.Meet(backs[k]), want)
            << what << " metric " << metric << (avoid ? " avoiding 0x0a " : " ") << Describe(*s) << " to "
            << Describe(*t);
        counts->pairs++;
        counts->reachable += want != kNoPath;
      }
    }
  }
}

// Up to `count` distinct nodes of a list, at random; all when count is 0.
inline std::vector<const CH::TGeoMapNode*> Sample(std::vector<const CH::TGeoMapNode*> nodes, uint32_t count,
                                                  std::mt19937& rng) {
  if (count == 0 || count >= nodes.size()) return nodes;
  std::shuffle(nodes.begin(), nodes.end(), rng);
  nodes.resize(count);
  return nodes;
}

// What the comparison of one build saw, for a test's own checks and notes.
using TBuildNote = void (*)(const CH::CGeoMapGraph& g, uint32_t metric, double seconds, void* context);

// Both metrics of a map's graph against the reference: the core overlay
// from `sources` random core nodes, then the pairs of `sources` random live
// nodes with `targets` random live nodes (0: all of them). The Time build
// reuses the Distance graph, as the writer does.
inline void ExpectMatchesReference(const TRoadGraph& roads, uint32_t sources, uint32_t targets, uint32_t seed,
                                   TCompared* counts, const char* what, TBuildNote note = nullptr,
                                   void* context = nullptr, bool reuseFirstOrder = true) {
  CH::CGeoMapGraph g;
  g.reuseFirstOrder = reuseFirstOrder;
  // The core's own generator: the pairs drawn after it must not depend on
  // how many core nodes the contraction happened to keep.
  std::mt19937 rng(seed), coreRng(seed ^ 0x5bd1e995u);
  for (uint32_t metric : {CH::kMetricDistance, CH::kMetricTime}) {
    const auto start = std::chrono::steady_clock::now();
    g.Build(roads, metric, metric == CH::kMetricTime, nullptr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (note) note(g, metric, seconds, context);
    ASSERT_NO_FATAL_FAILURE(CheckBuilt(g));
    CReferenceRows ref(roads, metric);
    std::vector<const CH::TGeoMapNode*> core;
    for (const CH::TGeoMapNode& n : g.nodes)
      if (n.rank == CH::kCoreRank) core.push_back(&n);
    ASSERT_NO_FATAL_FAILURE(ExpectCoreOverlay(g, ref, metric, Sample(core, sources, coreRng), counts, what));
    const std::vector<const CH::TGeoMapNode*> from = Sample(LiveNodes(g), sources, rng);
    const std::vector<const CH::TGeoMapNode*> to = Sample(LiveNodes(g), targets, rng);
    ASSERT_NO_FATAL_FAILURE(ExpectPairs(g, ref, metric, from, to, counts, what));
  }
}

// Area zones, chains and boundary nodes added to the arrays of a road graph
// (a real map that has none): the roads whose links all lie in a zone
// become area roads; chains follow random walks of 3 or 4 links, reversals
// included; some nodes become boundary nodes, never inside a chain.
inline void AddAreasChainsAndBorders(TRoadGraph& roads, uint32_t seed, uint32_t zones, uint32_t chains,
                                     uint32_t borderPermille) {
  std::mt19937 rng(seed);
  if (roads.Nodes.Empty() || roads.Links.Empty()) return;
  std::vector<std::pair<TGeoPoint, TGeoPoint>> boxes;
  const int32_t half = 3 << 15;  // about 400 m
  for (uint32_t i = 0; i < zones; i++) {
    const TGeoPoint c = roads.Nodes[rng() % roads.Nodes.Size()].Point;
    boxes.push_back({TGeoPoint{c.x - half, c.y - half}, TGeoPoint{c.x + half, c.y + half}});
  }
  auto inside = [&](uint32_t node) {
    const TGraphNode* n = roads.FindNode(node);
    for (const auto& [lo, hi] : boxes) {
      if (n && n->Point.x >= lo.x && n->Point.x <= hi.x && n->Point.y >= lo.y && n->Point.y <= hi.y) return true;
    }
    return false;
  };
  std::map<uint32_t, bool> zoned;
  for (const TRoadLink& l : roads.Links) {
    auto [it, added] = zoned.insert({l.RoadId, true});
    it->second = it->second && inside(l.From) && inside(l.To);
  }
  for (TGraphRoad& r : roads.Roads) {
    if (zoned[r.RoadId]) r.Word |= kRoadExt;
  }
  for (TGraphNode& n : roads.Nodes) {
    if (rng() % 1000 < borderPermille) n.External = 1;
  }
  // The oriented links that leave a node.
  auto leaving = [&](uint32_t node) {
    std::vector<TLinkKey> out;
    for (const TRoadLink* l = roads.LinksFromBegin(node); l != roads.LinksFromEnd(node); l++)
      out.emplace_back(l->From, l->To, l->RoadId);
    for (auto l = roads.LinksToBegin(node); l != roads.LinksToEnd(node); l++) {
      if (!(*l)->OneWay()) out.emplace_back((*l)->To, (*l)->From, (*l)->RoadId);
    }
    return out;
  };
  for (uint32_t i = 0; i < chains; i++) {
    const TRoadLink& first = roads.Links[rng() % roads.Links.Size()];
    std::vector<TLinkKey> walk{{first.From, first.To, first.RoadId}};
    const size_t want = 3 + rng() % 2;
    while (walk.size() < want) {
      std::vector<TLinkKey> options = leaving(std::get<1>(walk.back()));
      if (options.empty()) break;
      const TLinkKey back{std::get<1>(walk.back()), std::get<0>(walk.back()), std::get<2>(walk.back())};
      const bool reverse = rng() % 4 == 0 && std::find(options.begin(), options.end(), back) != options.end();
      walk.push_back(reverse ? back : options[rng() % options.size()]);
    }
    if (walk.size() < want) continue;
    bool usable = true;
    for (size_t k = 1; k < walk.size(); k++) {
      const TGraphNode* n = roads.FindNode(std::get<0>(walk[k]));
      usable = usable && n && !n->External;
    }
    if (!usable) continue;
    TRestrictionChain* c = roads.RestrictionChains.EmplaceBack();
    c->Nodes.PushBack(std::get<0>(walk[0]));
    for (const TLinkKey& l : walk) {
      c->Nodes.PushBack(std::get<1>(l));
      c->Roads.PushBack(std::get<2>(l));
    }
  }
  std::sort(roads.RestrictionChains.begin(), roads.RestrictionChains.end(), CompareRestrictionChains);
}

// A share of the networks in the slow builds (at least one).
inline uint32_t Scaled(uint32_t n) {
  const uint32_t share = TestUtil::kSanitized ? n / 4 : TestUtil::kEmulated ? n / 8 : n;
  return share ? share : 1;
}

// A whole number from the environment, or the fallback when it is unset, not
// a plain number or above the limit.
inline uint32_t EnvNumber(const char* name, uint32_t fallback, uint32_t limit) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return *end == 0 && value <= limit ? static_cast<uint32_t>(value) : fallback;
}

// Random grids of the given specs (by seed) against the reference, with a
// summary line. Longer checks than the test run's, by hand:
// ORLUMO_CHECK_SCALE multiplies the count of networks, ORLUMO_CHECK_SEED
// moves the first seed (to networks no earlier run saw).
inline void CheckGrids(uint32_t count, uint32_t firstSeed, TGridShape (*shapeOf)(uint32_t seed), uint32_t sources,
                       const char* what, bool reuseFirstOrder = true) {
  count *= std::max<uint32_t>(EnvNumber("ORLUMO_CHECK_SCALE", 1, 10000), 1);
  firstSeed += EnvNumber("ORLUMO_CHECK_SEED", 0, 1000000000);
  TCompared counts;
  uint32_t withCore = 0;
  for (uint32_t seed = firstSeed; seed < firstSeed + count; seed++) {
    TBuilt b(RandomGrid(seed, shapeOf(seed)), false);
    ASSERT_TRUE(b.ok) << what << " seed " << seed;
    const std::string trace = std::string(what) + " seed " + std::to_string(seed);
    const uint64_t before = counts.corePairs;
    ASSERT_NO_FATAL_FAILURE(
        ExpectMatchesReference(b.roads, sources, 0, seed, &counts, trace.c_str(), nullptr, nullptr, reuseFirstOrder));
    withCore += counts.corePairs != before;
  }
  std::printf("%s: %u networks, %llu pairs (%llu with a route), %llu core pairs in %u networks\n", what, count,
              static_cast<unsigned long long>(counts.pairs), static_cast<unsigned long long>(counts.reachable),
              static_cast<unsigned long long>(counts.corePairs), withCore);
  EXPECT_GT(counts.reachable, counts.pairs / 10);
  EXPECT_GT(withCore, 0u);
}

}  // namespace GeoMapTest
