#include "mapfile/streamitems.h"

#include "core/bytes.h"
#include "core/log.h"

using namespace ZorvaneMap;

namespace {

[[noreturn]] void Damaged() { throw TStreamException{StreamErrorRange}; }

Platform::CCriticalSection* MapLock(CMapFile* map) {
  CStreamCache* cache = map ? map->GetCache() : nullptr;
  if (!cache) throw TStreamException{StreamErrorRead};  // not loaded
  return cache->Lock();
}

// Reads of a map kept inside [begin, end): a position taken from the file
// that leads outside is a stream error. Positions are 64-bit here, so sums
// of file values cannot wrap.
class CBoundedReader {
 public:
  CBoundedReader(CMapFile* map, uint64_t begin, uint64_t end) : map(*map), pos(begin), begin(begin), end(end) {}

  uint64_t Pos() const { return pos; }
  void Seek(uint64_t p) {
    if (p < begin || p > end) Damaged();
    pos = p;
  }
  void Skip(uint64_t n) {
    if (n > end - pos) Damaged();
    pos += n;
  }
  void Align4() { Skip((4 - pos % 4) % 4); }
  // n bytes at the position, valid until the next read of any map.
  const uint8_t* Bytes(uint64_t n) {
    if (n > end - pos) Damaged();
    map.Seek(pos);
    pos += n;
    return map.GetData(n);
  }
  uint8_t U8() { return *Bytes(1); }
  uint16_t U16() {
    const uint8_t* p = Bytes(2);
    return static_cast<uint16_t>(p[0] | p[1] << 8);
  }
  uint32_t U32() { return LoadLE32(Bytes(4)); }
  void SkipText() { Skip(2ull * U16()); }

 private:
  CMapFile& map;
  uint64_t pos, begin, end;
};

// A section of the map as a reader; a missing one is a stream error.
CBoundedReader SectionReader(CMapFile* map, TMapSectionId id) {
  if (!map || !map->HasSection(id)) Damaged();
  const uint64_t offset = map->GetSectionOffset(id);
  return CBoundedReader(map, offset, offset + map->GetSectionSize(id));
}

// ---- Road records --------------------------------------------------------------

// Offsets in a road record.
constexpr uint32_t kRoadFlags = 26;       // u16, bit 0 one-way
constexpr uint32_t kRouteNodeCount = 76;  // u16 n
constexpr uint32_t kSegmentTable = 78;    // (n - 1) u16 block offsets, then n u16 point indexes

// The record at r, 4-aligned inside section 3, as a reader over its length.
CBoundedReader RoadReader(CMapFile* map, uint32_t r) {
  CBoundedReader section = SectionReader(map, SectionPolylines);
  if (r % 4 != 0) Damaged();
  section.Seek(r);
  const uint32_t length = section.U32();
  if (length < kSegmentTable) Damaged();
  section.Seek(r);
  section.Skip(length);
  return CBoundedReader(map, r, uint64_t{r} + length);
}

uint16_t RouteNodeCount(CBoundedReader& record, uint32_t r) {
  record.Seek(uint64_t{r} + kRouteNodeCount);
  return record.U16();
}

// Past the n - 1 block offsets and the n point indexes.
void SkipToTitle(CBoundedReader& record, uint32_t r) {
  const uint32_t n = RouteNodeCount(record, r);
  if (n > 0) record.Skip(4ull * n - 2);
}

// From the title on to the geometry: the number of geometry entries; the
// reader then stands at their u32 point counts.
uint32_t SkipToGeometry(CBoundedReader& record) {
  record.SkipText();
  const uint32_t entries = record.U8();
  record.Skip(entries + 1ull);  // lower level code, a level byte per entry
  const uint32_t intervals = record.U8();
  record.Align4();
  record.Skip(12ull * intervals);
  return entries;
}

// The total point count of the entries; the reader then stands at the points.
uint64_t SumPointCounts(CBoundedReader& record, uint32_t entries) {
  uint64_t points = 0;
  for (uint32_t i = 0; i < entries; i++) points += record.U32();
  return points;
}

}  // namespace

