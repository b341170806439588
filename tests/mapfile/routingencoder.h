// The routing parts of a map file, encoded in the tests straight from the
// record tables and independent of the converter's writers: section 10
// (contraction-hierarchy node records), section 11 (the external-node
// tree), road records with their segment blocks, and map images around
// them, saved plain or compressed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/streams.h"
#include "mapfile/container.h"
#include "support/testutil.h"

namespace routingtest {

using Bytes = std::vector<uint8_t>;

// Little-endian appends and patches.
class CBytes {
 public:
  Bytes b;

  uint32_t Pos() const { return static_cast<uint32_t>(b.size()); }
  void U8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) {
    U8(v);
    U8(v >> 8);
  }
  void U32(uint32_t v) {
    U16(v);
    U16(v >> 16);
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void Zeros(size_t n) { b.insert(b.end(), n, 0); }
  void Align4() { Zeros((4 - b.size() % 4) % 4); }
  // A text of `units` UTF-16 units 'a', 'b', ...
  void Text(size_t units) {
    U16(static_cast<uint32_t>(units));
    for (size_t i = 0; i < units; i++) U16('a' + i % 26);
  }
  void PutU16(size_t p, uint32_t v) {
    b[p] = static_cast<uint8_t>(v);
    b[p + 1] = static_cast<uint8_t>(v >> 8);
  }
  void PutU32(size_t p, uint32_t v) {
    PutU16(p, v);
    PutU16(p + 2, v >> 16);
  }
  uint32_t GetU32(size_t p) const {
    return b[p] | b[p + 1] << 8 | b[p + 2] << 16 | static_cast<uint32_t>(b[p + 3]) << 24;
  }
  uint16_t GetU16(size_t p) const { return static_cast<uint16_t>(b[p] | b[p + 1] << 8); }
};

// ---- Map images --------------------------------------------------------------

// An image from offset 0: the header and directory area (filled by the
// container when saved) and the sections, each recorded in the directory.
class CTestImage : public CBytes {
 public:
  ZorvaneMap::TMapDirectory directory{};

  // Only the header area and a section 1 of two levels.
  CTestImage() {
    Zeros(ZorvaneMap::kMapImageStart);
    Begin(1);
    Text(3);  // name
    Text(0);  // copyright
    Text(0);  // revision
    U8(2);
    U8(24);
    U8(22);
    End(1);
  }
  // The image of a plain map file, with its directory.
  static CTestImage FromPlainFile(const Bytes& file) {
    CTestImage image;
    image.b = file;
    for (ZorvaneMap::TMapSectionEntry& e : image.directory) e = {};
    for (uint32_t i = 0; i < ZorvaneMap::kMapSectionCount; i++) {
      const uint32_t id = image.GetU32(44 + 12 * i);
      if (id >= 1 && id <= 12) image.directory[id - 1] = {image.GetU32(36 + 12 * i), image.GetU32(40 + 12 * i), id};
    }
    return image;
  }

  // A section opens 4-aligned at the end of the image (section 1 excepted).
  uint32_t Begin(uint32_t id) {
    if (id != 1) Align4();
    directory[id - 1] = {Pos(), 0, id};
    return Pos();
  }
  void End(uint32_t id) { directory[id - 1].size = Pos() - directory[id - 1].offset; }
  // Appends a section whose bytes were laid out for `offset` = the aligned end.
  void AddSection(uint32_t id, const Bytes& bytes) {
    Begin(id);
    b.insert(b.end(), bytes.begin(), bytes.end());
    End(id);
  }
  uint32_t AlignedEnd() const { return (Pos() + 3) / 4 * 4; }

