// Runs every stream item reader over a whole map: each road record of
// section 3, each node record of section 10 with the road point it leads
// to, and every node of the external-node tree with nearest-node searches
// at and beside its point. A damaged file may make any read a stream error;
// those are counted, and whatever else happens (a crash, a hang) is the
// fault. Shared by the tests and the map file fuzz target.
#pragma once

#include <cstdint>
#include <vector>

#include "core/log.h"
#include "mapfile/streamitems.h"

namespace streamwalk {

struct TWalkCounts {
  uint32_t roads = 0;      // road records whose reads all succeeded
  uint32_t points = 0;     // road points read
  uint32_t nodes = 0;      // node records read whole
  uint32_t treeNodes = 0;  // tree nodes read whole
  uint32_t found = 0;      // nearest-node searches that found a node
  uint32_t errors = 0;     // reads that a sound file would serve but failed
};

template <class F>
bool Try(TWalkCounts& counts, F read) {
  try {
    read();
    return true;
  } catch (const TStreamException&) {
    counts.errors++;
    return false;
  }
}

// Reads until the first stream error, which ends a list: no error counted.
template <class F>
uint32_t ReadWhileServed(uint32_t limit, F read) {
  uint32_t i = 0;
  try {
    for (; i < limit; i++) read(i);
  } catch (const TStreamException&) {
  }
  return i;
}

inline uint32_t RawU32(ZorvaneMap::CMapFile& map, uint64_t at) {
  map.Seek(at);
  return map.ReadU32();
}

inline void WalkRoads(ZorvaneMap::CMapFile& map, uint32_t limit, TWalkCounts& c) {
  using namespace ZorvaneMap;
  if (!map.HasSection(SectionPolylines)) return;
  const uint64_t end = uint64_t{map.GetSectionOffset(SectionPolylines)} + map.GetSectionSize(SectionPolylines);
  uint64_t r = map.GetSectionOffset(SectionPolylines) + 4ull;  // behind the object count
  for (uint32_t step = 0; step < limit && r + 4 <= end; step++) {
    uint32_t length = 0, n = 0, firstBlock = 0;
    if (!Try(c, [&] { length = RawU32(map, r), n = RawU32(map, r + 76) & 0xFFFF, firstBlock = RawU32(map, r + 78); })) {
      return;
    }
    CStreamPolyline road(&map, static_cast<uint32_t>(r));
    bool sound = Try(c, [&] { road.GetTitlePos(); });
    // Roads without segment blocks yet have a zero block table.
    const bool blocks = n >= 2 && (firstBlock & 0xFFFF) != 0;
    if (n < 2 || blocks) sound &= Try(c, [&] { road.GetTailListPos(); });
    for (uint32_t k = 0; blocks && k + 1 < n && k < 64; k++) sound &= Try(c, [&] { road.ReadLaneCounts(k); });
    for (uint32_t k = 0; k < n && k < 64; k++) sound &= Try(c, [&] { road.GetNodePointIndex(k); });
    c.points += ReadWhileServed(256, [&](uint32_t i) { road.GetPoint(i); });
    c.roads += sound;
    r = (r + (length < 4 ? 4 : length) + 3) / 4 * 4;
  }
}

inline void WalkGraphNodes(ZorvaneMap::CMapFile& map, uint32_t limit, TWalkCounts& c) {
  using namespace ZorvaneMap;
  if (!map.HasSection(SectionChGraphs)) return;
  const uint64_t end = uint64_t{map.GetSectionOffset(SectionChGraphs)} + map.GetSectionSize(SectionChGraphs);
  uint64_t e = map.GetSectionOffset(SectionChGraphs) + 16ull;
  for (uint32_t step = 0; step < limit && e < end; step++) {
    CStreamGraphNode node(&map, static_cast<uint32_t>(e));
    uint32_t next = 0;
    uint8_t endExternal = 0;
    TRoadRef ref{};
    bool sound = Try(c, [&] {
      CLockGuard guard(map.GetCache()->Lock());
      node.ReadEdgeCounts(static_cast<uint32_t>(e + 10));
      map.Seek(e + 9);
      endExternal = map.ReadU8();
    });
    sound &= Try(c, [&] { next = node.GetEndPos(); });
    sound &= Try(c, [&] { ref = node.GetRoadRef(step & 0x7FFF); });
    if (endExternal) sound &= Try(c, [&] { node.GetExtraWord(); });
    if (sound) {
      // The point the atlas joins maps at: route node (link + direction).
      CStreamPolyline road(&map, ref.road);
      sound &= Try(c, [&] { road.GetPoint(road.GetNodePointIndex((ref.node & 0xFFFF) + (ref.node >> 16 & 1))); });
    }
    c.nodes += sound;
    if (next <= e) return;
    e = next;
  }
}

inline void WalkTree(ZorvaneMap::CMapFile& map, uint32_t limit, TWalkCounts& c) {
  std::vector<CStreamNodeTree> pending = {CStreamNodeTree(&map)};
  CReallocArray<TNodeRef> refs;
  for (uint32_t step = 0; step < limit && !pending.empty(); step++) {
    CStreamNodeTree node = pending.back();
    pending.pop_back();
    if (node.IsEmpty()) continue;
    CStreamNodeTree left(&map, 0, 0), right(&map, 0, 0);
    TGeoPoint p{};
    bool sound = Try(c, [&] { p = node.GetNodePoint(); });
    sound &= Try(c, [&] { node.GetChildren(left, right); });
    for (uint32_t kind = 0; kind < 2; kind++) {
      sound &= Try(c, [&] { node.HasNodeRef(kind); });
      for (uint32_t metric = 0; metric < 2; metric++) {
        refs.Clear();
        sound &= Try(c, [&] { node.CollectNodeRefs(kind, metric, refs); });
        for (const TNodeRef& r : refs) sound &= Try(c, [&] { CStreamGraphNode(&map, r.position).GetEndPos(); });
      }
    }
    c.treeNodes += sound;
    // Searches from the root, at the node's point and beside it.
    for (uint32_t kind = 0; kind < 2 && step % 4 == 0; kind++) {
      for (uint32_t shift : {0u, 1000u}) {
        const TGeoPoint q{static_cast<int32_t>(static_cast<uint32_t>(p.x) + shift), p.y};
        uint64_t best = ~0ull;
        Try(c, [&] { c.found += !CStreamNodeTree(&map).FindNearest(q, kind, best).IsEmpty(); });
      }
    }
    if (pending.size() < CStreamNodeTree::kMaxDepth) {
      pending.push_back(right);
      pending.push_back(left);
    }
  }
}

inline TWalkCounts WalkStreamItems(ZorvaneMap::CMapFile& map, uint32_t limit = 1 << 16) {
  TWalkCounts counts;
  CLockGuard guard(map.GetCache()->Lock());
  WalkRoads(map, limit, counts);
  WalkGraphNodes(map, limit, counts);
  WalkTree(map, limit, counts);
  return counts;
}

}  // namespace streamwalk