namespace ZorvaneMap {

uint32_t CStreamPolyline::GetTitlePos() {
  CBoundedReader record = RoadReader(map, offset);
  SkipToTitle(record, offset);
  return static_cast<uint32_t>(record.Pos());
}

uint16_t CStreamPolyline::GetNodePointIndex(uint32_t k) {
  CLockGuard guard(MapLock(map));
  CBoundedReader record = RoadReader(map, offset);
  const uint32_t n = RouteNodeCount(record, offset);
  if (k >= n) Damaged();
  record.Seek(uint64_t{offset} + kRouteNodeCount + 2ull * n + 2ull * k);
  return record.U16();
}

TGeoPoint CStreamPolyline::GetPoint(uint32_t i) {
  CLockGuard guard(MapLock(map));
  CBoundedReader record = RoadReader(map, offset);
  SkipToTitle(record, offset);
  const uint64_t points = SumPointCounts(record, SkipToGeometry(record));
  if (i >= points) Damaged();
  record.Skip(8ull * i);
  const uint8_t* p = record.Bytes(8);
  return {static_cast<int32_t>(LoadLE32(p)), static_cast<int32_t>(LoadLE32(p + 4))};
}

TLaneCounts CStreamPolyline::ReadLaneCounts(uint32_t k) {
  CBoundedReader record = RoadReader(map, offset);
  record.Seek(uint64_t{offset} + kRoadFlags);
  const uint16_t flags = record.U16();
  const uint32_t n = RouteNodeCount(record, offset);
  if (uint64_t{k} + 1 >= n) Damaged();  // n - 1 segments
  record.Seek(uint64_t{offset} + kSegmentTable + 2ull * k);
  const uint32_t block = record.U16();
  // The blocks follow the route-node tables.
  if (block < kRouteNodeCount + 4ull * n) Damaged();
  // Past the CH node offsets (8 bytes more on a two-way road) and the length.
  record.Seek(uint64_t{offset} + block + 10);
  if ((flags & 1) == 0) record.Skip(8);
  const uint8_t x = record.U8(), y = record.U8();
  TLaneCounts c{static_cast<uint8_t>(x & 7), static_cast<uint8_t>(x >> 3 & 7), static_cast<uint8_t>(y & 7),
                static_cast<uint8_t>(y >> 3 & 7), 0};
  if (c.forwardExits == 7) {
    const uint8_t* full = record.Bytes(4);
    c = {full[0], full[1], full[2], full[3], 0};
  }
  c.itemsPos = static_cast<uint32_t>(record.Pos());
  return c;
}

uint32_t CStreamPolyline::GetTailListPos() {
  CBoundedReader record = RoadReader(map, offset);
  const uint32_t n = RouteNodeCount(record, offset);
  if (n < 2) {
    record.Skip(2ull * n);
    const uint64_t points = SumPointCounts(record, SkipToGeometry(record));
    record.Skip(8 * points + 4ull * n);
  } else {
    const TLaneCounts c = ReadLaneCounts(n - 2);
    record.Seek(c.itemsPos);
    record.Skip(8ull * (c.forwardExits + c.forwardEntries + c.backwardExits + c.backwardEntries));
  }
  const uint32_t heights = record.U16();
  record.Skip(4ull * heights);
  return static_cast<uint32_t>(record.Pos());
}

}  // namespace ZorvaneMap

// ---- CH node records -------------------------------------------------------------

namespace {

constexpr uint32_t kChHeader = 16;     // the section's core-node counts and positions
constexpr uint32_t kEdgeSize = 12;
constexpr uint32_t kEndExternal = 9;   // u8, then the edge counts

// Section 10 as a reader, checked to hold a record head at e.
CBoundedReader GraphNodeReader(CMapFile* map, uint32_t e) {
  CBoundedReader section = SectionReader(map, SectionChGraphs);
  const uint64_t first = map->GetSectionOffset(SectionChGraphs) + uint64_t{kChHeader};
  if (e % 4 != 0 || e < first) Damaged();
  section.Seek(e);
  section.Skip(kEdgeSize);
  section.Seek(e);
  return section;
}

CStreamGraphNode::TEdgeCounts EdgeCounts(CBoundedReader& section) {
  uint32_t in = section.U8(), out = section.U8();
  if (in == 255) in = section.U16();
  if (out == 255) out = section.U16();
  section.Align4();
  const uint64_t edges = section.Pos();
  section.Skip(uint64_t{kEdgeSize} * (in + out));
  return {in, out, static_cast<uint32_t>(edges)};
}

}  // namespace