  void Save(const std::string& path, bool compress) const {
    CMemStream image;
    image.Write(b.data(), b.size());
    CFileWriteStream out(0x10000);
    EXPECT_TRUE(out.Open(path.c_str(), false)) << path;
    ZorvaneMap::SaveCompressedMapFile(image, directory, out, compress);
    EXPECT_TRUE(out.Close()) << path;
  }
};

// ---- Section 10 --------------------------------------------------------------

// An edge as stored; `other` and `via` name records by their index in the
// section (via -1: a plain edge).
struct TChEdge {
  uint32_t cost = 1;
  uint32_t marks = 0;  // bit 0 U-turn, bit 1 type 0x0a
  int32_t other = 0;
  bool flag30 = false;
  int32_t via = -1;
};

struct TChNode {
  uint32_t road = 0;  // the section 3 record
  uint16_t link = 0;  // index of the link on the road
  uint8_t direction = 1;
  uint8_t flags = 0;  // bit 0 start node external, bit 1 type 0x0a, bit 2 area
  bool endExternal = false;
  std::vector<TChEdge> in, out;
  uint32_t cost = 0;  // behind the edges when endExternal
};

// Record sizes: 12 bytes of head, a u16 per count of 255 or more, padding
// to 4, 12 bytes per edge, 4 for the cost of an end-external node.
inline uint32_t ChNodeSize(const TChNode& n) {
  uint32_t head = 12 + (n.in.size() >= 255 ? 2 : 0) + (n.out.size() >= 255 ? 2 : 0);
  return (head + 3) / 4 * 4 + 12 * static_cast<uint32_t>(n.in.size() + n.out.size()) + (n.endExternal ? 4 : 0);
}

struct TChSection {
  Bytes bytes;
  std::vector<uint32_t> positions;  // image position of each record
};

// Section 10 at image offset `start`: the 16-byte header (core counts and
// first core positions as given, as record indexes; -1 gives 0), then the
// records in order.
inline TChSection EncodeChSection(uint32_t start, const std::vector<TChNode>& nodes, uint32_t distanceCore = 0,
                                  int32_t distanceFirst = -1, uint32_t timeCore = 0, int32_t timeFirst = -1) {
  TChSection s;
  uint32_t p = start + 16;
  for (const TChNode& n : nodes) {
    s.positions.push_back(p);
    p += ChNodeSize(n);
  }
  auto at = [&](int32_t index) { return index < 0 ? 0u : s.positions[index]; };
  CBytes w;
  w.U32(distanceCore);
  w.U32(at(distanceFirst));
  w.U32(timeCore);
  w.U32(at(timeFirst));
  for (const TChNode& n : nodes) {
    w.U32(n.road);
    w.U16(n.link);
    w.U8(n.direction);
    w.U8(0);
    w.U8(n.flags);
    w.U8(n.endExternal ? 1 : 0);
    const size_t in = n.in.size(), out = n.out.size();
    w.U8(in >= 255 ? 255 : static_cast<uint32_t>(in));
    w.U8(out >= 255 ? 255 : static_cast<uint32_t>(out));
    if (in >= 255) w.U16(static_cast<uint32_t>(in));
    if (out >= 255) w.U16(static_cast<uint32_t>(out));
    w.Align4();
    for (const std::vector<TChEdge>* edges : {&n.in, &n.out}) {
      for (const TChEdge& e : *edges) {
        w.U32(e.cost << 2 | e.marks);
        w.U32(at(e.other) | (e.flag30 ? 1 : 0));
        w.U32(at(e.via));
      }
    }
    if (n.endExternal) w.U32(n.cost);
  }
  s.bytes = std::move(w.b);
  return s;
}

// ---- Section 11 --------------------------------------------------------------

// One reference at a point: the word (bit 0 set: `second` follows it).
struct TTreeEntry {
  int32_t x, y;
  uint32_t word;
  uint32_t second = 0;
};

// The 2-d tree written as the converter lays it out: entries sorted by (y,
// x) and grouped by point; each subtree's root is the median group on its
// axis (y at the root), groups with the median's key go left of it.
class CTreeEncoder {
 public:
  struct TGroup {
    int32_t x, y;
    std::vector<TTreeEntry> refs;
  };

  static Bytes Encode(std::vector<TTreeEntry> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TTreeEntry& a, const TTreeEntry& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    std::vector<TGroup> groups;
    for (const TTreeEntry& e : entries) {
      if (groups.empty() || groups.back().x != e.x || groups.back().y != e.y) groups.push_back({e.x, e.y, {}});
      groups.back().refs.push_back(e);
    }
    CBytes out;
    Subtree(groups, true, out);
    return out.b;
  }

 private:
  static int32_t Key(const TGroup& g, bool onY) { return onY ? g.y : g.x; }

  static size_t Median(std::vector<TGroup>& groups, bool onY) {
    std::stable_sort(groups.begin(), groups.end(),
                     [&](const TGroup& a, const TGroup& b) { return Key(a, onY) < Key(b, onY); });
    const size_t c = groups.size() / 2;
    const int32_t key = Key(groups[c], onY);
    size_t first = c, last = c;
    while (first > 0 && Key(groups[first - 1], onY) == key) first--;
    while (last + 1 < groups.size() && Key(groups[last + 1], onY) == key) last++;
    const size_t before = c - first + 1, after = last - c;
    return before > after || first == 0 ? last : first - 1;
  }

