// Time of contracting square grid graphs of growing size (each neighbour
// pair joined both ways, random costs). The growth factor between sizes
// should stay near the size factor (near-linear work).
//
//   build/x64/bench/chbench [nodes...]      default 100000 300000 1000000
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "tests/routing/chtestgraph.h"

namespace {

// Processor time, not wall time: the machine may be shared.
double Seconds(std::clock_t since) { return static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
  size_t sizes[16] = {100000, 300000, 1000000};
  int count = 3;
  if (argc > 1) {
    count = 0;
    for (int i = 1; i < argc && count < 16; i++) sizes[count++] = std::strtoul(argv[i], nullptr, 10);
  }
  std::printf("%10s %10s %10s %10s %10s %8s %8s\n", "nodes", "edges", "shortcuts", "changes", "rebuilds",
              "order s", "us/node");
  double lastTime = 0;
  size_t lastNodes = 0;
  for (int i = 0; i < count; i++) {
    uint32_t side = 1;
    while (static_cast<size_t>(side) * side < sizes[i]) side++;
    ChTest::CTestGraph g(static_cast<size_t>(side) * side);
    ChTest::AddGrid(g, side, side, 100, 7);
    CH::TOrderingState state(g);
    CReallocArray<CH::TChNode*> list;
    for (CH::TChNode& n : g.nodes) list.PushBack(&n);
    std::clock_t start = std::clock();
    g.OrderNodes(state, list, CH::CompareNodeIds, nullptr);
    double t = Seconds(start);
    size_t n = g.nodes.Size();
    std::printf("%10zu %10zu %10zu %10u %10u %8.2f %8.2f", n, g.baseEdges, g.Shortcuts(), state.counts.priorityChanges,
                state.counts.rebuilds, t, t * 1e6 / static_cast<double>(n));
    if (lastNodes) std::printf("   x%.2f time for x%.2f nodes", t / lastTime, double(n) / double(lastNodes));
    std::printf("\n");
    std::fflush(stdout);
    lastTime = t;
    lastNodes = n;
  }
  return 0;
}
