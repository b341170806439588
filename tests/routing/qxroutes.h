// A reader of the routing data of written map files, for the tests only:
// the image (plain or snappy blocks), the CH node records of section 10,
// the node table of section 8 and the road records of section 3 with their
// segment blocks, each read from the file layout alone (no production
// reader), plus an upward query over the stored graph.
#pragma once

#include <snappy.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <queue>
#include <string>
#include <tuple>
#include <vector>

namespace QxRoutes {

struct TFault {
  std::string text;
};

class CImage {
 public:
  // Rebuilds the image of a .qx file; throws TFault.
  explicit CImage(const std::vector<uint8_t>& file) {
    if (file.size() < 188) throw TFault{"file shorter than its head"};
    for (uint32_t i = 0; i < 12; i++) {
      offset[i + 1] = Get32(file, 36 + 12 * i);
      size[i + 1] = Get32(file, 40 + 12 * i);
      end = std::max<uint64_t>(end, uint64_t{offset[i + 1]} + size[i + 1]);
    }
    if (Get32(file, 32) == 0) {
      if (file.size() < end) throw TFault{"plain file shorter than its image"};
      bytes.assign(file.begin(), file.begin() + end);
      return;
    }
    // Raw up to the end of section 1 rounded to 1024, then 1024-byte
    // blocks, each compressed alone, and a u32 file offset per block.
    const uint64_t raw = std::min<uint64_t>((uint64_t{offset[1]} + size[1] + 1023) / 1024 * 1024, end);
    const uint64_t blocks = end > raw ? (end - raw + 1023) / 1024 : 0;
    if (file.size() < raw + 4 * blocks) throw TFault{"compressed file too short"};
    const uint64_t table = file.size() - 4 * blocks;
    bytes.assign(file.begin(), file.begin() + raw);
    for (uint64_t k = 0; k < blocks; k++) {
      uint64_t from = Get32(file, table + 4 * k), to = k + 1 < blocks ? Get32(file, table + 4 * k + 4) : table;
      if (from >= to || to > table) throw TFault{"block table out of order"};
      std::string out;
      bool ok = false;
      // The last block may be followed by up to 3 bytes of padding.
      for (uint64_t pad = 0; pad < 4 && !ok && to - pad > from; pad++) {
        ok = snappy::Uncompress(reinterpret_cast<const char*>(file.data() + from), to - pad - from, &out);
        if (k + 1 < blocks) break;
      }
      if (!ok || out.size() != std::min<uint64_t>(1024, end - raw - 1024 * k)) throw TFault{"bad block"};
      bytes.insert(bytes.end(), out.begin(), out.end());
    }
  }

  uint32_t U32(uint64_t p) const {
    if (p + 4 > bytes.size()) throw TFault{"u32 at " + std::to_string(p) + " past the image"};
    return Get32(bytes, p);
  }
  uint16_t U16(uint64_t p) const {
    if (p + 2 > bytes.size()) throw TFault{"u16 at " + std::to_string(p) + " past the image"};
    return static_cast<uint16_t>(bytes[p] | bytes[p + 1] << 8);
  }
  uint8_t U8(uint64_t p) const {
    if (p >= bytes.size()) throw TFault{"u8 at " + std::to_string(p) + " past the image"};
    return bytes[p];
  }

  std::vector<uint8_t> bytes;
  uint32_t offset[13] = {}, size[13] = {};
  uint64_t end = 0;

