// The real maps of the corpus build both CH graphs: the structure holds
// and routes from a few links agree with a plain search over the road graph.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "polski/map.h"
#include "routing/geomapgraph.h"
#include "support/testutil.h"
#include "tests/routing/geomaptest.h"

using namespace GeoMapTest;

namespace {

void CheckMap(const char* file) {
  std::string gz = TestUtil::SharedPath(std::string("corpus/") + file + ".gz");
  if (gz.empty()) GTEST_SKIP() << "corpus not present";
  std::string path = TestUtil::Gunzip(gz, TestUtil::MakeTempDir(std::string("geomap_") + file));
  PolskiFormat::CMap map;
  ASSERT_EQ(map.LoadFile(path.c_str(), nullptr), nullptr);
  PolskiFormat::SplitMultiLevelPolylines(map);
  TRoadGraph roads;
  ASSERT_TRUE(BuildRoadGraph(roads, map));

  const bool emulated = sizeof(void*) < 8;  // the 32-bit build runs under an emulator
  CH::CGeoMapGraph g;
  for (uint32_t metric : {CH::kMetricDistance, CH::kMetricTime}) {
    SCOPED_TRACE(metric);
    auto start = std::chrono::steady_clock::now();
    g.Build(roads, metric, metric == CH::kMetricTime, nullptr);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t core = 0, removed = 0;
    for (const CH::TGeoMapNode& n : g.nodes) {
      core += n.rank == CH::kCoreRank;
      removed += n.rank == CH::kExcludedRank;
    }
    std::printf("%s metric %u: %zu nodes, %zu turn edges, %zu edges, %zu core, %zu removed, %.2f s\n", file, metric,
                g.nodes.Size(), g.TurnEdgeCount(), g.edges.Size(), core, removed, seconds);
    ASSERT_GT(g.nodes.Size(), 2000u);
    // The corpus marks no boundary nodes: no entries, no exits, no core.
    EXPECT_EQ(core, 0u);
    if (!emulated) CheckBuilt(g);

    CH::CGeoMapGraph copy;  // the query relinks the lists; keep g for the Time build
    copy.Build(roads, CH::kMetricDistance, false, nullptr);
    if (metric == CH::kMetricTime) copy.Build(roads, metric, true, nullptr);
    ASSERT_EQ(copy.edges.Size(), g.edges.Size());
    COracle oracle(roads, metric);
    CChQuery q(copy);
    std::mt19937 rng(7);
    const uint32_t sources = emulated ? 1 : 3, targets = emulated ? 50 : 400;
    for (uint32_t i = 0; i < sources; i++) {
      const CH::TGeoMapNode& s = copy.nodes[rng() % copy.nodes.Size()];
      if (s.rank == CH::kExcludedRank) continue;
      for (bool avoid : {false, true}) {
        std::vector<uint64_t> expect = oracle.From(KeyOf(s), avoid);
        for (uint32_t k = 0; k < targets; k++) {
          const CH::TGeoMapNode& t = copy.nodes[rng() % copy.nodes.Size()];
          if (t.rank == CH::kExcludedRank) continue;
          ASSERT_EQ(q.Distance(&s, &t, avoid), expect[oracle.Index(KeyOf(t))]);
        }
      }
    }
  }
}

TEST(GeoMapGraphCorpus, Liechtenstein) { CheckMap("li2013.mp"); }
TEST(GeoMapGraphCorpus, Monaco) { CheckMap("monaco-2016.mp"); }
TEST(GeoMapGraphCorpus, Andorra) { CheckMap("andorra-2020.mp"); }

}  // namespace
