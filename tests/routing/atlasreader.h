// A reader of atlas files for the tests only, from the file layout alone:
// the header, both graphs (map tables and node records with their edges)
// and the external-node tree. Every offset is checked; a malformed file
// throws TFault.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace AtlasReader {

struct TFault {
  std::string text;
};

struct TEdge {
  uint32_t cost;
  uint8_t marks;   // bit 0 U, bit 1 S
  uint32_t other;  // record offset
  bool below;      // the other end ranks below this node
  bool bit30;
  uint32_t via;    // as stored
};

struct TNode {
  uint32_t offset;
  uint32_t position;  // of its record in its map's section 10
  bool entry, exit, area, type0a;
  uint32_t map;
  int32_t entryX = 0, entryY = 0, exitX = 0, exitY = 0;
  uint32_t exitCost = 0;
  std::vector<TEdge> in, out;
};

struct TGraph {
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> tables;  // per map: (position, record offset)
  std::vector<TNode> nodes;                                         // in file order (rank order)
  std::map<uint32_t, size_t> at;                                    // record offset -> index
  uint32_t recordsSize = 0;
};

struct TTreeRef {
  int32_t x, y;
  uint32_t word, second;
};

struct TAtlas {
  uint16_t version = 0;
  std::vector<std::array<uint8_t, 16>> ids;
  TGraph graphs[2];
  uint64_t treeStart = 0;
  std::vector<TTreeRef> tree;  // in file order
};

class CReader {
 public:
  explicit CReader(const std::vector<uint8_t>& bytes) : b(bytes) {}

  uint32_t U32(uint64_t p) const {
    Need(p, 4);
    return b[p] | b[p + 1] << 8 | b[p + 2] << 16 | static_cast<uint32_t>(b[p + 3]) << 24;
  }
  uint16_t U16(uint64_t p) const {
    Need(p, 2);
    return static_cast<uint16_t>(b[p] | b[p + 1] << 8);
  }
  uint8_t U8(uint64_t p) const {
    Need(p, 1);
    return b[p];
  }
  void Need(uint64_t p, uint64_t n) const {
    if (p + n > b.size()) throw TFault{std::to_string(n) + " bytes at " + std::to_string(p) + " past the end"};
  }
  size_t Size() const { return b.size(); }

 private:
  const std::vector<uint8_t>& b;
};

inline uint64_t ReadGraph(const CReader& r, uint64_t p, size_t maps, TGraph& g) {
  if (p % 4) throw TFault{"graph at " + std::to_string(p) + " not 4-aligned"};
  size_t total = 0;
  for (size_t m = 0; m < maps; m++) {
    const uint32_t n = r.U32(p);
    p += 4;
    g.tables.emplace_back();
    for (uint32_t i = 0; i < n; i++, p += 8) g.tables.back().push_back({r.U32(p), r.U32(p + 4)});
    total += n;
  }
  g.recordsSize = r.U32(p);
  p += 4;
  const uint64_t end = p + g.recordsSize;
  r.Need(p, g.recordsSize);
  while (p < end) {
    TNode n;
    n.offset = static_cast<uint32_t>(p);
    const uint32_t word = r.U32(p);
    const uint16_t packed = r.U16(p + 4);
    n.position = word & ~3u;
    n.entry = word & 1;
    n.exit = word & 2;
    n.area = packed & 1;
    n.type0a = packed & 2;
    n.map = packed >> 2;
    uint32_t in = r.U8(p + 6), out = r.U8(p + 7);
    p += 8;
    if (in == 255) in = r.U16(p), p += 2;
    if (out == 255) out = r.U16(p), p += 2;
    p = (p + 3) & ~uint64_t{3};
    if (n.entry) {
      n.entryX = static_cast<int32_t>(r.U32(p));
      n.entryY = static_cast<int32_t>(r.U32(p + 4));
      p += 8;
    }
    if (n.exit) {
      n.exitX = static_cast<int32_t>(r.U32(p));
      n.exitY = static_cast<int32_t>(r.U32(p + 4));
      n.exitCost = r.U32(p + 8);
      p += 12;
    }
    for (uint32_t k = 0; k < in + out; k++, p += 12) {
      const uint32_t w = r.U32(p), o = r.U32(p + 4);
      (k < in ? n.in : n.out).push_back(TEdge{w >> 2, static_cast<uint8_t>(w & 3), o & ~3u, (o & 2) != 0, (o & 1) != 0,
                                             r.U32(p + 8)});
    }
    if (p > end) throw TFault{"record at " + std::to_string(n.offset) + " runs past the records"};
    g.at[n.offset] = g.nodes.size();
    g.nodes.push_back(std::move(n));
  }
  if (g.nodes.size() != total) throw TFault{"map tables list another number of nodes than the records"};
  return end;
}

inline void ReadTree(const CReader& r, uint64_t p, uint64_t end, std::vector<TTreeRef>& out, int depth = 0) {
  if (p >= end) return;
  if (depth > 200) throw TFault{"tree too deep"};
  const int32_t x = static_cast<int32_t>(r.U32(p)), y = static_cast<int32_t>(r.U32(p + 4));
  const uint32_t links = r.U32(p + 8);
  uint64_t q = p + 12;
  const uint64_t listEnd = q + 4 * uint64_t{links & 0xff};
  while (q < listEnd) {
    const uint32_t w = r.U32(q);
    out.push_back(TTreeRef{x, y, w, (w & 1) ? r.U32(q + 4) : 0});
    q += (w & 1) ? 8 : 4;
  }
  if (q != listEnd) throw TFault{"tree list at " + std::to_string(p) + " splits an entry"};
  const uint64_t right = listEnd + 4 * uint64_t{links >> 9};
  if (right > end) throw TFault{"left subtree at " + std::to_string(p) + " runs past the tree"};
  if (links >> 9) ReadTree(r, listEnd, right, out, depth + 1);
  if (links & 0x100) ReadTree(r, right, end, out, depth + 1);
}

inline TAtlas Read(const std::vector<uint8_t>& bytes) {
  CReader r(bytes);
  r.Need(0, 12);
  if (std::string(bytes.begin(), bytes.begin() + 8) != "qx atlas") throw TFault{"no magic"};
  TAtlas a;
  a.version = r.U16(8);
  const uint16_t count = r.U16(10);
  r.Need(12, 16 * uint64_t{count});
  for (uint32_t i = 0; i < count; i++) {
    std::array<uint8_t, 16> id;
    for (int k = 0; k < 16; k++) id[k] = bytes[12 + 16 * i + k];
    a.ids.push_back(id);
  }
  uint64_t p = 12 + 16 * uint64_t{count};
  p = ReadGraph(r, p, count, a.graphs[0]);
  p = ReadGraph(r, p, count, a.graphs[1]);
  a.treeStart = p;
  ReadTree(r, p, bytes.size(), a.tree);
  return a;
}

// The standard CRC-32 (reflected, polynomial 0xEDB88320).
inline uint32_t Crc32(const uint8_t* data, size_t n) {
  uint32_t crc = 0xffffffff;
  for (size_t i = 0; i < n; i++) {
    crc ^= data[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

}  // namespace AtlasReader