 private:
  static uint32_t Get32(const std::vector<uint8_t>& b, uint64_t p) {
    return b[p] | b[p + 1] << 8 | b[p + 2] << 16 | static_cast<uint32_t>(b[p + 3]) << 24;
  }
};

// ---- section 10 ----

struct TEdge {
  uint32_t cost;
  uint8_t marks;
  uint32_t other;  // record position
  bool bit30;
  uint32_t via;  // record position, 0 for a plain edge
};

struct TChRecord {
  uint32_t pos;
  uint32_t roadRecord;
  uint32_t linkWord;  // bits 0-15 link index, bits 16-23 direction
  uint8_t flags;
  uint8_t endExternal;
  std::vector<TEdge> in, out;
  uint32_t timeCost = 0;  // when the end node is external
};

// Every record of section 10, in order, and the header.
struct TChSection {
  uint32_t header[4];
  std::vector<TChRecord> records;
  std::map<uint32_t, size_t> at;  // record position -> index
};

inline TChSection ReadChSection(const CImage& img) {
  TChSection s;
  uint64_t p = img.offset[10], end = p + img.size[10];
  if (img.size[10] == 0) return s;
  for (int i = 0; i < 4; i++) s.header[i] = img.U32(p + 4 * i);
  p += 16;
  while (p < end) {
    TChRecord r;
    r.pos = static_cast<uint32_t>(p);
    r.roadRecord = img.U32(p);
    r.linkWord = img.U32(p + 4);
    r.flags = img.U8(p + 8);
    r.endExternal = img.U8(p + 9);
    uint32_t in = img.U8(p + 10), out = img.U8(p + 11);
    p += 12;
    if (in == 255) in = img.U16(p), p += 2;
    if (out == 255) out = img.U16(p), p += 2;
    p = (p + 3) & ~uint64_t{3};
    for (uint32_t k = 0; k < in + out; k++) {
      uint32_t w = img.U32(p), o = img.U32(p + 4), v = img.U32(p + 8);
      (k < in ? r.in : r.out).push_back(TEdge{w >> 2, static_cast<uint8_t>(w & 3), o & ~3u, (o & 1) != 0, v});
      p += 12;
    }
    if (r.endExternal) r.timeCost = img.U32(p), p += 4;
    if (p > end) throw TFault{"record at " + std::to_string(r.pos) + " runs past section 10"};
    s.at[r.pos] = s.records.size();
    s.records.push_back(std::move(r));
  }
  return s;
}

// ---- section 11 ----

struct TTreeRef {
  int32_t x, y;
  uint32_t word, second;
};

// Every reference of the tree with its point; throws on a malformed tree.
inline void ReadNodeTree(const CImage& img, uint64_t p, uint64_t end, std::vector<TTreeRef>& out) {
  if (p >= end) return;
  const int32_t x = static_cast<int32_t>(img.U32(p)), y = static_cast<int32_t>(img.U32(p + 4));
  const uint32_t links = img.U32(p + 8);
  uint64_t q = p + 12, listEnd = q + 4 * (links & 0xff);
  while (q < listEnd) {
    uint32_t w = img.U32(q);
    out.push_back(TTreeRef{x, y, w, (w & 1) ? img.U32(q + 4) : 0});
    q += (w & 1) ? 8 : 4;
  }
  if (q != listEnd) throw TFault{"tree list at " + std::to_string(p) + " splits an entry"};
  const uint64_t right = listEnd + 4 * uint64_t{links >> 9};
  if (right > end) throw TFault{"left subtree at " + std::to_string(p) + " runs past the tree"};
  if (links >> 9) ReadNodeTree(img, listEnd, right, out);
  if (links & 0x100) ReadNodeTree(img, right, end, out);
}

// ---- section 3: road records ----

struct TItem {
  uint32_t record;
  uint32_t word;
};

struct TBlock {
  uint32_t pos;
  uint32_t time[2] = {}, distance[2] = {};  // [0] forward, [1] backward (two-way only)
  uint16_t length;
  uint8_t forward, backward;
  uint32_t counts[4];  // forward exits, forward entries, backward exits, backward entries
  bool escaped;
  std::vector<TItem> items[4];
};

struct TRoadRecord {
  uint32_t record;
  uint32_t roadId;
  bool oneWay;
  std::vector<uint16_t> pointIndexes;
  std::vector<uint32_t> nodeRefs;
  std::vector<TBlock> blocks;
};

// Reads the road records of section 3 (maps without a layers
// configuration: every geometry entry is written).
inline std::vector<TRoadRecord> ReadRoads(const CImage& img) {
  std::vector<TRoadRecord> roads;
  uint64_t p = img.offset[3] + 4, end = uint64_t{img.offset[3]} + img.size[3];
  while (true) {
    p = (p + 3) & ~uint64_t{3};
    if (p >= end) break;
    const uint32_t length = img.U32(p);
    if (length < 8 || p + length > end) throw TFault{"record at " + std::to_string(p) + " has length " + std::to_string(length)};
    const uint64_t rec = p;
    p += length;
    if (img.U8(rec + 24) == 0) continue;  // a plain polyline (a road's speed limit is never 0)
    TRoadRecord r;
    r.record = static_cast<uint32_t>(rec);
    r.roadId = img.U32(rec + 20);
    r.oneWay = (img.U16(rec + 26) & 1) != 0;
    const uint32_t n = img.U16(rec + 76);
    std::vector<uint16_t> table;
    uint64_t q = rec + 78;
    for (uint32_t i = 0; i + 1 < n; i++, q += 2) table.push_back(img.U16(q));
    for (uint32_t i = 0; i < n; i++, q += 2) r.pointIndexes.push_back(img.U16(q));
    q += 2 + 2 * uint64_t{img.U16(q)};  // label
    const uint32_t m = img.U8(q);
    q += 2 + m;
    const uint32_t intervals = img.U8(q);
    q = ((q + 1 + 3) & ~uint64_t{3}) + 12 * uint64_t{intervals};
    uint64_t points = 0;
    for (uint32_t i = 0; i < m; i++, q += 4) points += img.U32(q);
    q += 8 * points;
    for (uint32_t i = 0; i < n; i++, q += 4) r.nodeRefs.push_back(img.U32(q));
    for (uint32_t g = 0; g + 1 < n; g++) {
      if (rec + table[g] != q) throw TFault{"segment " + std::to_string(g) + " of road " + std::to_string(r.roadId) + " is not where its offset says"};
      TBlock b;
      b.pos = static_cast<uint32_t>(q);
      b.time[0] = img.U32(q), b.distance[0] = img.U32(q + 4);
      q += 8;
      if (!r.oneWay) b.time[1] = img.U32(q), b.distance[1] = img.U32(q + 4), q += 8;
      b.length = img.U16(q);
      b.forward = img.U8(q + 2);
      b.backward = img.U8(q + 3);
      q += 4;
      b.escaped = (b.forward & 0x3f) == 0x3f && (b.backward & 0x3f) == 0x3f;
      if (b.escaped) {
        for (int k = 0; k < 4; k++) b.counts[k] = img.U8(q + k);
        q += 4;
      } else {
        b.counts[0] = b.forward & 7, b.counts[1] = b.forward >> 3 & 7;
        b.counts[2] = b.backward & 7, b.counts[3] = b.backward >> 3 & 7;
      }
      for (int k = 0; k < 4; k++) {
        for (uint32_t i = 0; i < b.counts[k]; i++, q += 8) b.items[k].push_back(TItem{img.U32(q), img.U32(q + 4)});
      }
      r.blocks.push_back(std::move(b));
    }
    roads.push_back(std::move(r));
  }
  return roads;
}

// ---- section 8 ----

struct TNodeEntry {
  uint32_t pos;
  uint32_t nodeId;
  uint8_t bound;
  std::vector<std::pair<uint32_t, uint32_t>> pairs;  // road record, point index
};

inline std::vector<TNodeEntry> ReadNodeTable(const CImage& img, uint32_t* flagged,
                                             std::vector<std::pair<uint32_t, uint32_t>>* index) {
  std::vector<TNodeEntry> entries;
  uint64_t p = img.offset[8];
  if (img.size[8] == 0) return entries;
  const uint32_t count = img.U32(p);
  *flagged = img.U32(p + 4);
  p += 8;
  for (uint32_t i = 0; i < *flagged; i++, p += 8) index->push_back({img.U32(p), img.U32(p + 4)});
  for (uint32_t i = 0; i < count; i++) {
    TNodeEntry e;
    e.pos = static_cast<uint32_t>(p);
    e.nodeId = img.U32(p);
    e.bound = img.U8(p + 4);
    const uint32_t pairs = img.U8(p + 5);
    p += 8;
    for (uint32_t k = 0; k < pairs; k++, p += 8) e.pairs.push_back({img.U32(p), img.U32(p + 4)});
    entries.push_back(std::move(e));
  }
  if (p != uint64_t{img.offset[8]} + img.size[8]) throw TFault{"section 8 entries end before the section"};
  return entries;
}

// ---- the query ----

constexpr uint64_t kNoPath = UINT64_MAX;

// Shortest distance between two records of one graph: a forward search up
// the stored outgoing edges and a backward one up the incoming edges, each
// over (record, left-the-area) states. A path in the "left" state (it has
// passed a record outside the area, or a bit-30 edge) may not go on from an
// area record over a bit-30 edge or to a record outside the area; at the
// meeting record two "left" halves may not join at an area record.
class CQuery {
 public:
  explicit CQuery(const TChSection& s) : section(s) {}

