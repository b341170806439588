// Time of building the per-map CH graphs ("Distance", then "Time") of one
// map, after loading it and building its road graph.
//
//   build/x64/bench/mapchbench map.mp
#include <cstdio>
#include <ctime>

#include "polski/map.h"
#include "routing/geomapgraph.h"

namespace {

// Processor time, not wall time: the machine may be shared.
double Seconds(std::clock_t since) { return static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mapchbench map.mp\n");
    return 2;
  }
  PolskiFormat::CMap map;
  std::clock_t start = std::clock();
  if (const char* error = map.LoadFile(argv[1], nullptr)) {
    std::fprintf(stderr, "%s\n", error);
    return 1;
  }
  PolskiFormat::SplitMultiLevelPolylines(map);
  std::printf("load %.2f s\n", Seconds(start));
  start = std::clock();
  TRoadGraph roads;
  bool ok = BuildRoadGraph(roads, map);
  std::printf("road graph %.2f s (%s): %zu roads, %zu links, %zu keys, %zu chains\n", Seconds(start),
              ok ? "valid" : "errors", roads.Roads.Size(), roads.Links.Size(), roads.RestrictionKeys.Size(),
              roads.RestrictionChains.Size());
  CH::CGeoMapGraph g;
  for (uint32_t metric : {CH::kMetricDistance, CH::kMetricTime}) {
    start = std::clock();
    g.Build(roads, metric, metric == CH::kMetricTime, nullptr);
    size_t core = 0, removed = 0, entries = 0, exits = 0;
    for (const CH::TGeoMapNode& n : g.nodes) {
      core += n.rank == CH::kCoreRank;
      removed += n.rank == CH::kExcludedRank;
      entries += n.startExternal;
      exits += n.endExternal;
    }
    std::printf("%s graph %.2f s: %zu nodes (%zu entries, %zu exits, %zu core, %zu removed), %zu turn edges, "
                "%zu edges\n",
                metric == CH::kMetricTime ? "Time" : "Distance", Seconds(start), g.nodes.Size(), entries, exits,
                core, removed, g.TurnEdgeCount(), g.edges.Size());
  }
  return 0;
}
