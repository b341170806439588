// Time and memory of each routing step of one map write, in the order the
// map writer runs them: the road graph, the Distance contraction and its
// part of section 10, the Time contraction and its part, section 11, the
// segment blocks of every road record, the road references, section 8.
// The records are stand-ins of the right size for the routing data.
//
//   build/x64/bench/mapchbench map.mp
//
// One line per step: "step NAME SECONDS s, peak RSS MB MB, +BYTES image bytes".
#include <sys/resource.h>

#include <cstdio>
#include <ctime>

#include "polski/map.h"
#include "routing/graphsections.h"
#include "routing/nodetree.h"

namespace {

// Processor time, not wall time: the machine may be shared.
double Seconds(std::clock_t since) { return static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC; }

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

class CStep {
 public:
  CStep(const char* name, const CMemStream& image) : name(name), image(image), bytes(image.Size()) {}
  ~CStep() {
    std::printf("step %s %.3f s, peak RSS %.0f MB, +%llu image bytes\n", name, Seconds(start), PeakMegabytes(),
                static_cast<unsigned long long>(image.Size() - bytes));
    std::fflush(stdout);
  }

 private:
  const char* name;
  const CMemStream& image;
  uint64_t bytes;
  std::clock_t start = std::clock();
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mapchbench map.mp\n");
    return 2;
  }
  PolskiFormat::CMap map;
  CMemStream image;
  {
    CStep step("load", image);
    if (const char* error = map.LoadFile(argv[1], nullptr)) {
      std::fprintf(stderr, "%s\n", error);
      return 1;
    }
    PolskiFormat::SplitMultiLevelPolylines(map);
  }
  TRoadGraph roads;
  {
    CStep step("road-graph", image);
    if (!BuildRoadGraph(roads, map)) std::printf("road graph with errors\n");
  }
  std::printf("roads %zu, links %zu, keys %zu, chains %zu\n", roads.Roads.Size(), roads.Links.Size(),
              roads.RestrictionKeys.Size(), roads.RestrictionChains.Size());
  CGraphSectionWriter sections(roads, map);
  image.Seek(188);
  uint32_t counts[4];
  {
    CH::CGeoMapGraph graph;
    for (uint32_t metric : {CH::kMetricDistance, CH::kMetricTime}) {
      const bool time = metric == CH::kMetricTime;
      {
        CStep step(time ? "contract-time" : "contract-distance", image);
        graph.Build(roads, metric, time, nullptr);
      }
      CStep step(time ? "section10-time" : "section10-distance", image);
      WriteChGraph(sections, graph, roads, metric, image, &counts[2 * metric], &counts[2 * metric + 1]);
    }
  }
  {
    CStep step("section11", image);
    WriteExternalNodeTree(sections.ExternalNodes, image);
  }
  {
    CStep step("road-blocks", image);
    for (size_t i = 0; i < map.Polylines.Size(); i++) {
      const PolskiFormat::CPolyline& line = *map.Polyline(i);
      if (!line.Routing || line.Routing->AccessDenied[2]) continue;
      const PolskiFormat::TRoadAttributes& road = *line.Routing;
      while (image.GetPos() % 4) image.WriteU8(0);
      const uint32_t record = static_cast<uint32_t>(image.GetPos());
      const size_t n = road.Nodes.Size();
      for (const PolskiFormat::TRoadNode& node : road.Nodes) {
        sections.InsertNodeKey(node.NodeId, node.Bound ? 1 : 0, record, node.PointIndex);
      }
      // Stand-in record: the head with the segment table, the route-node
      // references.
      const uint64_t head = 78 + 2 * (n ? n - 1 : 0);
      for (uint64_t k = 0; k < head; k++) image.WriteU8(0);
      for (size_t k = 0; k < n; k++) {
        sections.AddNodeRefPlace(road.Nodes[k].NodeId, static_cast<uint32_t>(image.GetPos()));
        image.WriteU32(0);
      }
      WriteRoadGraphData(sections, road, image, record);
    }
  }
  {
    CStep step("road-references", image);
    PatchTileGraphRefs(sections, image);
  }
  {
    CStep step("section8", image);
    while (image.GetPos() % 4) image.WriteU8(0);
    WriteGraphNodeTable(sections, image);
  }
  return 0;
}
