// The atlas file. All numbers little-endian; every position is an
// absolute file offset.
//
//   0        8   magic "qx atlas" (no NUL)
//   8        2   u16 version 5
//   10       2   u16 map count M
//   12       16M map ids (16-byte MD5 of each map file) ascending as bytes;
//                the i-th id is map index i
//   12+16M       graph of metric 0 "Distance", then graph of metric 1
//                "Time", then the external-node tree (routing/nodetree.h);
//                nothing follows the tree
//
// Graph of one metric with N nodes (begins 4-aligned):
//   map tables    for each map index in order: u32 count n, then n pairs
//                 (u32 position of the node's record in that map's section
//                 10, u32 file offset of its record here) ascending by
//                 position; every node in exactly one pair
//   u32           byte length of the node records (0 when N = 0)
//   records       N node records by rank ascending, each 4-aligned
//
// Node record:
//   0   u32  position of the node's record in its map's section 10 | bit 0
//            entry node | bit 1 exit node
//   4   u16  bit 0 area node; bit 1 type 0x0a road (entry and exit nodes
//            only, else 0); bits 2-15 map index
//   6   u8   in count, 255 = a u16 follows;  7  u8 out count, likewise
//   8   0/2  u16 in count;  0/2  u16 out count;  0-3 zeros to 4
//   ..  8    entry nodes: i32 x, i32 y where the node's link starts
//   ..  12   exit nodes: i32 x, i32 y where it ends; u32 the word behind
//            the node's map record (its link's Time cost)
//   ..  12 per edge, the in edges (ordered by their from end's rank) then
//       the out edges (by their to end's rank)
// Edge:
//   0   u32  cost << 2 | S << 1 | U
//   4   u32  file offset of the other end's record | bit 1 the other end
//            ranks below this node | bit 0 edge bit 30
//   8   u32  via: an atlas shortcut: the via node's record offset | 1; a
//            map edge: its via record in the map's section 10 (0 for a
//            plain edge); a join: 0
// Every edge is listed at its lower-ranked end, and at both ends when both
// are core nodes (rank at least N - T).
#include "routing/atlas.h"

#include <cryptopp/crc.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/crash.h"
#include "core/dirutil.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "mapfile/reader.h"
#include "routing/atlasgraph.h"

using ZorvaneMap::CAtlasGraph;
using ZorvaneMap::CMapFile;
using ZorvaneMap::TAtlasEdge;
using ZorvaneMap::TAtlasNode;

namespace {

constexpr char kAtlasMagic[8] = {'q', 'x', ' ', 'a', 't', 'l', 'a', 's'};
constexpr uint16_t kAtlasVersion = 5;
constexpr uint32_t kMaxNodeEdges = 0xffff;
// References in the external-node tree keep offset / 4 in 29 bits.
constexpr uint64_t kMaxRecordOffset = 0x80000000u;

bool Stopped(const bool* stop) { return stop && *stop; }

void WriteZeros(CMemStream& image, uint64_t n) {
  static const uint8_t zeros[256] = {};
  while (n) {
    const uint64_t k = std::min<uint64_t>(n, sizeof zeros);
    image.Write(zeros, k);
    n -= k;
  }
}

// The head of a node record.
struct TAtlasNodeHead {
  uint32_t word;    // map record position | entry | exit << 1
  uint16_t packed;  // area | type 0x0a << 1 | map index << 2
  uint32_t in;
  uint32_t out;