CStreamGraphNode::TEdgeCounts CStreamGraphNode::ReadEdgeCounts(uint32_t countsPos) {
  CBoundedReader section = GraphNodeReader(map, position);
  section.Seek(countsPos);
  return EdgeCounts(section);
}

TRoadRef CStreamGraphNode::GetRoadRef(uint32_t mapIndex) {
  if (mapIndex >= 1u << 15) throw TStreamException{StreamErrorRange};
  CLockGuard guard(MapLock(map));
  CBoundedReader section = GraphNodeReader(map, position);
  const uint8_t* p = section.Bytes(7);
  const uint32_t link = static_cast<uint32_t>(p[4] | p[5] << 8);
  return {LoadLE32(p), link | static_cast<uint32_t>(p[6] & 1) << 16 | mapIndex << 17};
}

uint32_t CStreamGraphNode::GetExtraWord() {
  CLockGuard guard(MapLock(map));
  CBoundedReader section = GraphNodeReader(map, position);
  section.Skip(kEndExternal);
  if (section.U8() == 0) Damaged();
  EdgeCounts(section);
  return section.U32();
}

uint32_t CStreamGraphNode::GetEndPos() {
  CLockGuard guard(MapLock(map));
  CBoundedReader section = GraphNodeReader(map, position);
  section.Skip(kEndExternal);
  const bool extra = section.U8() != 0;
  EdgeCounts(section);
  if (extra) section.Skip(4);
  return static_cast<uint32_t>(section.Pos());
}

// ---- External-node tree ----------------------------------------------------------

namespace {

constexpr uint32_t kTreeHead = 12;  // point, links word
constexpr uint32_t kRightFollows = 1u << 8;

uint64_t Magnitude(int32_t v) { return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v); }

// Each square is at most 2^62: the sum fits unsigned, not signed.
uint64_t SquaredOffset(TGeoPoint a, TGeoPoint b) {
  const TGeoOffset o = a.GetOffset(b);
  return Magnitude(o.dx) * Magnitude(o.dx) + Magnitude(o.dy) * Magnitude(o.dy);
}

// Calls visit(word, second) for the references of a list (second: the u32
// behind an 8-byte one, else 0) until it returns true, and says whether it did.
template <class F>
bool VisitRefs(const uint8_t* list, uint32_t words, F visit) {
  for (uint32_t i = 0; i < words; i++) {
    const uint32_t ref = LoadLE32(list + 4 * i);
    const bool wide = ref & 1;
    if (wide && i + 1 >= words) Damaged();  // the second u32 lies beyond the list
    if (visit(ref, wide ? LoadLE32(list + 4 * (i + 1)) : 0)) return true;
    i += wide;
  }
  return false;
}

}  // namespace

struct CStreamNodeTree::TSearch {
  TGeoPoint point;
  uint32_t kind;
  uint64_t best;
  CStreamNodeTree found;
};

CStreamNodeTree::CStreamNodeTree(CMapFile* map) : map(map), position(0), end(0) {
  if (map && map->HasSection(SectionExternalNodes)) {
    position = map->GetSectionOffset(SectionExternalNodes);
    end = position + map->GetSectionSize(SectionExternalNodes);
  }
}

// The node's point and reference list, checked to lie inside its subtree.
CStreamNodeTree::THead CStreamNodeTree::ReadHead() {
  if (position == 0 || position % 4 != 0) Damaged();
  CBoundedReader tree(map, position, end);
  const uint8_t* p = tree.Bytes(kTreeHead);
  THead head;
  head.point = {static_cast<int32_t>(LoadLE32(p)), static_cast<int32_t>(LoadLE32(p + 4))};
  head.links = LoadLE32(p + 8);
  head.refsPos = position + kTreeHead;
  tree.Skip(4ull * (head.links & 0xFF));
  return head;
}

