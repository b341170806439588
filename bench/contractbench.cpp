// Work of the per-map CH contractions of each map: per metric, the time of
// the landmarks' searches (Time), of the contraction that finds the core,
// of the core selection and of the final contraction, with the counts of
// each contraction (witness searches, nodes they settled, edges they
// scanned, shortcuts made, priority updates, top-of-heap changes, full
// re-simulations).
//
//   build/x64/bench/contractbench [--markdown] [--digest] [--in-order] [--distance | --time] map.mp...
//
// --digest adds a hash of each built graph, so that a change meant to keep
// the hierarchy can be checked to keep it. --distance or --time builds one
// metric only. --in-order contracts the graph once more in the order just
// found, by witness searches alone: what the hierarchy costs without the
// ordering's priority work, the floor of any better ordering method; the
// time of each slice of that order (to 50, 80, 90, 95 and 100 %) shows what
// a core left uncontracted at the top would save.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/platform/platform.h"
#include "polski/map.h"
#include "routing/geomapgraph.h"

namespace {

void PrintCounts(const char* name, uint32_t ms, const CH::TContractionCounts& c) {
  std::printf("  %-6s %8.2f s  searches %llu, settled %llu, scanned %llu, shortcuts %llu, updates %llu, "
              "changes %u, rebuilds %u\n",
              name, ms / 1000.0, static_cast<unsigned long long>(c.witnessSearches),
              static_cast<unsigned long long>(c.settledNodes), static_cast<unsigned long long>(c.scannedEdges),
              static_cast<unsigned long long>(c.shortcuts), static_cast<unsigned long long>(c.simulations),
              c.priorityChanges, c.rebuilds);
}

// A digest of the built graph (every rank, every edge's ends, word and via
// node): two builds that give the same digest made the same hierarchy.
uint64_t Digest(const CH::CGeoMapGraph& g) {
  uint64_t h = 14695981039346656037ull;
  auto mix = [&h](uint64_t v) {
    for (int i = 0; i < 8; i++, v >>= 8) h = (h ^ (v & 0xff)) * 1099511628211ull;
  };
  for (const CH::TGeoMapNode& n : g.nodes) mix(static_cast<uint32_t>(n.rank));
  for (const CH::TChEdge& e : g.edges) {
    mix(g.Index(e.from));
    mix(g.Index(e.to));
    mix(e.word);
    mix(e.via ? g.Index(e.via) : UINT64_MAX);
  }
  return h;
}

// One table row per map and metric.
void PrintRow(const char* map, const char* metric, const CH::CGeoMapGraph& g) {
  const CH::TGeoBuildStats& s = g.Stats();
  const CH::TContractionCounts& c = s.second;
  std::printf("| %s | %s | %zu | %u/%u | %u | %s | %.2f | %.2f | %.2f | %.2f | %llu | %llu | %llu | %llu | %llu |\n",
              map, metric, g.nodes.Size(), s.entries, s.exits, s.core, s.firstSkipped ? "skipped" : "done",
              s.firstMs / 1000.0, s.coreMs / 1000.0, s.secondMs / 1000.0,
              (s.landmarksMs + s.firstMs + s.coreMs + s.secondMs) / 1000.0,
              static_cast<unsigned long long>(c.witnessSearches),
              static_cast<unsigned long long>(c.settledNodes), static_cast<unsigned long long>(c.scannedEdges),
              static_cast<unsigned long long>(c.shortcuts), static_cast<unsigned long long>(c.simulations));
}

// The final contraction again, in the ranks it gave, as Build sets it up:
// the turn edges linked afresh, the core kept out, the chains bypassed.
// The bounds of the witness searches (points, landmarks) stay as found.
void ContractAgainInOrder(CH::CGeoMapGraph& g, const TRoadGraph& roads, bool digest) {
  std::vector<int32_t> rank(g.nodes.Size());
  for (size_t i = 0; i < rank.size(); i++) rank[i] = g.nodes[i].rank;
  const uint64_t before = digest ? Digest(g) : 0;
  g.ResetAdjacency();
  for (size_t i = 0; i < rank.size(); i++) {
    if (rank[i] == CH::kCoreRank) g.nodes[i].rank = CH::kCoreRank;
  }
  g.ProcessRestrictionChains(roads);
  CReallocArray<CH::TChNode*> list;
  for (CH::TGeoMapNode& n : g.nodes) {
    if (n.rank == 0) list.PushBack(&n);
  }
  std::stable_sort(list.begin(), list.end(),
                   [&](const CH::TChNode* a, const CH::TChNode* b) { return rank[g.Index(a)] < rank[g.Index(b)]; });
  CH::TOrderingState state(g, CH::kHeapEntriesPerBlock);
  // In slices, to show what the top of the order costs: a slice's ranks
  // start at 0 and are moved up after it (no contraction reads them).
  CH::TContractionCounts total{};
  uint32_t ms = 0;
  size_t done = 0;
  for (const int percent : {50, 80, 90, 95, 100}) {
    const size_t end = list.Size() * percent / 100;
    CReallocArray<CH::TChNode*> slice;
    for (size_t i = done; i < end; i++) slice.PushBack(list[i]);
    const uint32_t start = Platform::GetTickCount();
    g.ContractInOrder(state, slice, nullptr);
    const uint32_t sliceMs = Platform::GetTickCount() - start;
    for (CH::TChNode* n : slice) n->rank += static_cast<int32_t>(done);
    char name[16];
    std::snprintf(name, sizeof name, "-%d%%", percent);
    PrintCounts(name, sliceMs, state.counts);
    ms += sliceMs;
    total.witnessSearches += state.counts.witnessSearches;
    total.settledNodes += state.counts.settledNodes;
    total.scannedEdges += state.counts.scannedEdges;
    total.shortcuts += state.counts.shortcuts;
    done = end;
  }
  PrintCounts("order", ms, total);
  if (digest) {
    const uint64_t after = Digest(g);
    std::printf("  digest %016llx (%s)\n", static_cast<unsigned long long>(after),
                after == before ? "the same hierarchy" : "another hierarchy");
  }
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  bool markdown = false, digest = false, inOrder = false, distance = true, time = true;
  for (; first < argc && argv[first][0] == '-'; first++) {
    if (std::strcmp(argv[first], "--markdown") == 0) {
      markdown = true;
    } else if (std::strcmp(argv[first], "--digest") == 0) {
      digest = true;
    } else if (std::strcmp(argv[first], "--in-order") == 0) {
      inOrder = true;
    } else if (std::strcmp(argv[first], "--distance") == 0) {
      time = false;
    } else if (std::strcmp(argv[first], "--time") == 0) {
      distance = false;
    } else {
      break;
    }
  }
  if (argc <= first || (markdown && inOrder)) {
    std::fprintf(stderr, "usage: contractbench [--markdown] [--digest] [--in-order] [--distance | --time] map.mp...\n");
    return 2;
  }
  if (markdown) {
    std::printf("| map | metric | nodes | entries/exits | core | first contraction | first s | core selection s | "
                "final s | total s | searches | settled | scanned | shortcuts | updates |\n"
                "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  }
  for (int i = first; i < argc; i++) {
    PolskiFormat::CMap map;
    if (const char* error = map.LoadFile(argv[i], nullptr)) {
      std::fprintf(stderr, "%s: %s\n", argv[i], error);
      return 1;
    }
    PolskiFormat::SplitMultiLevelPolylines(map);
    TRoadGraph roads;
    if (!BuildRoadGraph(roads, map)) {
      std::fprintf(stderr, "%s: road graph with errors\n", argv[i]);
      return 1;
    }
    const char* name = std::strrchr(argv[i], '/') ? std::strrchr(argv[i], '/') + 1 : argv[i];
    CH::CGeoMapGraph g;
    for (uint32_t metric : {CH::kMetricDistance, CH::kMetricTime}) {
      if (!(metric == CH::kMetricTime ? time : distance)) continue;
      const char* metricName = metric == CH::kMetricTime ? "Time" : "Distance";
      // As the map writer builds them: Time on the nodes and edges of Distance.
      g.Build(roads, metric, metric == CH::kMetricTime && distance, nullptr);
      if (markdown) {
        PrintRow(name, metricName, g);
        std::fflush(stdout);
        continue;
      }
      const CH::TGeoBuildStats& s = g.Stats();
      std::printf("%s %s: %zu nodes, %zu turn edges, %zu edges; entries %u, exits %u, core %u\n", name, metricName,
                  g.nodes.Size(), g.TurnEdgeCount(), g.edges.Size(), s.entries, s.exits, s.core);
      if (s.landmarksMs) std::printf("  landmarks %4.2f s\n", s.landmarksMs / 1000.0);
      if (s.firstSkipped) {
        std::printf("  first  skipped (no entry or no exit node)\n");
      } else {
        PrintCounts("first", s.firstMs, s.first);
        std::printf("  core   %8.2f s\n", s.coreMs / 1000.0);
      }
      PrintCounts("final", s.secondMs, s.second);
      if (digest) std::printf("  digest %016llx\n", static_cast<unsigned long long>(Digest(g)));
      if (inOrder) ContractAgainInOrder(g, roads, digest);
      std::fflush(stdout);
    }
  }
  return 0;
}