  static void Subtree(std::vector<TGroup> groups, bool onY, CBytes& out) {
    if (groups.empty()) return;
    const size_t m = Median(groups, onY);
    out.I32(groups[m].x);
    out.I32(groups[m].y);
    const size_t links = out.Pos();
    out.U32(0);
    for (const TTreeEntry& e : groups[m].refs) {
      out.U32(e.word);
      if (e.word & 1) out.U32(e.second);
    }
    const uint32_t listWords = (out.Pos() - links - 4) / 4;
    Subtree(std::vector<TGroup>(groups.begin(), groups.begin() + m), !onY, out);
    const uint32_t leftWords = (out.Pos() - links - 4) / 4 - listWords;
    const size_t before = out.Pos();
    Subtree(std::vector<TGroup>(groups.begin() + m + 1, groups.end()), !onY, out);
    out.PutU32(links, listWords | (out.Pos() > before ? 1u << 8 : 0) | leftWords << 9);
  }
};

// A reference word of a map's tree: record position / 4 in bits 3-31, the
// flag in bit 2, the metric in bit 1, end node (8 bytes) in bit 0.
inline uint32_t TreeWord(uint32_t recordPos, uint32_t metric, bool endNode, uint32_t flag = 0) {
  return (recordPos / 4) << 3 | flag << 2 | metric << 1 | (endNode ? 1 : 0);
}

// ---- Road records --------------------------------------------------------------

// One segment block's counts and whether the bytes escape them.
struct TSegment {
  uint8_t forwardExits = 0, forwardEntries = 0, backwardExits = 0, backwardEntries = 0;
};

struct TRoad {
  uint32_t roadId = 1;
  bool oneWay = false;
  std::vector<uint16_t> nodePoints;  // point index of each route node
  size_t titleUnits = 4;
  std::vector<std::vector<std::pair<int32_t, int32_t>>> entries;  // geometry entries' points
  uint32_t intervals = 0;
  std::vector<TSegment> segments;  // one per route node but the last, when there are 2 or more
  std::vector<std::pair<uint16_t, uint16_t>> heights;
};

struct TEncodedRoad {
  Bytes bytes;
  uint32_t title;                  // offsets from the record's start
  uint32_t geometry;               // the u32 point counts
  std::vector<uint32_t> items;     // where each segment block's items begin
  uint32_t tail;                   // the height list's end: the extra texts
};

// A road record at image offset `start` (4-aligned): the fields of the
// record table with the segment blocks in their place; five empty texts.
inline TEncodedRoad EncodeRoad(uint32_t start, const TRoad& road) {
  TEncodedRoad result;
  CBytes w;
  const uint32_t n = static_cast<uint32_t>(road.nodePoints.size());
  w.U32(0);  // length, patched
  w.U32(0x01);
  w.Zeros(12);
  w.U32(road.roadId);  // road block: id, speeds, flags, speed pairs, n
  w.U8(60);
  w.U8(40);
  w.U16(road.oneWay ? 1 : 0);
  w.Zeros(48);
  w.U16(n);
  const size_t table = w.Pos();
  if (n > 0) w.Zeros(2 * (n - 1));
  for (uint16_t p : road.nodePoints) w.U16(p);
  result.title = w.Pos();
  w.Text(road.titleUnits);
  w.U8(static_cast<uint32_t>(road.entries.size()));
  w.U8(255);
  for (size_t i = 0; i < road.entries.size(); i++) w.U8(24);
  w.U8(road.intervals);
  w.Align4();  // start is 4-aligned
  w.Zeros(12 * road.intervals);
  result.geometry = w.Pos();
  for (const auto& e : road.entries) w.U32(static_cast<uint32_t>(e.size()));
  for (const auto& e : road.entries) {
    for (auto [x, y] : e) {
      w.I32(x);
      w.I32(y);
    }
  }
  w.Zeros(4 * n);  // node table references
  for (size_t g = 0; n >= 2 && g < n - 1; g++) {
    const TSegment s = g < road.segments.size() ? road.segments[g] : TSegment{};
    w.PutU16(table + 2 * g, w.Pos());
    w.Zeros(road.oneWay ? 8 : 16);
    w.U16(128 << 4);  // one metre
    const uint8_t counts[4] = {s.forwardExits, s.forwardEntries, s.backwardExits, s.backwardEntries};
    const bool escape = *std::max_element(counts, counts + 4) >= 7;
    w.U8(escape ? 0x3f : s.forwardEntries << 3 | s.forwardExits);
    w.U8(escape ? 0x3f : s.backwardEntries << 3 | s.backwardExits);
    if (escape) {
      for (uint8_t c : counts) w.U8(c);
    }
    result.items.push_back(w.Pos());
    for (uint32_t i = 0; i < 8u * (counts[0] + counts[1] + counts[2] + counts[3]); i++) w.U8(i);
  }
  w.U16(static_cast<uint32_t>(road.heights.size()));
  for (auto [point, level] : road.heights) {
    w.U16(point);
    w.U16(level);
  }
  result.tail = w.Pos();
  if ((start + w.Pos()) % 2) w.U8(0);
  for (int t = 0; t < 5; t++) w.Text(0);
  w.PutU32(0, w.Pos());
  result.bytes = std::move(w.b);
  return result;
}

}  // namespace routingtest