  void Encode(CMemStream& image) const {
    image.WriteU32(word);
    image.WriteU16(packed);
    image.WriteU8(static_cast<uint8_t>(std::min<uint32_t>(in, 255)));
    image.WriteU8(static_cast<uint8_t>(std::min<uint32_t>(out, 255)));
    if (in >= 255) image.WriteU16(static_cast<uint16_t>(in));
    if (out >= 255) image.WriteU16(static_cast<uint16_t>(out));
    if (image.GetPos() % 4) WriteZeros(image, 4 - image.GetPos() % 4);
  }
};

// An edge where it is listed: at `host`, coming from or going to `other`.
struct TListing {
  uint32_t hostRank;
  uint32_t outgoing;
  uint32_t otherRank;
  uint32_t edge;
  bool operator<(const TListing& o) const {
    if (hostRank != o.hostRank) return hostRank < o.hostRank;
    if (outgoing != o.outgoing) return outgoing < o.outgoing;
    if (otherRank != o.otherRank) return otherRank < o.otherRank;
    return edge < o.edge;
  }
};

// A u32 of the image still to receive a record's offset (ORed with flags).
struct TOffsetPatch {
  uint64_t position;
  uint32_t node;
  uint32_t flags;
};

void ListEdges(const CAtlasGraph& graph, uint32_t coreStart, CReallocArray<TListing>& listings) {
  listings.Reserve(graph.edges.Size());
  for (uint32_t i = 0; i < graph.edges.Size(); i++) {
    const TAtlasEdge& e = graph.edges[i];
    const uint32_t from = static_cast<uint32_t>(graph.nodes[e.from].rank);
    const uint32_t to = static_cast<uint32_t>(graph.nodes[e.to].rank);
    const uint32_t low = std::min(from, to);
    if (low == from) {
      listings.PushBack(TListing{from, 1, to, i});
    } else {
      listings.PushBack(TListing{to, 0, from, i});
    }
    // An edge between two core nodes is listed at its upper end too.
    if (low >= coreStart) {
      if (low == from) {
        listings.PushBack(TListing{to, 0, from, i});
      } else {
        listings.PushBack(TListing{from, 1, to, i});
      }
    }
  }
  std::sort(listings.begin(), listings.end());
}

// Reads where an entry or exit node's link starts and ends.
TAtlasTerminal ReadTerminal(CAtlasBuilder& builder, const CAtlasGraph& graph, uint32_t index) {
  const TAtlasNode& node = graph.nodes[index];
  const uint32_t map = ZorvaneMap::KeyMap(node.key), position = ZorvaneMap::KeyPosition(node.key);
  CMapFile* file = builder.maps[map];
  TAtlasTerminal t{index, {0, 0}, {0, 0}, 0};
  ZorvaneMap::ReadingMap(map, [&] {
    if (node.role & ZorvaneMap::kAtlasStartNode) t.entry = ZorvaneMap::AtlasLinkPoint(file, map, position, false);
    if (node.role & ZorvaneMap::kAtlasExitNode) {
      t.exit = ZorvaneMap::AtlasLinkPoint(file, map, position, true);
      t.cost = CStreamGraphNode(file, position).GetExtraWord();
    }
  });
  return t;
}

}  // namespace

// ---- writing one graph ----

