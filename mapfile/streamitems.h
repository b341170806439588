// Records of an opened map read in place through the page cache, for the
// atlas build: road records of section 3 (layout in mapfile/records.h),
// contraction-hierarchy node records of section 10 and the external-node
// tree of section 11. A reader is a small value holding the map and a
// record's image offset; it seeks and reads on demand.
//
// Section 10 node record (4-aligned, after the section's 16-byte header):
//   0  u32 road record offset   4  u16 link index on the road, u8 direction
//   8  u8 flags (bit 0 start node external)   9  u8 end node external
//   10 u8 in-edge count, 11 u8 out-edge count (255: a u16 count follows,
//   in first), 0-3 pad, 12 bytes per edge (in edges, then out edges),
//   u32 cost word when byte 9 is not 0.
// Section 11 tree node (4-aligned):
//   0 int32 x, 4 int32 y, 8 u32 links: bits 0-7 reference words, bit 8 a
//   right subtree follows, bits 9-31 words of the left subtree; then the
//   references (a u32 each, bit 0 set: a second u32 follows), the left
//   subtree, the right subtree. Levels split on y, x, y, ... from the root.
//
// The file is not trusted: every count, offset and escape read from a
// record is checked against the record and its section before it is
// followed, and the tree is walked only downwards inside each subtree and
// to a bounded depth. A damaged file gives a TStreamException (code
// StreamErrorRange), never a read elsewhere; so does a reader on a map that
// is not loaded or lacks the section.
//
// Locks: the readers that say so take the map's lock (the cache's critical
// section) around their seeks and reads; the others run inside a caller's
// locked region.
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/geo.h"
#include "mapfile/reader.h"

namespace ZorvaneMap {

class CStreamMapItem {};

class CStreamTitledMapItem : public CStreamMapItem {
 public:
  CStreamTitledMapItem(CMapFile* map, uint32_t offset) : map(map), offset(offset) {}
  virtual ~CStreamTitledMapItem() = default;

  // Image position where the record's title begins.
  virtual uint32_t GetTitlePos() = 0;

  CMapFile* GetMap() const { return map; }
  uint32_t GetOffset() const { return offset; }

 protected:
  CMapFile* map;
  uint32_t offset;
};

class CStreamMapObject : public CStreamTitledMapItem {
 public:
  using CStreamTitledMapItem::CStreamTitledMapItem;
};

// The four item counts of a road's segment block and where its items begin.
struct TLaneCounts {
  uint8_t forwardExits;
  uint8_t forwardEntries;
  uint8_t backwardExits;
  uint8_t backwardEntries;
  uint32_t itemsPos;
};

// A road record of section 3. No lock: GetTitlePos, GetTailListPos,
// ReadLaneCounts.
class CStreamPolyline : public CStreamMapObject {
 public:
  using CStreamMapObject::CStreamMapObject;

  uint32_t GetTitlePos() override;
  virtual uint32_t GetKind() { return 1; }
  // Position of the record's last list, its extra texts.
  virtual uint32_t GetTailListPos();

  // Point index of route node k (locks).
  uint16_t GetNodePointIndex(uint32_t k);
  // Point i of the geometry entries taken one after the other (locks).
  TGeoPoint GetPoint(uint32_t i);
  // The counts of segment k's block (segment k runs from route node k to k + 1).
  TLaneCounts ReadLaneCounts(uint32_t k);
};

}  // namespace ZorvaneMap

// Where a CH node's link lies: the road record's offset, and route-node
// position (bits 0-15) | direction along the road (bit 16) | map index
// (bits 17-31).
struct TRoadRef {
  uint32_t road;
  uint32_t node;
};

// A node record of section 10.
class CStreamGraphNode {
 public:
  CStreamGraphNode(ZorvaneMap::CMapFile* map, uint32_t position) : map(map), position(position) {}

  struct TEdgeCounts {
    uint32_t in;        // edges ending at the node
    uint32_t out;       // edges starting there
    uint32_t edgesPos;  // the first edge, 4-aligned; all of them lie inside the section
  };
  // The counts at `position` (the record's start + 10). No lock.
  TEdgeCounts ReadEdgeCounts(uint32_t countsPos);
  // mapIndex below 2^15 (locks).
  TRoadRef GetRoadRef(uint32_t mapIndex);
  // A border node's cost word behind its edges (locks); a record without
  // one is a stream error.
  uint32_t GetExtraWord();
  // Where the record ends: the next record's position (locks).
  uint32_t GetEndPos();

  ZorvaneMap::CMapFile* GetMap() const { return map; }
  uint32_t GetPos() const { return position; }

 private:
  ZorvaneMap::CMapFile* map;
  uint32_t position;
};

// A reference collected from a tree node: the CH node record's position,
// and for an 8-byte reference its second u32, for a 4-byte one its bit 2.
struct TNodeRef {
  uint32_t position;
  uint32_t word;
};

// A node of an external-node tree, with the end of its subtree: children
// are taken only inside it.
class CStreamNodeTree {
 public:
  // A tree of more levels is damaged: the median split keeps a tree of 2^28
  // nodes within about 60.
  static constexpr uint32_t kMaxDepth = 256;

  // The root of the map's section 11; an empty tree when the map has none.
  explicit CStreamNodeTree(ZorvaneMap::CMapFile* map);
  // The node at `position` of a subtree that ends at `end`.
  CStreamNodeTree(ZorvaneMap::CMapFile* map, uint32_t position, uint32_t end)
      : map(map), position(position), end(end) {}

  bool IsEmpty() const { return position == 0; }
  ZorvaneMap::CMapFile* GetMap() const { return map; }
  uint32_t GetPos() const { return position; }
  uint32_t GetEnd() const { return end; }

  // All lock.
  TGeoPoint GetNodePoint();
  // Empty trees for missing children.
  void GetChildren(CStreamNodeTree& left, CStreamNodeTree& right);
  // True when a reference's bit 0 equals kind (1: 8-byte references).
  bool HasNodeRef(uint32_t kind);
  // Appends the references of that kind whose bit 1 equals the metric.
  void CollectNodeRefs(uint32_t kind, uint32_t metric, CReallocArray<TNodeRef>& out);
  // The node nearest to the point among those with a reference of the
  // kind, counting only squared offsets (TGeoPoint::GetOffset) below best,
  // which becomes the found node's (0 for the node at the point itself,
  // which ends the search). An empty tree when none is nearer.
  // It is the brute-force nearest when, for every node within best, the
  // cosine GetOffset takes (that of the whole degree of the mean latitude)
  // is no smaller than at the query's own latitude: so whenever they all
  // lie in the query's whole degree of latitude, at any distance. The far
  // side of a longitude split is bounded with the query's cosine, so a
  // node whose mean latitude with the query falls in a degree of smaller
  // cosine can be passed over, even metres away across a whole-degree
  // line; the node found is then at most the ratio of the two cosines
  // farther (about 5% at 70 degrees), or none when the nearest lies
  // within that ratio of best.
  CStreamNodeTree FindNearest(TGeoPoint point, uint32_t kind, uint64_t& best);

 private:
  struct THead {
    TGeoPoint point;
    uint32_t links;
    uint32_t refsPos;
  };
  struct TSearch;

  THead ReadHead();
  void ReadChildren(const THead& head, CStreamNodeTree& left, CStreamNodeTree& right);
  const uint8_t* RefList(const THead& head);
  bool HasRef(const THead& head, uint32_t kind);
  bool SearchNearest(uint32_t axis, uint32_t depth, TSearch& search);

  ZorvaneMap::CMapFile* map;
  uint32_t position;
  uint32_t end;
};