  // Search from a record: distance per (record index, state).
  std::map<std::pair<size_t, bool>, uint64_t> Search(uint32_t from, bool backward) const {
    std::map<std::pair<size_t, bool>, uint64_t> dist;
    using TItem = std::pair<uint64_t, std::pair<size_t, bool>>;
    std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> queue;
    const size_t start = section.at.at(from);
    dist[{start, false}] = 0;
    queue.push({0, {start, false}});
    while (!queue.empty()) {
      auto [d, key] = queue.top();
      queue.pop();
      if (dist[key] != d) continue;
      const TChRecord& r = section.records[key.first];
      const bool area = Area(r);
      for (const TEdge& e : backward ? r.in : r.out) {
        auto it = section.at.find(e.other);
        if (it == section.at.end()) continue;
        const bool otherArea = Area(section.records[it->second]);
        if (area && key.second && (e.bit30 || !otherArea)) continue;
        const std::pair<size_t, bool> next{it->second, key.second || e.bit30 || !area};
        auto found = dist.find(next);
        if (found == dist.end() || d + e.cost < found->second) {
          dist[next] = d + e.cost;
          queue.push({d + e.cost, next});
        }
      }
    }
    return dist;
  }

  static uint64_t Join(const std::map<std::pair<size_t, bool>, uint64_t>& f,
                       const std::map<std::pair<size_t, bool>, uint64_t>& b, const TChSection& s) {
    uint64_t best = kNoPath;
    for (const auto& [key, d] : f) {
      for (bool state : {false, true}) {
        auto it = b.find({key.first, state});
        if (it == b.end()) continue;
        if (key.second && state && Area(s.records[key.first])) continue;
        best = std::min(best, d + it->second);
      }
    }
    return best;
  }

  static bool Area(const TChRecord& r) { return (r.flags & 4) != 0; }

 private:
  const TChSection& section;
};

}  // namespace QxRoutes