void WriteAtlasNodes(CAtlasBuilder& builder, CMemStream& image, CAtlasGraph& graph, TAtlasGraphOutput& out) {
  const uint32_t n = static_cast<uint32_t>(graph.nodes.Size());
  out.offsets.ResizeZeroed(n);
  out.terminals.Clear();
  if (n == 0) {
    image.WriteU32(0);
    return;
  }
  const uint32_t coreStart = n - graph.coreCount;
  CReallocArray<uint32_t> byRank;
  byRank.Resize(n);
  for (uint32_t i = 0; i < n; i++) byRank[static_cast<uint32_t>(graph.nodes[i].rank)] = i;
  CReallocArray<TListing> listings;
  ListEdges(graph, coreStart, listings);

  const uint64_t sizePos = image.GetPos();
  image.WriteU32(0);
  CReallocArray<TOffsetPatch> patches;
  size_t next = 0;
  for (uint32_t rank = 0; rank < n; rank++) {
    const uint32_t index = byRank[rank];
    const TAtlasNode& node = graph.nodes[index];
    const uint64_t pos = image.GetPos();
    if (pos >= kMaxRecordOffset) throw "Too big atlas file";
    out.offsets[index] = static_cast<uint32_t>(pos);
    const size_t first = next;
    uint32_t in = 0;
    for (; next < listings.Size() && listings[next].hostRank == rank; next++) in += listings[next].outgoing ? 0 : 1;
    const uint32_t outgoing = static_cast<uint32_t>(next - first) - in;
    if (in > kMaxNodeEdges || outgoing > kMaxNodeEdges) throw "Too much CH-node edges";

    const bool entry = (node.role & ZorvaneMap::kAtlasStartNode) != 0;
    const bool exit = (node.role & ZorvaneMap::kAtlasExitNode) != 0;
    const uint32_t map = ZorvaneMap::KeyMap(node.key);
    TAtlasNodeHead head;
    head.word = ZorvaneMap::KeyPosition(node.key) | (entry ? 1 : 0) | (exit ? 2 : 0);
    head.packed = static_cast<uint16_t>((node.IsArea() ? 1 : 0) | ((entry || exit) ? (node.mapFlags & 2) : 0) |
                                        map << 2);
    head.in = in;
    head.out = outgoing;
    head.Encode(image);
    if (entry || exit) {
      const TAtlasTerminal t = *out.terminals.PushBack(ReadTerminal(builder, graph, index));
      if (entry) {
        image.WriteU32(static_cast<uint32_t>(t.entry.x));
        image.WriteU32(static_cast<uint32_t>(t.entry.y));
      }
      if (exit) {
        image.WriteU32(static_cast<uint32_t>(t.exit.x));
        image.WriteU32(static_cast<uint32_t>(t.exit.y));
        image.WriteU32(t.cost);
      }
    }
    for (size_t j = first; j < next; j++) {
      const TListing& l = listings[j];
      const TAtlasEdge& e = graph.edges[l.edge];
      image.WriteU32(CH::EdgeCost(e.word) << 2 | e.marks);
      const uint32_t other = l.outgoing ? e.to : e.from;
      const uint32_t flags = (l.otherRank < rank ? 2 : 0) | ((e.word & CH::kEdgeLeavesArea) ? 1 : 0);
      patches.PushBack(TOffsetPatch{image.GetPos(), other, flags});
      image.WriteU32(0);
      if (e.shortcut) patches.PushBack(TOffsetPatch{image.GetPos(), e.via, 1});
      image.WriteU32(e.shortcut ? 0 : e.via);
    }
  }
  const uint64_t end = image.GetPos();
  image.PutU32At(sizePos, static_cast<uint32_t>(end - sizePos - 4));
  // Every record has its place now: the references between them.
  for (const TOffsetPatch& p : patches) image.PutU32At(p.position, out.offsets[p.node] | p.flags);
  image.Seek(end);
}

void WriteAtlasMapTables(CAtlasBuilder& builder, CMemStream& image, CAtlasGraph& graph, TAtlasGraphOutput& out) {
  const uint64_t tables = image.GetPos();
  const size_t n = graph.nodes.Size();
  WriteZeros(image, 4 * uint64_t{builder.maps.Size()} + 8 * uint64_t{n});
  WriteAtlasNodes(builder, image, graph, out);
  const uint64_t end = image.GetPos();
  // Nodes are in key order: grouped by map, each map's by position.
  uint64_t p = tables;
  size_t i = 0;
  for (uint32_t map = 0; map < builder.maps.Size(); map++) {
    const uint64_t countAt = p;
    p += 4;
    uint32_t count = 0;
    for (; i < n && ZorvaneMap::KeyMap(graph.nodes[i].key) == map; i++, count++) {
      image.PutU32At(p, ZorvaneMap::KeyPosition(graph.nodes[i].key));
      image.PutU32At(p + 4, out.offsets[i]);
      p += 8;
    }
    image.PutU32At(countAt, count);
  }
  image.Seek(end);
}

