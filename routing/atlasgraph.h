// The atlas graph of one metric: the core nodes of every kept map's CH
// graph (section 10), with the edges between them, joined where a border
// node of one map (its link ends at the map's edge) meets a node of another
// map whose link starts at the same point (found in that map's external-node
// tree, section 11). The joined graph is contracted again with the CH core:
// a first ordering finds the atlas's own core (the nodes that the shortest
// routes between its entry and exit nodes run through), a second contracts
// everything else with the core left out, then the core among itself, so
// that the core takes the top ranks.
//
// Node key: map index << 32 | position of the node's record in that map's
// section 10. Nodes are kept in one array in ascending key order (maps in
// index order, records in file order); a node's id is its place there.
//
// Edges (one array: the base edges, then the shortcuts):
//   map edge   an edge between two core nodes of one map, word = its cost and
//              bit 30, marks = the two low bits of its first u32 there, via =
//              its third u32 with the low bits cleared (a map shortcut's via
//              record, 0 for a plain edge)
//   join       border node -> matched node, costing the border node's link
//              (in Distance the cost of the node's end reference in its own
//              map's tree, the Time word behind its record where the tree
//              has none near the link's end); marks U = 0, S = bit 2 of the
//              matched tree reference; via 0
//   shortcut   made by the contraction; via = the via node's index, marks =
//              the OR of the marks of the two edges it replaces
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/containers.h"
#include "core/geo.h"
#include "mapfile/streamitems.h"
#include "routing/chcore.h"

namespace ZorvaneMap {

class CMapFile;

constexpr uint32_t kAtlasDistance = 0;
constexpr uint32_t kAtlasTime = 1;

inline uint64_t AtlasNodeKey(uint32_t map, uint32_t position) { return uint64_t{map} << 32 | position; }
inline uint32_t KeyMap(uint64_t key) { return static_cast<uint32_t>(key >> 32); }
inline uint32_t KeyPosition(uint64_t key) { return static_cast<uint32_t>(key); }

// A map read of the atlas build failed (a stream error, or a record the
// map names that is not there): the map is damaged.
struct TAtlasMapError {
  uint32_t map;
};

// Runs f; a stream error inside becomes the error of the given map.
template <class F>
auto ReadingMap(uint32_t map, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const TStreamException&) {
    throw TAtlasMapError{map};
  }
}

// Roles of a node in the atlas.
constexpr uint8_t kAtlasStartNode = 1;  // its link starts at an external node of its map
constexpr uint8_t kAtlasExitNode = 2;   // its link ends at the map's edge and found no other map there

struct TAtlasNode : CH::TChNode {
  uint64_t key;
  uint8_t mapFlags;  // the flags byte of its map record: bit 1 type 0x0a, bit 2 area
  uint8_t role;
};

struct TAtlasEdge {
  uint32_t from;  // node indexes
  uint32_t to;
  uint32_t word;  // cost | bit 30 (bit 31 is never set in the atlas)
  uint32_t via;   // see the file comment
  uint8_t marks;  // bit 0 U, bit 1 S
  uint8_t shortcut;
};

// A border node's join, noted while the maps are read and made once every
// node exists.
struct TAtlasJoin {
  uint32_t border;   // node index
  uint64_t matched;  // node key
  uint32_t cost;
  uint8_t s;
};

// Squared offset (TGeoPoint::GetOffset units) below which a border point
// meets a tree node of another map: about 25 m.
constexpr uint64_t kAtlasMatchDistance = 3556250;

// The tie-break of both orderings: node key order.
bool CompareAtlasNodeKeys(const CH::TChNode* a, const CH::TChNode* b);

class CAtlasGraph : public CH::CGraph {
 public:
  CAtlasGraph() = default;

  // Reads every map's graph of the metric and joins them. False when
  // stopped. A failed read throws TAtlasMapError naming the map.
  bool Load(const CReallocArray<CMapFile*>& maps, uint32_t metric, const bool* stop);
  // The map whose external-node tree holds the point nearest to where the
  // border node's link ends (within about 25 m, another map than the
  // node's), with the references of its start nodes of the metric; -1 when
  // none.
  static int32_t MatchBorderNode(const CReallocArray<CMapFile*>& maps, uint64_t key, uint32_t metric,
                                 CReallocArray<TNodeRef>& refs);
  // The same from the point itself.
  static int32_t MatchPoint(const CReallocArray<CMapFile*>& maps, uint32_t ownMap, TGeoPoint point, uint32_t metric,
                            CReallocArray<TNodeRef>& refs);

  // Building by hand (and by Load). Keys must come in ascending order.
  TAtlasNode* AddNode(uint64_t key, uint8_t mapFlags);
  // The node of a key, or null.
  TAtlasNode* FindNode(uint64_t key);
  // A base edge from a map edge as stored (12 bytes).
  void AddLoadedEdge(uint32_t from, uint32_t to, const uint8_t* mapEdge);
  // A join: from the border node to the matched node.
  void AddJoin(uint32_t border, uint32_t matched, uint32_t cost, bool s);
  // The entry nodes (start nodes that no border node reached) and exit
  // nodes in key order.
  void CollectTerminals(CReallocArray<CH::TChNode*>& entries, CReallocArray<CH::TChNode*>& exits);

  void AddShortcut(CH::TChNode* from, CH::TChNode* to, CH::TChNode* via, uint32_t cost, uint32_t hops, bool bit30,
                   bool bit31, CH::TShortcutHalves halves) override;
  void VisitNodes(TNodeVisitor visit, void* context) override;

  // Every node loses its lists and rank, the shortcuts go, the base edges
  // are linked again (hop count 1).
  void RelinkBaseEdges();
  // Links every edge at its lower-ranked end.
  void LinkAllEdges();
  // Both orderings. Afterwards every node has a rank in 0..N-1 and the
  // core (coreCount nodes) holds the top ranks. False when stopped.
  bool Contract(const bool* stop);

  // Self-check after Contract: null, or the first broken rule.
  const char* CheckContracted() const;

  uint32_t Index(const CH::TChNode* node) const {
    return static_cast<uint32_t>(static_cast<const TAtlasNode*>(node) - nodes.data);
  }
  size_t ShortcutCount() const { return edges.Size() - baseEdges; }

  CReallocArray<TAtlasNode> nodes;  // ascending key
  CReallocArray<TAtlasEdge> edges;  // base edges, then shortcuts
  size_t baseEdges = 0;
  uint32_t entryCount = 0;  // after Contract
  uint32_t exitCount = 0;
  uint32_t coreCount = 0;

 private:
  void LinkRecord(const TAtlasEdge& edge, uint32_t hops, uint32_t index);
  void LoadMap(const CReallocArray<CMapFile*>& maps, uint32_t index, uint32_t metric, const bool* stop,
               CReallocArray<TAtlasJoin>& joins);
  bool MakeJoins(const CReallocArray<TAtlasJoin>& joins, const bool* stop);

  // In Distance, every node's start point, for the witness searches' bound.
  void MakeBoundPoints(const CReallocArray<CMapFile*>& maps);

  CReallocArray<uint8_t> edgeScratch;
  CReallocArray<TNodeRef> refScratch;
};

// The point of a road at one of its route nodes: where the link of a node
// record starts (end = false) or ends (end = true).
TGeoPoint AtlasLinkPoint(CMapFile* map, uint32_t mapIndex, uint32_t position, bool end);

}  // namespace ZorvaneMap
