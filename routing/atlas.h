// The atlas file joining the routing graphs of many maps: the builder reads
// the finished map files back through one page cache, builds the atlas
// graph of each metric (routing/atlasgraph.h) and writes the file
// "atlas-%08x.dat" (CRC-32 of the sorted map ids) with one write. The
// layout is given beside the code that writes it (atlas.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/containers.h"
#include "core/geo.h"
#include "core/streams.h"
#include "mapfile/pagecache.h"
#include "routing/nodetree.h"

namespace ZorvaneMap {
class CMapFile;
class CAtlasGraph;
}  // namespace ZorvaneMap

// A node record keeps its map index in 14 bits.
constexpr uint32_t kMaxAtlasMaps = 16383;

class CAtlasBuilder {
 public:
  CAtlasBuilder() = default;
  // Deletes the maps still listed.
  ~CAtlasBuilder();
  CAtlasBuilder(const CAtlasBuilder&) = delete;
  CAtlasBuilder& operator=(const CAtlasBuilder&) = delete;

  void DeleteMaps();

  // First: the maps drop their pages from it when they go, and its lock
  // is the lock of every map read.
  CStreamCache cache;
  // The kept maps, sorted by id: a map's place is its map index.
  CReallocArray<ZorvaneMap::CMapFile*> maps;
  // The most maps an atlas takes (tests lower it).
  uint32_t mapLimit = kMaxAtlasMaps;
};

// True when the atlas file was written into the output directory; logs
// its own errors. Old atlas files of the directory are deleted first.
bool BuildAtlas(CAtlasBuilder& builder, const std::string& outputDirectory, const CReallocArray<std::string>& maps,
                const bool* stop);

// "atlas-%08x.dat" with the CRC-32 of the concatenated 16-byte ids.
std::string AtlasFileName(const uint8_t* ids, size_t count);
// True for "atlas-" + 8 hex digits + ".dat", in any case.
bool IsAtlasFileName(const std::string& name);
// Deletes the atlas files of the directory itself (not of its subdirectories).
void DeleteOldAtlases(const std::string& directory);

// Builds, contracts and writes one metric's graph at the image's position
// and appends the external-node entries of its entry and exit nodes. False
// when stopped.
bool BuildAtlasGraph(CAtlasBuilder& builder, CMemStream& image, uint32_t metric, const bool* stop,
                     CReallocArray<TExternalNodeEntry>& external);

// An entry or exit node as written: where routes cross into or out of the atlas.
struct TAtlasTerminal {
  uint32_t node;     // index in the graph
  TGeoPoint entry;   // where its link starts (entry nodes)
  TGeoPoint exit;    // where its link ends (exit nodes)
  uint32_t cost;     // the word behind its map record (exit nodes)
};

// What writing one graph leaves for its external nodes.
struct TAtlasGraphOutput {
  CReallocArray<uint32_t> offsets;  // file offset of each node's record, by node index
  CReallocArray<TAtlasTerminal> terminals;  // in node order
};

// The map tables around the node records of a contracted graph.
void WriteAtlasMapTables(CAtlasBuilder& builder, CMemStream& image, ZorvaneMap::CAtlasGraph& graph,
                         TAtlasGraphOutput& out);
// The records size and the node records in rank order.
void WriteAtlasNodes(CAtlasBuilder& builder, CMemStream& image, ZorvaneMap::CAtlasGraph& graph,
                     TAtlasGraphOutput& out);
// One external-node entry per entry node (kind 0) or exit node (kind 1).
void CollectAtlasExternalNodes(const ZorvaneMap::CAtlasGraph& graph, const TAtlasGraphOutput& out, uint32_t kind,
                               uint32_t metric, CReallocArray<TExternalNodeEntry>& external);