void CollectAtlasExternalNodes(const CAtlasGraph& graph, const TAtlasGraphOutput& out, uint32_t kind,
                               uint32_t metric, CReallocArray<TExternalNodeEntry>& external) {
  const uint8_t role = kind ? ZorvaneMap::kAtlasExitNode : ZorvaneMap::kAtlasStartNode;
  for (const TAtlasTerminal& t : out.terminals) {
    const TAtlasNode& node = graph.nodes[t.node];
    if (!(node.role & role)) continue;
    const TGeoPoint p = kind ? t.exit : t.entry;
    const uint32_t type0a = (node.mapFlags >> 1) & 1;
    const uint32_t word = kind | metric << 1 | type0a << 2 | (out.offsets[t.node] / 4) << 3;
    external.PushBack(TExternalNodeEntry{p.x, p.y, word, kind ? t.cost : 0});
  }
}

bool BuildAtlasGraph(CAtlasBuilder& builder, CMemStream& image, uint32_t metric, const bool* stop,
                     CReallocArray<TExternalNodeEntry>& external) {
  CAtlasGraph graph;
  if (!graph.Load(builder.maps, metric, stop)) return false;
  if (!graph.Contract(stop)) return false;
  const uint32_t n = static_cast<uint32_t>(graph.nodes.Size());
  const size_t base = graph.baseEdges, shortcuts = graph.ShortcutCount();
  g_Log.Print("%s graph: %u (%u, %u, %u), %u, %u, %.2lg", metric == ZorvaneMap::kAtlasTime ? "Time" : "Distance", n,
              graph.entryCount, graph.exitCount, graph.coreCount, static_cast<uint32_t>(base),
              static_cast<uint32_t>(shortcuts), n ? static_cast<double>(shortcuts + base) / n : 0.0);
  TAtlasGraphOutput out;
  WriteAtlasMapTables(builder, image, graph, out);
  CollectAtlasExternalNodes(graph, out, 0, metric, external);
  CollectAtlasExternalNodes(graph, out, 1, metric, external);
  return true;
}

// ---- names ----

std::string AtlasFileName(const uint8_t* ids, size_t count) {
  CryptoPP::CRC32 crc;
  if (count) crc.Update(ids, 16 * count);
  uint8_t digest[CryptoPP::CRC32::DIGESTSIZE];
  crc.Final(digest);
  const uint32_t value = static_cast<uint32_t>(digest[0]) | static_cast<uint32_t>(digest[1]) << 8 |
                         static_cast<uint32_t>(digest[2]) << 16 | static_cast<uint32_t>(digest[3]) << 24;
  char name[32];
  std::snprintf(name, sizeof name, "atlas-%08x.dat", value);
  return name;
}

