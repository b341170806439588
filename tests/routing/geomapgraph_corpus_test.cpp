// The real maps of the corpus build both CH graphs: the structure holds and
// random pairs agree with the reference router over the road graph, as the
// maps stand and with area zones, chains and boundary nodes added to them
// (the corpus has none).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "polski/map.h"
#include "routing/geomapgraph.h"
#include "support/testutil.h"
#include "tests/routing/geomaptest.h"

using namespace GeoMapTest;

namespace {

struct TNotes {
  const char* file;
  bool plain;
};

void Note(const CH::CGeoMapGraph& g, uint32_t metric, double seconds, void* context) {
  const TNotes& notes = *static_cast<const TNotes*>(context);
  size_t core = 0, removed = 0;
  for (const CH::TGeoMapNode& n : g.nodes) {
    core += n.rank == CH::kCoreRank;
    removed += n.rank == CH::kExcludedRank;
  }
  std::printf("%s%s metric %u: %zu nodes, %zu turn edges, %zu edges, %zu core, %zu removed, %.2f s\n", notes.file,
              notes.plain ? "" : " (areas, chains, borders)", metric, g.nodes.Size(), g.TurnEdgeCount(),
              g.edges.Size(), core, removed, seconds);
  EXPECT_GT(g.nodes.Size(), 2000u);
  // The witness searches' bound on real roads: no edge (turn edge, chain
  // bypass or shortcut) costs much less than the distance between the
  // points of its ends. A link's length is a sum of whole metres, one per
  // segment, so a short link with shape points may fall a metre or so
  // below its chord; that can only hide a witness, never lose a route.
  if (metric == CH::kMetricDistance) {
    ASSERT_TRUE(g.pointBounds);
    double worst = 0;
    for (const CH::TChEdge& e : g.edges) {
      const CH::TBoundPoint a = e.from->point, b = e.to->point;
      const double dx = a.x - b.x, dy = a.y - b.y;
      worst = std::max(worst, std::sqrt(dx * dx + dy * dy) - CH::EdgeCost(e.word));
    }
    EXPECT_LT(worst, 2.0);
  } else {
    EXPECT_FALSE(g.pointBounds);
  }
  // The corpus marks no boundary nodes: no entries, no exits, no core.
  if (notes.plain) {
    EXPECT_EQ(core, 0u);
  }
}

void CheckMap(const char* file, bool plain) {
  std::string gz = TestUtil::SharedPath(std::string("corpus/") + file + ".gz");
  if (gz.empty()) GTEST_SKIP() << "corpus not present";
  std::string path = TestUtil::Gunzip(gz, TestUtil::MakeTempDir(std::string("geomap_") + file));
  PolskiFormat::CMap map;
  ASSERT_EQ(map.LoadFile(path.c_str(), nullptr), nullptr);
  PolskiFormat::SplitMultiLevelPolylines(map);
  TRoadGraph roads;
  ASSERT_TRUE(BuildRoadGraph(roads, map));
  if (!plain) AddAreasChainsAndBorders(roads, 17, 6, 300, 5);

  const bool emulated = TestUtil::kEmulated;
  TCompared counts;
  TNotes notes{file, plain};
  ExpectMatchesReference(roads, emulated ? 2 : 4, emulated ? 100 : 600, 7, &counts, file, Note, &notes);
  std::printf("%s: %llu pairs (%llu with a route), %llu core pairs\n", file,
              static_cast<unsigned long long>(counts.pairs), static_cast<unsigned long long>(counts.reachable),
              static_cast<unsigned long long>(counts.corePairs));
  // Area zones and chains cut routes off: the added network keeps fewer of them, and the
  // emulated build samples few sources.
  EXPECT_GT(counts.reachable, plain ? counts.pairs / 2 : counts.pairs / 4);
  if (!plain) {
    EXPECT_GT(counts.corePairs, 0u);
  }
}

TEST(GeoMapGraphCorpus, Liechtenstein) { CheckMap("li2013.mp", true); }
TEST(GeoMapGraphCorpus, Monaco) { CheckMap("monaco-2016.mp", true); }
TEST(GeoMapGraphCorpus, Andorra) { CheckMap("andorra-2020.mp", true); }
TEST(GeoMapGraphCorpus, LiechtensteinWithAreasChainsAndBorders) { CheckMap("li2013.mp", false); }
TEST(GeoMapGraphCorpus, MonacoWithAreasChainsAndBorders) { CheckMap("monaco-2016.mp", false); }

}  // namespace
