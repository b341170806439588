// The real maps of the corpus build their road graphs: the counts equal
// ones taken independently from the loaded roads, every array is in its
// order, and every look-up the routing stages make runs over the whole
// graph (under the sanitizers in that build).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "polski/map.h"
#include "routing/roadgraph.h"
#include "support/testutil.h"

using namespace PolskiFormat;

namespace {

struct TCounts {
  size_t roads = 0, links = 0, nodeRoads = 0, keys = 0, chains = 0;
  std::set<uint32_t> nodes, external;
};

TCounts CountRoads(const CMap& map) {
  TCounts c;
  std::map<uint32_t, uint8_t> bound;
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const TRoadAttributes* road = map.Polyline(i)->Routing;
    if (!road || road->AccessDenied[2]) continue;
    c.roads++;
    c.nodeRoads += road->Nodes.Size();
    if (road->Nodes.Size() > 1) c.links += road->Nodes.Size() - 1;
    for (const TRoadNode& n : road->Nodes) {
      c.nodes.insert(n.NodeId);
      if (n.Bound) c.external.insert(n.NodeId);
    }
  }
  for (const TRestriction* r : map.Restrictions) {
    size_t points = r->TraffPoints.Size(), roads = r->TraffRoads.Size();
    if (points == 3 && roads == 2) c.keys++;
    if (points > 3 && roads + 1 == points) {
      bool usable = true;
      for (size_t k = 1; k + 1 < points; k++) {
        uint32_t id = r->TraffPoints[k];
        usable = usable && c.nodes.count(id) && !c.external.count(id);
      }
      c.chains += usable;
    }
  }
  return c;
}

template <class T, class TLess>
bool Sorted(const CReallocArray<T>& a, TLess less) {
  return std::is_sorted(a.begin(), a.end(), less);
}

void CheckMap(const char* file) {
  std::string gz = TestUtil::SharedPath(std::string("corpus/") + file + ".gz");
  if (gz.empty()) GTEST_SKIP() << "corpus not present";
  std::string path = TestUtil::Gunzip(gz, TestUtil::MakeTempDir(std::string("roadgraph_") + file));
  CMap map;
  ASSERT_EQ(map.LoadFile(path.c_str(), nullptr), nullptr);
  SplitMultiLevelPolylines(map);
  const TCounts expect = CountRoads(map);
  ASSERT_GT(expect.links, 1000u);

  TRoadGraph g;
  ASSERT_TRUE(BuildRoadGraph(g, map));
  EXPECT_EQ(g.Roads.Size(), expect.roads);
  EXPECT_EQ(g.Nodes.Size(), expect.nodes.size());
  EXPECT_EQ(g.Links.Size(), expect.links);
  EXPECT_EQ(g.LinksByTo.Size(), expect.links);
  EXPECT_EQ(g.NodeRoads.Size(), expect.nodeRoads);
  EXPECT_EQ(g.RestrictionKeys.Size(), expect.keys);
  EXPECT_EQ(g.RestrictionChains.Size(), expect.chains);
  size_t external = 0;
  for (const TGraphNode& n : g.Nodes) external += n.External;
  EXPECT_EQ(external, expect.external.size());

  EXPECT_TRUE(Sorted(g.Roads, [](auto& a, auto& b) { return SignedLess(a.RoadId, b.RoadId); }));
  EXPECT_TRUE(Sorted(g.Nodes, [](auto& a, auto& b) { return SignedLess(a.NodeId, b.NodeId); }));
  EXPECT_TRUE(Sorted(g.Links, [](auto& a, auto& b) { return SignedLess(a.From, b.From); }));
  EXPECT_TRUE(Sorted(g.LinksByTo, [](auto* a, auto* b) { return SignedLess(a->To, b->To); }));
  EXPECT_TRUE(Sorted(g.NodeRoads, [](auto& a, auto& b) {
    return std::tie(a.NodeId, a.RoadId) < std::tie(b.NodeId, b.RoadId);
  }));
  EXPECT_TRUE(Sorted(g.RestrictionKeys, [](auto& a, auto& b) { return std::memcmp(&a, &b, 20) < 0; }));
  EXPECT_TRUE(Sorted(g.RestrictionChains, CompareRestrictionChains));
  EXPECT_TRUE(Sorted(g.LaneConnections, [](auto& a, auto& b) { return std::memcmp(&a, &b, 20) < 0; }));

  // What the routing stages rely on: every link's road and both ends are
  // found; every link leaves its to-node as an exit or not at all, and
  // the turn walk over each allowed exit ends.
  CReallocArray<const TRoadLink*> exits, entries;
  size_t restricted = 0, walked = 0;
  for (const TRoadLink& link : g.Links) {
    ASSERT_NE(g.FindRoad(link.RoadId), nullptr);
    ASSERT_NE(g.FindNode(link.From), nullptr);
    ASSERT_NE(g.FindNode(link.To), nullptr);
    ASSERT_NE(FindRoadById(map, link.RoadId), nullptr);
    const TNodeRoadRef* from = FindRoadLinksByNode(g, link.From);
    const TNodeRoadRef* to = FindLinkRecord(FindRoadLinksByNode(g, link.To), g.NodeRoads.end(), link.To, link.RoadId);
    ASSERT_NE(to, nullptr);
    EXPECT_EQ(FindLinkRecord(from, g.NodeRoads.end(), link.From, link.RoadId)->Position + 1, to->Position);
    EXPECT_EQ(link.OneWay(), g.FindRoad(link.RoadId)->OneWay());

    g.GetAllowedExits(link.From, link.To, link.RoadId, exits);
    size_t all = static_cast<size_t>(g.LinksFromEnd(link.To) - g.LinksFromBegin(link.To));
    for (auto l = g.LinksToBegin(link.To); l != g.LinksToEnd(link.To); ++l) all += !(*l)->OneWay();
    EXPECT_LE(exits.Size(), all);
    restricted += all - exits.Size();
    for (const TRoadLink* exit : exits) {
      int angle = WalkLinks(g, map, link.To, exit->FarEnd(link.To), exit->RoadId, 30, 90);
      EXPECT_LE(std::abs(angle), 180 * 65);
      walked++;
    }
    g.GetAllowedEntries(link.From, link.To, link.RoadId, entries);
  }
  // Plain restrictions forbid turns that exist.
  EXPECT_GT(restricted, 0u);
  EXPECT_GT(walked, expect.links);
  g.Free();
}

TEST(RoadGraphCorpus, Liechtenstein) { CheckMap("li2013.mp"); }
TEST(RoadGraphCorpus, Monaco) { CheckMap("monaco-2016.mp"); }
TEST(RoadGraphCorpus, Andorra) { CheckMap("andorra-2020.mp"); }

}  // namespace