// The left subtree runs from the end of the list for its length, the right
// one from there to the end of this node's subtree; each must hold a node.
void CStreamNodeTree::ReadChildren(const THead& head, CStreamNodeTree& left, CStreamNodeTree& right) {
  const uint64_t listEnd = head.refsPos + 4ull * (head.links & 0xFF);
  const uint64_t leftEnd = listEnd + 4ull * (head.links >> 9);
  left = CStreamNodeTree(map, 0, 0);
  right = CStreamNodeTree(map, 0, 0);
  if (leftEnd > end) Damaged();
  if (leftEnd > listEnd) {
    if (leftEnd - listEnd < kTreeHead) Damaged();
    left = CStreamNodeTree(map, static_cast<uint32_t>(listEnd), static_cast<uint32_t>(leftEnd));
  }
  if (head.links & kRightFollows) {
    if (end - leftEnd < kTreeHead) Damaged();
    right = CStreamNodeTree(map, static_cast<uint32_t>(leftEnd), end);
  }
}

// The reference list's words, valid until the next read.
const uint8_t* CStreamNodeTree::RefList(const THead& head) {
  CBoundedReader tree(map, position, end);
  tree.Seek(head.refsPos);
  return tree.Bytes(4ull * (head.links & 0xFF));
}

bool CStreamNodeTree::HasRef(const THead& head, uint32_t kind) {
  return VisitRefs(RefList(head), head.links & 0xFF, [&](uint32_t ref, uint32_t) { return (ref & 1) == kind; });
}

TGeoPoint CStreamNodeTree::GetNodePoint() {
  CLockGuard guard(MapLock(map));
  return ReadHead().point;
}

void CStreamNodeTree::GetChildren(CStreamNodeTree& left, CStreamNodeTree& right) {
  CLockGuard guard(MapLock(map));
  ReadChildren(ReadHead(), left, right);
}

bool CStreamNodeTree::HasNodeRef(uint32_t kind) {
  CLockGuard guard(MapLock(map));
  return HasRef(ReadHead(), kind);
}

void CStreamNodeTree::CollectNodeRefs(uint32_t kind, uint32_t metric, CReallocArray<TNodeRef>& out) {
  CLockGuard guard(MapLock(map));
  const THead head = ReadHead();
  VisitRefs(RefList(head), head.links & 0xFF, [&](uint32_t ref, uint32_t second) {
    if ((ref & 1) == kind && (ref >> 1 & 1) == metric) out.PushBack({(ref >> 3) * 4, kind ? second : ref >> 2 & 1});
    return false;
  });
}

CStreamNodeTree CStreamNodeTree::FindNearest(TGeoPoint point, uint32_t kind, uint64_t& best) {
  TSearch search{point, kind, best, CStreamNodeTree(map, 0, 0)};
  if (IsEmpty()) return search.found;
  CLockGuard guard(MapLock(map));
  SearchNearest(0, 0, search);
  best = search.best;
  return search.found;
}

// Axis 0 splits on y, axis 1 on x. True when the node at the query point
// itself was found: the search ends there.
bool CStreamNodeTree::SearchNearest(uint32_t axis, uint32_t depth, TSearch& search) {
  if (depth >= kMaxDepth) Damaged();  // depth 0 is the first level
  const THead head = ReadHead();
  const TGeoPoint q = search.point, p = head.point;
  if (p == q && HasRef(head, search.kind)) {
    search.best = 0;
    search.found = *this;
    return true;
  }
  CStreamNodeTree left(map, 0, 0), right(map, 0, 0);
  ReadChildren(head, left, right);
  const bool nearIsLeft = axis == 0 ? q.y <= p.y : q.x <= p.x;
  CStreamNodeTree& nearSide = nearIsLeft ? left : right;
  CStreamNodeTree& farSide = nearIsLeft ? right : left;
  if (!nearSide.IsEmpty() && nearSide.SearchNearest(axis ^ 1, depth + 1, search)) return true;

  const uint64_t d = SquaredOffset(p, q);
  if (d < search.best && HasRef(head, search.kind)) {
    search.best = d;
    search.found = *this;
  }
  if (farSide.IsEmpty()) return false;
  // The nearest any point beyond the split line can be. Offsets in x take
  // the short way round the 180th meridian, so a far side that reaches the
  // meridian may also be near from its other end.
  uint64_t bound;
  if (axis == 0) {
    bound = SquaredOffset(q, {q.x, p.y});
  } else {
    bound = SquaredOffset(q, {p.x, q.y});
    const uint64_t around = SquaredOffset(q, {nearIsLeft ? kGeoEast : kGeoWest, q.y});
    if (around < bound) bound = around;
  }
  return bound < search.best && farSide.SearchNearest(axis ^ 1, depth + 1, search);
}