bool IsAtlasFileName(const std::string& name) {
  if (name.size() != 18) return false;
  if (Platform::StrICmp(name.substr(0, 6).c_str(), "atlas-") != 0) return false;
  if (Platform::StrICmp(name.substr(14).c_str(), ".dat") != 0) return false;
  for (size_t i = 6; i < 14; i++) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

void DeleteOldAtlases(const std::string& directory) {
  // Only files named like our atlases: a user's own .dat files stay.
  CDirIterator dir;
  if (!dir.Open(directory, false)) return;
  std::string name;
  uint32_t attributes;
  while (dir.Next(&name, &attributes)) {
    if ((attributes & kFileAttributeDirectory) || !IsAtlasFileName(name)) continue;
    Platform::DeleteFile((dir.EntryDirectory() + name).c_str());
  }
}

// ---- the build ----

CAtlasBuilder::~CAtlasBuilder() { DeleteMaps(); }

void CAtlasBuilder::DeleteMaps() {
  for (CMapFile* map : maps) delete map;
  maps.Clear();
}

namespace {

// Opens every listed map and keeps those with core nodes.
void LoadMaps(CAtlasBuilder& builder, const CReallocArray<std::string>& paths, const bool* stop) {
  for (const std::string& path : paths) {
    if (Stopped(stop)) return;
    std::unique_ptr<CMapFile> map(new CMapFile());
    if (map->Open(path.c_str(), &builder.cache) != CMapFile::LoadOk) {
      g_Log.Print("Error loading file %s", path.c_str());
      continue;
    }
    uint32_t cores = 0;
    try {
      // A map without routing (an older writer) has nothing to join.
      if (map->HasSection(ZorvaneMap::SectionChGraphs)) {
        CLockGuard guard(builder.cache.Lock());
        map->Seek(map->GetSectionOffset(ZorvaneMap::SectionChGraphs));
        cores = map->ReadU32();
      }
    } catch (const TStreamException&) {
      g_Log.Print("Error loading file %s", path.c_str());
      continue;
    }
    if (cores == 0) {
      g_Log.Print("Skipping file %s", map->GetFileName().c_str());
      continue;
    }
    builder.maps.Reserve(builder.maps.Size() + 1);
    builder.maps.PushBack(map.release());
  }
}

// Writes the image; false (logged) when the file cannot take it.
bool SaveImage(FILE* file, const CMemStream& image) {
  if (std::fwrite(image.Data(), 1, image.Size(), file) != image.Size()) {
    g_Log.PrintText("Error writing out file.");
    return false;
  }
  return true;
}

}  // namespace

bool BuildAtlas(CAtlasBuilder& builder, const std::string& outputDirectory, const CReallocArray<std::string>& maps,
                const bool* stop) {
  DeleteOldAtlases(outputDirectory);
  bool result = false;
  FILE* file = nullptr;
  std::string path;
  std::unique_ptr<CPartialOutputFile> partial;
  try {
    LoadMaps(builder, maps, stop);
    std::sort(builder.maps.begin(), builder.maps.end(),
              [](const CMapFile* a, const CMapFile* b) { return std::memcmp(a->GetMapId(), b->GetMapId(), 16) < 0; });
    const uint32_t count = static_cast<uint32_t>(builder.maps.Size());
    g_Log.Print("%u files loaded", count);
    if (count > builder.mapLimit) {
      g_Log.Print("Too many maps for one atlas: %u (at most %u).", count, builder.mapLimit);
    } else {
      CMemStream image;
      image.Write(kAtlasMagic, sizeof kAtlasMagic);
      image.WriteU16(kAtlasVersion);
      image.WriteU16(static_cast<uint16_t>(count));
      for (const CMapFile* map : builder.maps) image.Write(map->GetMapId(), 16);
      path = outputDirectory + AtlasFileName(image.Data() + 12, count);
      file = Platform::OpenStdioFile(path.c_str(), "wb");
      if (file) {
        partial.reset(new CPartialOutputFile(path.c_str()));  // a crash removes it too
        CReallocArray<TExternalNodeEntry> external;
        if (!Stopped(stop) && BuildAtlasGraph(builder, image, ZorvaneMap::kAtlasDistance, stop, external) &&
            !Stopped(stop) && BuildAtlasGraph(builder, image, ZorvaneMap::kAtlasTime, stop, external) &&
            !Stopped(stop)) {
          WriteExternalNodeTree(external, image);
          if (!Stopped(stop)) result = SaveImage(file, image);
        }
      }
    }
  } catch (const ZorvaneMap::TAtlasMapError& e) {
    const std::string& name = e.map < builder.maps.Size() ? builder.maps[e.map]->GetFileName() : path;
    g_Log.Print("Error reading file %s", name.c_str());
  } catch (const TStreamException&) {
    g_Log.PrintText("Error reading map files.");
  } catch (const std::string& text) {
    g_Log.PrintText(text.c_str());
  } catch (const char* text) {
    g_Log.PrintText(text);
  } catch (const std::bad_alloc&) {
    g_Log.PrintText("Out of memory.");
  }
  if (file) {
    if (std::fclose(file) != 0 && result) {
      g_Log.PrintText("Error writing out file.");
      result = false;
    }
    if (!result) Platform::DeleteFile(path.c_str());
  }
  partial.reset();
  builder.DeleteMaps();
  return result;
}
