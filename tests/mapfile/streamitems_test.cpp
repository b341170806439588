// The stream item readers: road records written by the converter and
// encoded here, CH node records and external-node trees encoded here from
// the record tables, the nearest-node search against a brute-force one, and
// damaged files, which give stream errors and never a read elsewhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "app/config.h"
#include "core/log.h"
#include "mapfile/streamitems.h"
#include "mapfile/writer.h"
#include "qxtest.h"
#include "routing/atlasgraph.h"
#include "routing/maprouting.h"
#include "routingencoder.h"
#include "streamwalk.h"

using namespace ZorvaneMap;
using namespace routingtest;
using qxtest::U16At;
using qxtest::U32At;

namespace {

const std::string& Dir() {
  static const std::string dir = TestUtil::MakeTempDir("streamitems");
  return dir;
}

// A map file opened through a cache of its own.
struct TOpened {
  CStreamCache cache;
  CMapFile map;
  explicit TOpened(const std::string& path, uint32_t slots = 16) : cache(slots) {
    EXPECT_EQ(map.Open(path.c_str(), &cache), CMapFile::LoadOk) << path;
  }
};

template <class F>
bool Throws(F read) {
  try {
    read();
  } catch (const TStreamException&) {
    return true;
  }
  return false;
}

uint64_t SquaredOffset(TGeoPoint a, TGeoPoint b) {
  TGeoOffset o = a.GetOffset(b);
  uint64_t dx = static_cast<uint64_t>(std::abs(static_cast<int64_t>(o.dx)));
  uint64_t dy = static_cast<uint64_t>(std::abs(static_cast<int64_t>(o.dy)));
  return dx * dx + dy * dy;
}

// ---- Road records written by the converter ------------------------------------

struct TMpRoad {
  std::string label;
  bool routing;
  std::vector<std::vector<TPointD>> entries;  // Data0, Data1, ...
  std::vector<uint16_t> nodes;                // point index of each route node
  std::vector<std::pair<uint16_t, int16_t>> heights;
};

std::vector<TPointD> Line(double x, double y, int points) {
  std::vector<TPointD> line;
  for (int i = 0; i < points; i++) line.push_back({x + 0.0011 * i, y + 0.0004 * (i % 3)});
  return line;
}

const std::vector<TMpRoad>& MpRoads() {
  static const std::vector<TMpRoad> roads = [] {
    std::vector<TMpRoad> r;
    r.push_back({"Plain line", false, {Line(13.0, 45.0, 4), Line(13.0, 45.1, 2)}, {}, {}});
    r.push_back({"Road without nodes", true, {Line(13.01, 45.01, 3)}, {}, {}});
    r.push_back({"Road with one node", true, {Line(13.02, 45.02, 4)}, {2}, {{1, 1}}});
    r.push_back({"Road of two levels", true, {Line(13.03, 45.03, 6), Line(13.03, 45.13, 3)}, {0, 2, 2, 5},
                 {{1, 1}, {3, -1}, {5, 2}}});
    // It starts where the road of two levels ends: one junction.
    TMpRoad longRoad{"Long road", true, {Line(13.0355, 45.0308, 300), Line(13.04, 45.14, 40)}, {}, {{10, 1}}};
    for (uint16_t k = 0; k < 300; k += 3) longRoad.nodes.push_back(k);
    longRoad.nodes.push_back(299);
    r.push_back(longRoad);
    return r;
  }();
  return roads;
}

std::string PointsText(const std::vector<TPointD>& points) {
  std::string text;
  char buf[64];
  for (const TPointD& p : points) {
    std::snprintf(buf, sizeof buf, "%s(%.6f,%.6f)", text.empty() ? "" : ",", p.y, p.x);
    text += buf;
  }
  return text;
}

std::string RoadsMapText() {
  std::string text =
      "[IMG ID]\nName=Roads\nCodePage=65001\nLevels=3\nLevel0=24\nLevel1=22\nLevel2=20\n[END-IMG ID]\n";
  uint32_t nodeId = 1000;
  for (size_t i = 0; i < MpRoads().size(); i++) {
    const TMpRoad& road = MpRoads()[i];
    text += "[POLYLINE]\nType=0x06\nLabel=" + road.label + "\n";
    if (road.routing) text += "RoadID=" + std::to_string(100 + i) + "\nRouteParam=3,2,0,0,0,0,0,0,0,0,0,0\n";
    for (size_t e = 0; e < road.entries.size(); e++) {
      text += "Data" + std::to_string(e) + "=" + PointsText(road.entries[e]) + "\n";
    }
    // Node ids: the two-level road's last is the long road's first; the
    // first of the one and the last of the other are bound (external).
    const bool longRoad = road.label == "Long road";
    if (longRoad) nodeId--;
    for (size_t k = 0; k < road.nodes.size(); k++) {
      const bool bound = (k == 0 && road.nodes.size() == 4) || (longRoad && k + 1 == road.nodes.size());
      text += "Nod" + std::to_string(k + 1) + "=" + std::to_string(road.nodes[k]) + "," + std::to_string(nodeId++) +
              (bound ? ",1\n" : ",0\n");
    }
    std::string heights;
    for (auto [point, level] : road.heights) {
      heights += (heights.empty() ? "(" : ",(") + std::to_string(point) + "," + std::to_string(level) + ")";
    }
    if (!heights.empty()) text += "HLevel0=" + heights + "\n";
    text += "[END]\n";
  }
  return text;
}

struct TConverted {
  std::string plainPath, packedPath;
  Bytes plain;
  // Record offset of each road of MpRoads(), found from the image's bytes.
  std::vector<uint32_t> records;
};

// The title of the record at r, read from the bytes as laid out: behind the
// route-node tables.
std::string TitleAt(const Bytes& image, uint32_t r) {
  const uint32_t n = U16At(image, r + 76);
  const size_t at = r + (n ? 76 + 4 * n : 78);
  std::string title;
  for (uint32_t i = 0; i < U16At(image, at); i++) title += static_cast<char>(U16At(image, at + 2 + 2 * i));
  return title;
}

const TConverted& Converted() {
  static const TConverted converted = [] {
    TConverted c;
    const std::string mp = Dir() + "roads.mp";
    TestUtil::WriteFile(mp, RoadsMapText());
    c.plainPath = Dir() + "roads-plain.qx";
    c.packedPath = Dir() + "roads.qx";
    g_Log.enabled = false;
    for (bool compress : {false, true}) {
      CConverterConfig config;
      PolskiFormat::CMap map;
      EXPECT_EQ(map.LoadFile(mp.c_str(), nullptr), nullptr);
      CMapWriter writer;
      CMapRoutingWriter routing;
      writer.routing = &routing;
      EXPECT_TRUE(WriteMapFile(writer, map, compress ? c.packedPath : c.plainPath, config, compress, nullptr));
    }
    g_Log.enabled = true;
    c.plain = qxtest::ReadFileBytes(c.plainPath);
    c.records.assign(MpRoads().size(), 0);
    const CTestImage image = CTestImage::FromPlainFile(c.plain);
    const TMapSectionEntry& s3 = image.directory[SectionPolylines - 1];
    // The section's u32 object count, then the records.
    for (uint32_t r = s3.offset + 4; r < s3.offset + s3.size; r = (r + std::max(U32At(c.plain, r), 4u) + 3) / 4 * 4) {
      const std::string title = TitleAt(c.plain, r);
      for (size_t i = 0; i < MpRoads().size(); i++) {
        if (MpRoads()[i].label == title) c.records[i] = r;
      }
    }
    for (size_t i = 0; i < MpRoads().size(); i++) EXPECT_NE(c.records[i], 0u) << MpRoads()[i].label;
    return c;
  }();
  return converted;
}

TEST(StreamPolyline, ConverterRoadRecords) {
  const TConverted& c = Converted();
  auto heightsOf = [](const TMpRoad& mp) { return static_cast<uint32_t>(mp.routing ? mp.heights.size() : 0); };
  for (const std::string& path : {c.plainPath, c.packedPath}) {
    TOpened f(path, 8);
    for (size_t i = 0; i < MpRoads().size(); i++) {
      const TMpRoad& mp = MpRoads()[i];
      SCOPED_TRACE(path + ": " + mp.label);
      const uint32_t r = c.records[i];
      CStreamPolyline road(&f.map, r);
      const uint32_t n = static_cast<uint32_t>(mp.nodes.size());
      EXPECT_EQ(road.GetTitlePos(), n == 0 ? r + 78 : r + 76 + 4 * n);
      EXPECT_EQ(road.GetKind(), 1u);
      for (uint32_t k = 0; k < n; k++) ASSERT_EQ(road.GetNodePointIndex(k), mp.nodes[k]) << k;
      EXPECT_TRUE(Throws([&] { road.GetNodePointIndex(n); }));
      uint32_t points = 0;
      for (const std::vector<TPointD>& entry : mp.entries) {
        for (const TPointD& p : entry) ASSERT_EQ(road.GetPoint(points++), DegreesToGeoPoint(p.x, p.y)) << points;
      }
      EXPECT_TRUE(Throws([&] { road.GetPoint(points); }));
      EXPECT_TRUE(Throws([&] { road.GetPoint(0xFFFFFFFFu); }));

      // Each segment block's items end where the next block begins, the
      // last one's at the height list.
      const uint32_t end = r + U32At(c.plain, r);
      const uint32_t tail = road.GetTailListPos();
      for (uint32_t k = 0; k + 1 < n; k++) {
        const TLaneCounts lanes = road.ReadLaneCounts(k);
        const uint32_t items = lanes.forwardExits + lanes.forwardEntries + lanes.backwardExits + lanes.backwardEntries;
        const uint32_t next = k + 2 < n ? r + U16At(c.plain, r + 78 + 2 * (k + 1)) : tail - 2 - 4 * heightsOf(mp);
        EXPECT_EQ(lanes.itemsPos + 8 * items, next) << "segment " << k;
      }
      EXPECT_TRUE(Throws([&] { road.ReadLaneCounts(n < 2 ? 0 : n - 1); }));
      // The extra texts (five empty ones here) follow the height list.
      EXPECT_EQ(tail + tail % 2 + 10, end);
      const size_t heights = heightsOf(mp);
      const size_t list = tail - 4 * heights - 2;
      ASSERT_EQ(U16At(c.plain, list), heights);
      for (size_t h = 0; h < heights; h++) {
        EXPECT_EQ(U16At(c.plain, list + 2 + 4 * h), mp.heights[h].first);
        EXPECT_EQ(U16At(c.plain, list + 4 + 4 * h), static_cast<uint16_t>(mp.heights[h].second));
      }
    }
  }
}

// ---- Road records with segment blocks --------------------------------------------

struct TRoadCase {
  TRoad road;
  std::vector<std::pair<int32_t, int32_t>> all;  // every point in order
};

TRoad MakeRoad(uint32_t id, bool oneWay, std::vector<uint16_t> nodes, std::vector<size_t> entrySizes,
               std::vector<TSegment> segments, uint32_t intervals = 0, size_t titleUnits = 5) {
  TRoad road;
  road.roadId = id;
  road.oneWay = oneWay;
  road.nodePoints = std::move(nodes);
  road.titleUnits = titleUnits;
  road.intervals = intervals;
  road.segments = std::move(segments);
  int32_t v = static_cast<int32_t>(id) * 1000;
  for (size_t size : entrySizes) {
    road.entries.emplace_back();
    for (size_t i = 0; i < size; i++, v += 7) road.entries.back().push_back({v, -v});
  }
  road.heights = {{1, 2}, {3, 0xFFFF}};
  return road;
}

std::vector<TRoad> EncodedRoads() {
  return {
      MakeRoad(1, false, {}, {3}, {}),
      MakeRoad(2, true, {1}, {4, 2}, {}, 2),
      MakeRoad(3, false, {0, 3}, {4}, {{1, 2, 0, 3}}),
      MakeRoad(4, true, {0, 1, 4}, {5, 3, 1}, {{7, 0, 0, 0}, {8, 9, 0, 0}}, 1, 0),
      MakeRoad(5, false, {0, 2, 3, 5}, {6}, {{0, 0, 0, 0}, {2, 2, 7, 1}, {6, 6, 6, 6}}),
  };
}

// An image with the roads in section 3, each record 4-aligned.
struct TRoadImage {
  CTestImage image;
  std::vector<uint32_t> offsets;
  std::vector<TEncodedRoad> encoded;
};

void AddRoads(TRoadImage& t, const std::vector<TRoad>& roads) {
  t.image.Begin(SectionPolylines);
  t.image.U32(static_cast<uint32_t>(roads.size()));
  for (const TRoad& road : roads) {
    t.image.Align4();
    t.offsets.push_back(t.image.Pos());
    t.encoded.push_back(EncodeRoad(t.image.Pos(), road));
    t.image.b.insert(t.image.b.end(), t.encoded.back().bytes.begin(), t.encoded.back().bytes.end());
  }
  t.image.End(SectionPolylines);
}

TEST(StreamPolyline, EncodedRoadRecords) {
  const std::vector<TRoad> roads = EncodedRoads();
  TRoadImage t;
  AddRoads(t, roads);
  for (bool packed : {false, true}) {
    const std::string path = Dir() + (packed ? "encoded-roads.qx" : "encoded-roads-plain.qx");
    t.image.Save(path, packed);
    TOpened f(path, 4);
    for (size_t i = 0; i < roads.size(); i++) {
      SCOPED_TRACE("road " + std::to_string(i));
      const TRoad& road = roads[i];
      const uint32_t r = t.offsets[i];
      CStreamPolyline reader(&f.map, r);
      EXPECT_EQ(reader.GetTitlePos(), r + t.encoded[i].title);
      for (size_t k = 0; k < road.nodePoints.size(); k++) EXPECT_EQ(reader.GetNodePointIndex(k), road.nodePoints[k]);
      uint32_t p = 0;
      for (const auto& entry : road.entries) {
        for (auto [x, y] : entry) EXPECT_EQ(reader.GetPoint(p++), (TGeoPoint{x, y}));
      }
      EXPECT_TRUE(Throws([&] { reader.GetPoint(p); }));
      for (size_t k = 0; k < road.segments.size(); k++) {
        const TLaneCounts c = reader.ReadLaneCounts(static_cast<uint32_t>(k));
        const TSegment& s = road.segments[k];
        EXPECT_EQ(c.forwardExits, s.forwardExits);
        EXPECT_EQ(c.forwardEntries, s.forwardEntries);
        EXPECT_EQ(c.backwardExits, s.backwardExits);
        EXPECT_EQ(c.backwardEntries, s.backwardEntries);
        EXPECT_EQ(c.itemsPos, r + t.encoded[i].items[k]);
      }
      EXPECT_TRUE(Throws([&] { reader.ReadLaneCounts(static_cast<uint32_t>(road.segments.size())); }));
      EXPECT_EQ(reader.GetTailListPos(), r + t.encoded[i].tail);
    }
  }
}

// A record that some reference puts where no record of section 3 starts.
TEST(StreamPolyline, OffsetsOutsideTheSection) {
  TRoadImage t;
  AddRoads(t, EncodedRoads());
  t.image.Save(Dir() + "outside.qx", false);
  TOpened f(Dir() + "outside.qx");
  const TMapSectionEntry& s3 = t.image.directory[SectionPolylines - 1];
  for (uint32_t r : {0u, 188u, s3.offset - 4, s3.offset + 2, s3.offset + 6, s3.offset + s3.size, s3.offset + s3.size - 4,
                     0xFFFFFFFCu}) {
    EXPECT_TRUE(Throws([&] { CStreamPolyline(&f.map, r).GetTitlePos(); })) << r;
    EXPECT_TRUE(Throws([&] { CStreamPolyline(&f.map, r).GetPoint(0); })) << r;
  }
  // A map that is not loaded, and one without the section.
  CMapFile unloaded;
  EXPECT_TRUE(Throws([&] { CStreamPolyline(&unloaded, s3.offset).GetPoint(0); }));
  CTestImage bare;
  bare.Save(Dir() + "bare.qx", false);
  TOpened b(Dir() + "bare.qx");
  EXPECT_FALSE(b.map.HasSection(SectionPolylines));
  EXPECT_TRUE(Throws([&] { CStreamPolyline(&b.map, 188).GetTitlePos(); }));
}

// ---- The converter's routing sections ------------------------------------------------

// Section 10 as the converter wrote it, decoded from its bytes with the
// record positions the reader walks to, encodes again to the same bytes;
// each border node's point finds its own record in the tree, and each
// start node's point the record's 4-byte reference.
TEST(StreamItems, ConverterRoutingSections) {
  const TConverted& c = Converted();
  const Bytes& image = c.plain;
  TOpened f(c.packedPath, 8);
  ASSERT_TRUE(f.map.HasSection(SectionChGraphs));
  ASSERT_TRUE(f.map.HasSection(SectionExternalNodes));
  const uint32_t s10 = f.map.GetSectionOffset(SectionChGraphs), size = f.map.GetSectionSize(SectionChGraphs);
  std::vector<uint32_t> positions;
  for (uint32_t e = s10 + 16; e < s10 + size; e = CStreamGraphNode(&f.map, e).GetEndPos()) positions.push_back(e);
  ASSERT_GT(positions.size(), 4u);
  auto index = [&](uint32_t position) {
    auto it = std::lower_bound(positions.begin(), positions.end(), position);
    EXPECT_TRUE(it != positions.end() && *it == position) << position;
    return static_cast<int32_t>(it - positions.begin());
  };
  std::vector<TChNode> nodes;
  for (uint32_t e : positions) {
    TChNode n;
    n.road = U32At(image, e);
    n.link = U16At(image, e + 4);
    n.direction = image[e + 6];
    n.flags = image[e + 8];
    n.endExternal = image[e + 9] != 0;
    uint32_t in = image[e + 10], out = image[e + 11], at = e + 12;
    if (in == 255) in = U16At(image, at), at += 2;
    if (out == 255) out = U16At(image, at), at += 2;
    at = (at + 3) / 4 * 4;
    for (uint32_t j = 0; j < in + out; j++, at += 12) {
      const uint32_t via = U32At(image, at + 8);
      TChEdge edge{U32At(image, at) >> 2, U32At(image, at) & 3, index(U32At(image, at + 4) & ~3u),
                   (U32At(image, at + 4) & 1) != 0, via ? index(via) : -1};
      (j < in ? n.in : n.out).push_back(edge);
    }
    if (n.endExternal) n.cost = U32At(image, at);
    nodes.push_back(n);
  }
  auto first = [&](uint32_t at) { return U32At(image, at) ? index(U32At(image, at)) : -1; };
  const TChSection again =
      EncodeChSection(s10, nodes, U32At(image, s10), first(s10 + 4), U32At(image, s10 + 8), first(s10 + 12));
  EXPECT_TRUE(again.bytes == Bytes(image.begin() + s10, image.begin() + s10 + size));

  uint32_t borders = 0, starts = 0;
  for (size_t i = 0; i < positions.size(); i++) {
    const TChNode& n = nodes[i];
    CStreamGraphNode node(&f.map, positions[i]);
    const TRoadRef ref = node.GetRoadRef(3);
    EXPECT_EQ(ref.node >> 17, 3u);
    const size_t road = std::find(c.records.begin(), c.records.end(), ref.road) - c.records.begin();
    ASSERT_LT(road, MpRoads().size()) << "record " << positions[i];
    const TMpRoad& mp = MpRoads()[road];
    CStreamPolyline reader(&f.map, ref.road);
    // The node's end point (route node link + direction), and its start point.
    const uint32_t link = ref.node & 0xFFFF, along = ref.node >> 16 & 1;
    const TGeoPoint end = reader.GetPoint(reader.GetNodePointIndex(link + along));
    const TGeoPoint start = reader.GetPoint(reader.GetNodePointIndex(link + 1 - along));
    const TPointD& p = mp.entries[0][mp.nodes[link + along]];
    EXPECT_EQ(end, DegreesToGeoPoint(p.x, p.y));
    for (uint32_t kind : {1u, 0u}) {
      if (kind == 1 ? !n.endExternal : !(n.flags & 1)) continue;
      (kind ? borders : starts)++;
      uint64_t best = ~0ull;
      CStreamNodeTree found = CStreamNodeTree(&f.map).FindNearest(kind ? end : start, kind, best);
      ASSERT_FALSE(found.IsEmpty());
      EXPECT_EQ(best, 0u);
      bool listed = false;
      for (uint32_t metric = 0; metric < 2; metric++) {
        CReallocArray<TNodeRef> refs;
        found.CollectNodeRefs(kind, metric, refs);
        for (const TNodeRef& r : refs) {
          if (r.position != positions[i]) continue;
          listed = true;
          // The Time graph's references carry the Time cost the record keeps.
          if (kind == 1 && metric == 1) {
            EXPECT_EQ(r.word, node.GetExtraWord());
          } else if (kind == 0) {
            EXPECT_EQ(r.word, n.flags >> 1 & 1u);  // the road's type-0x0a bit
          }
        }
      }
      EXPECT_TRUE(listed) << "record " << positions[i] << " kind " << kind;
    }
  }
  EXPECT_GT(borders, 0u);
  EXPECT_GT(starts, 0u);
  EXPECT_EQ(streamwalk::WalkStreamItems(f.map).errors, 0u);
}

// ---- Section 10 and 11 beside the roads ---------------------------------------------

struct TRouted {
  CTestImage image;
  std::vector<TChNode> nodes;
  TChSection ch;
  std::vector<TTreeEntry> entries;
};

// In and out edge counts of the records, in turn: the escapes to a u16
// (255 and more) on either side and the padding after them.
const std::pair<uint32_t, uint32_t> kEdgeCounts[] = {{0, 0}, {1, 2}, {254, 0}, {255, 1}, {300, 255}, {0, 300},
                                                     {3, 3}, {254, 254}, {2, 1}};

// Section 10 with a record per link and direction of each road (offset,
// route-node count), and section 11 with an entry per external end: start
// nodes at the first link, end nodes at the last, on a few shared points.
void AddRouting(TRouted& t, const std::vector<std::pair<uint32_t, uint32_t>>& roads, size_t bigRecords) {
  for (auto [offset, n] : roads) {
    for (uint32_t link = 0; link + 1 < n; link++) {
      for (uint8_t direction : {1, 0}) {
        TChNode node;
        node.road = offset;
        node.link = static_cast<uint16_t>(link);
        node.direction = direction;
        node.flags = static_cast<uint8_t>((link == 0 ? 1 : 0) | (link % 2 ? 4 : 0));
        node.endExternal = link + 2 == n;
        node.cost = 1000 + link;
        t.nodes.push_back(node);
      }
    }
  }
  const int32_t count = static_cast<int32_t>(t.nodes.size());
  for (int32_t i = 0; i < count; i++) {
    auto [in, out] = kEdgeCounts[i % std::size(kEdgeCounts)];
    if (static_cast<size_t>(i) >= bigRecords) in = std::min(in, 3u), out = std::min(out, 3u);
    for (uint32_t j = 0; j < in + out; j++) {
      TChEdge e{j + 1, j & 3, static_cast<int32_t>((i + j + 1) % count), (j & 1) != 0,
                j % 3 == 0 ? static_cast<int32_t>((i + j) % count) : -1};
      (j < in ? t.nodes[i].in : t.nodes[i].out).push_back(e);
    }
  }
  t.ch = EncodeChSection(t.image.AlignedEnd(), t.nodes, 1, count - 1, 1, count - 1);
  t.image.AddSection(SectionChGraphs, t.ch.bytes);
  for (int32_t i = 0; i < count; i++) {
    const TChNode& node = t.nodes[i];
    const int32_t x = 0x05000000 + 1000 * (i % 7), y = 0x16000000 + 1000 * (i % 5);
    const uint32_t metric = i % 2, pos = t.ch.positions[i];
    if (node.flags & 1) t.entries.push_back({x, y, TreeWord(pos, metric, false, i % 3 == 0)});
    if (node.endExternal) t.entries.push_back({x, y, TreeWord(pos, metric, true), node.cost});
  }
  t.image.AddSection(SectionExternalNodes, CTreeEncoder::Encode(t.entries));
}

TRouted ConverterRouted() {
  const TConverted& c = Converted();
  TRouted t;
  t.image = CTestImage::FromPlainFile(c.plain);
  AddRouting(t, {{c.records[3], 4}, {c.records[4], static_cast<uint32_t>(MpRoads()[4].nodes.size())}}, 60);
  return t;
}

// The records in order through GetEndPos, each with its counts, cost word
// and road reference; the reference leads to the route node's point.
TEST(StreamGraphNode, RecordsOverConverterRoads) {
  const TRouted t = ConverterRouted();
  const TConverted& c = Converted();
  for (bool packed : {false, true}) {
    const std::string path = Dir() + (packed ? "routed.qx" : "routed-plain.qx");
    t.image.Save(path, packed);
    TOpened f(path, 6);
    const TMapSectionEntry& s10 = t.image.directory[SectionChGraphs - 1];
    uint32_t e = s10.offset + 16;
    for (size_t i = 0; i < t.nodes.size(); i++) {
      SCOPED_TRACE("record " + std::to_string(i));
      const TChNode& n = t.nodes[i];
      ASSERT_EQ(e, t.ch.positions[i]);
      CStreamGraphNode node(&f.map, e);
      CStreamGraphNode::TEdgeCounts counts;
      {
        CLockGuard guard(f.cache.Lock());
        counts = node.ReadEdgeCounts(e + 10);
      }
      EXPECT_EQ(counts.in, n.in.size());
      EXPECT_EQ(counts.out, n.out.size());
      const uint32_t head = 12 + (n.in.size() >= 255 ? 2 : 0) + (n.out.size() >= 255 ? 2 : 0);
      EXPECT_EQ(counts.edgesPos, e + (head + 3) / 4 * 4);
      if (n.endExternal) {
        EXPECT_EQ(node.GetExtraWord(), n.cost);
      } else {
        EXPECT_TRUE(Throws([&] { node.GetExtraWord(); }));
      }
      const uint32_t mapIndex = static_cast<uint32_t>(i * 97 % 32768);
      const TRoadRef ref = node.GetRoadRef(mapIndex);
      EXPECT_EQ(ref.road, n.road);
      EXPECT_EQ(ref.node, n.link | uint32_t{n.direction} << 16 | mapIndex << 17);
      const TMpRoad& mp = MpRoads()[n.road == c.records[3] ? 3 : 4];
      CStreamPolyline road(&f.map, ref.road);
      const uint32_t k = (ref.node & 0xFFFF) + (ref.node >> 16 & 1);
      const TPointD& p = mp.entries[0][mp.nodes[k]];
      EXPECT_EQ(road.GetPoint(road.GetNodePointIndex(k)), DegreesToGeoPoint(p.x, p.y));
      e = node.GetEndPos();
    }
    EXPECT_EQ(e, s10.offset + s10.size);
    EXPECT_TRUE(Throws([&] { CStreamGraphNode(&f.map, e).GetEndPos(); }));
    EXPECT_TRUE(Throws([&] { CStreamGraphNode(&f.map, t.ch.positions[0]).GetRoadRef(1u << 15); }));
  }
}

// The encoder's bytes against the record table, by hand.
TEST(StreamGraphNode, EncoderFollowsTheRecordTable) {
  TChNode a;
  a.road = 0x1234;
  a.link = 3;
  a.direction = 1;
  a.flags = 5;
  a.endExternal = true;
  a.cost = 99;
  a.in = {TChEdge{7, 2, 0, true, -1}};
  a.out = {TChEdge{0x3FFFFFFF, 1, 1, false, 0}};
  TChNode b;
  b.direction = 0;
  b.in.assign(255, TChEdge{});
  const TChSection s = EncodeChSection(1000, {a, b}, 1, 1, 0, -1);
  const Bytes expected = {
      1, 0, 0, 0, 0x20, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // header: 1 core node at 1056
      0x34, 0x12, 0, 0, 3, 0, 1, 0, 5, 1, 1, 1,                // road, link, direction, flags, counts
      30, 0, 0, 0, 0xF9, 0x03, 0, 0, 0, 0, 0, 0,               // in: cost 7 << 2 | 2, from 1016 | bit 30
      0xFD, 0xFF, 0xFF, 0xFF, 0x20, 0x04, 0, 0, 0xF8, 0x03, 0, 0,  // out: to 1056, via 1016
      99, 0, 0, 0,                                             // the cost word
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0,       // b: 255 in edges, the u16, 2 bytes padding
  };
  ASSERT_EQ(s.positions, (std::vector<uint32_t>{1016, 1056}));
  ASSERT_GE(s.bytes.size(), expected.size());
  EXPECT_EQ(Bytes(s.bytes.begin(), s.bytes.begin() + expected.size()), expected);
  EXPECT_EQ(s.bytes.size(), expected.size() + 255 * 12);
}

// Every reference of the tree, collected per kind and metric, is one of
// the entries it was built from.
TEST(StreamNodeTree, ReferencesOfTheRoutingTree) {
  const TRouted t = ConverterRouted();
  t.image.Save(Dir() + "routed-tree.qx", true);
  TOpened f(Dir() + "routed-tree.qx", 8);
  std::vector<std::vector<uint32_t>> expected(4), found(4);
  for (const TTreeEntry& e : t.entries) {
    const uint32_t kind = e.word & 1, metric = e.word >> 1 & 1;
    expected[kind * 2 + metric].push_back((e.word >> 3) * 4);
    expected[kind * 2 + metric].push_back(kind ? e.second : e.word >> 2 & 1);
  }
  std::vector<CStreamNodeTree> pending = {CStreamNodeTree(&f.map)};
  size_t nodes = 0;
  while (!pending.empty()) {
    CStreamNodeTree node = pending.back();
    pending.pop_back();
    nodes++;
    bool has[2] = {};
    for (uint32_t slot = 0; slot < 4; slot++) {
      CReallocArray<TNodeRef> refs;
      node.CollectNodeRefs(slot / 2, slot % 2, refs);
      for (const TNodeRef& r : refs) {
        found[slot].push_back(r.position);
        found[slot].push_back(r.word);
      }
      has[slot / 2] |= !refs.Empty();
    }
    EXPECT_EQ(node.HasNodeRef(0), has[0]);
    EXPECT_EQ(node.HasNodeRef(1), has[1]);
    CStreamNodeTree left(&f.map, 0, 0), right(&f.map, 0, 0);
    node.GetChildren(left, right);
    for (CStreamNodeTree* child : {&right, &left}) {
      if (!child->IsEmpty()) pending.push_back(*child);
    }
  }
  for (size_t slot = 0; slot < 4; slot++) {
    // Pairs compared as pairs, in any order.
    auto pairs = [](const std::vector<uint32_t>& v) {
      std::vector<std::pair<uint32_t, uint32_t>> p;
      for (size_t i = 0; i < v.size(); i += 2) p.push_back({v[i], v[i + 1]});
      std::sort(p.begin(), p.end());
      return p;
    };
    EXPECT_EQ(pairs(found[slot]), pairs(expected[slot])) << slot;
  }
  const streamwalk::TWalkCounts walk = streamwalk::WalkStreamItems(f.map);
  EXPECT_EQ(walk.errors, 0u);
  EXPECT_EQ(walk.nodes, t.nodes.size());
  EXPECT_EQ(walk.treeNodes, nodes);
}

// ---- The external-node tree ---------------------------------------------------------

std::string SaveTree(const std::vector<TTreeEntry>& entries, const std::string& name) {
  CTestImage image;
  image.AddSection(SectionExternalNodes, CTreeEncoder::Encode(entries));
  image.Save(Dir() + name, false);
  return Dir() + name;
}

// The links word: reference words, bit 8 for a right subtree, the left
// subtree's words from bit 9; the children lie behind the list.
TEST(StreamNodeTree, LinksWordAndChildren) {
  struct TCase {
    const char* name;
    std::vector<std::pair<int32_t, int32_t>> points;  // (x, y), a 4-byte reference each
    std::pair<int32_t, int32_t> root;
    uint32_t links;
    uint32_t leftBytes;  // 0: no left child
    bool right;
  } cases[] = {
      {"one node", {{5, 5}}, {5, 5}, 1, 0, false},
      {"left only", {{0, 1}, {0, 2}}, {0, 2}, 1 | 4 << 9, 16, false},
      {"right only", {{0, 1}, {0, 2}, {1, 2}}, {0, 1}, 1 | 0x100, 0, true},
      {"both", {{0, 1}, {0, 2}, {0, 3}}, {0, 2}, 1 | 0x100 | 4 << 9, 16, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TTreeEntry> entries;
    for (auto [x, y] : c.points) entries.push_back({x, y, TreeWord(64, 0, false)});
    const std::string path = SaveTree(entries, "links.qx");
    TOpened f(path);
    CStreamNodeTree root(&f.map);
    const uint32_t at = root.GetPos();
    EXPECT_EQ(root.GetNodePoint(), (TGeoPoint{c.root.first, c.root.second}));
    const Bytes file = qxtest::ReadFileBytes(path);
    EXPECT_EQ(U32At(file, at + 8), c.links);
    CStreamNodeTree left(&f.map, 0, 0), right(&f.map, 0, 0);
    root.GetChildren(left, right);
    EXPECT_EQ(left.GetPos(), c.leftBytes ? at + 16 : 0);
    EXPECT_EQ(right.IsEmpty(), !c.right);
    if (c.right) {
      EXPECT_EQ(right.GetPos(), at + 16 + c.leftBytes);
    }
  }
  // Written by hand: w = 0x100, no references and no left subtree: the
  // right child right after the list, that is after the links word.
  CTestImage image;
  CBytes tree;
  tree.U32(10), tree.U32(20), tree.U32(0x100);
  tree.U32(30), tree.U32(40), tree.U32(1), tree.U32(TreeWord(64, 1, false, 1));
  image.AddSection(SectionExternalNodes, tree.b);
  image.Save(Dir() + "w100.qx", false);
  TOpened f(Dir() + "w100.qx");
  CStreamNodeTree root(&f.map), left(&f.map, 0, 0), right(&f.map, 0, 0);
  root.GetChildren(left, right);
  EXPECT_TRUE(left.IsEmpty());
  EXPECT_EQ(right.GetPos(), root.GetPos() + 12);
  EXPECT_EQ(right.GetNodePoint(), (TGeoPoint{30, 40}));
  EXPECT_FALSE(root.HasNodeRef(0));
  EXPECT_FALSE(root.HasNodeRef(1));
  CReallocArray<TNodeRef> refs;
  right.CollectNodeRefs(0, 1, refs);
  ASSERT_EQ(refs.Size(), 1u);
  EXPECT_EQ(refs[0].position, 64u);
  EXPECT_EQ(refs[0].word, 1u);
}

int32_t WrapLongitude(int64_t x) {
  while (x > kGeoEast) x -= int64_t{kGeo360};
  while (x < kGeoWest) x += int64_t{kGeo360};
  return static_cast<int32_t>(x);
}

// Entries on a grid x grid lattice of `step` units from base (longitudes
// wrapped): many share a point or a coordinate. About kindShare percent are
// 8-byte references.
std::vector<TTreeEntry> GridEntries(std::mt19937& rng, TGeoPoint base, int32_t step, uint32_t gridX, uint32_t gridY,
                                    size_t count, uint32_t kindShare) {
  std::vector<TTreeEntry> entries;
  for (size_t i = 0; i < count; i++) {
    const int32_t x = WrapLongitude(int64_t{base.x} + int64_t{step} * (rng() % gridX));
    const int32_t y = base.y + step * static_cast<int32_t>(rng() % gridY);
    const bool wide = rng() % 100 < kindShare;
    entries.push_back({x, y, TreeWord(16 + 4 * static_cast<uint32_t>(i), rng() % 2, wide, rng() % 2),
                       static_cast<uint32_t>(rng())});
  }
  return entries;
}

// The tree's depth, walked through the children.
uint32_t TreeDepth(CStreamNodeTree root) {
  uint32_t deepest = 0;
  std::vector<std::pair<CStreamNodeTree, uint32_t>> pending = {{root, 1}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, depth);
    CStreamNodeTree left(node.GetMap(), 0, 0), right(node.GetMap(), 0, 0);
    node.GetChildren(left, right);
    if (!left.IsEmpty()) pending.push_back({left, depth + 1});
    if (!right.IsEmpty()) pending.push_back({right, depth + 1});
  }
  return deepest;
}

// FindNearest against every point of the set, for both kinds and several
// starting bests: the node found has the smallest squared offset among the
// points with a reference of the kind, or none is below best. Exact only
// where FindNearest says it is: sets in one whole degree of latitude.
void CheckNearest(const std::vector<TTreeEntry>& entries, std::mt19937& rng, int32_t step, const std::string& name) {
  SCOPED_TRACE(name);
  const std::string path = SaveTree(entries, name + ".qx");
  TOpened f(path, 8);
  struct TPoint {
    TGeoPoint p;
    bool kinds[2] = {false, false};
  };
  std::vector<TPoint> points;
  for (const TTreeEntry& e : entries) {
    auto it = std::find_if(points.begin(), points.end(), [&](const TPoint& q) { return q.p == TGeoPoint{e.x, e.y}; });
    if (it == points.end()) it = points.insert(points.end(), TPoint{{e.x, e.y}});
    it->kinds[e.word & 1] = true;
  }
  const uint32_t depth = TreeDepth(CStreamNodeTree(&f.map));
  uint32_t log2 = 0;
  while ((1u << log2) < points.size()) log2++;
  EXPECT_LE(depth, 2 * log2 + 3) << points.size() << " points";

  std::vector<TGeoPoint> queries;
  for (const TPoint& p : points) {
    queries.push_back(p.p);
    queries.push_back({WrapLongitude(int64_t{p.p.x} + step / 2), p.p.y - step / 3});
    queries.push_back({WrapLongitude(int64_t{p.p.x} + static_cast<int32_t>(rng() % (4 * step)) - 2 * step),
                       p.p.y + static_cast<int32_t>(rng() % (4 * step)) - 2 * step});
  }
  const uint64_t bests[] = {~0ull, 4ull * step * step, 1};
  for (const TGeoPoint& q : queries) {
    for (uint32_t kind = 0; kind < 2; kind++) {
      uint64_t nearest = ~0ull;
      bool exact = false;
      for (const TPoint& p : points) {
        if (!p.kinds[kind]) continue;
        nearest = std::min(nearest, SquaredOffset(p.p, q));
        exact |= p.p == q;
      }
      for (uint64_t start : bests) {
        uint64_t best = start;
        CStreamNodeTree found = CStreamNodeTree(&f.map).FindNearest(q, kind, best);
        const std::string where = "query (" + std::to_string(q.x) + ", " + std::to_string(q.y) + ") kind " +
                                  std::to_string(kind) + " best " + std::to_string(start);
        if (nearest < start || exact) {
          ASSERT_FALSE(found.IsEmpty()) << where;
          const TGeoPoint p = found.GetNodePoint();
          EXPECT_EQ(SquaredOffset(p, q), nearest) << where;
          EXPECT_EQ(best, nearest) << where;
          EXPECT_TRUE(found.HasNodeRef(kind)) << where;
          if (exact) {
            EXPECT_EQ(p, q) << where;
          }
        } else {
          EXPECT_TRUE(found.IsEmpty()) << where;
          EXPECT_EQ(best, start) << where;
        }
      }
    }
  }
}

TEST(StreamNodeTree, FindNearestEqualsBruteForce) {
  std::mt19937 rng(18);
  // Within one degree of latitude: one cosine for every offset here.
  const TGeoPoint base = DegreesToGeoPoint(13.5, 45.3);
  const bool small = sizeof(void*) == 4;
  CheckNearest(GridEntries(rng, base, 1000, 6, 6, 200, 30), rng, 1000, "dense");
  CheckNearest(GridEntries(rng, base, 700, 30, 30, 600, 50), rng, 700, "grid");
  CheckNearest(GridEntries(rng, base, 900, 60, 1, 300, 40), rng, 900, "one latitude");
  CheckNearest(GridEntries(rng, base, 900, 1, 60, 300, 40), rng, 900, "one longitude");
  CheckNearest(GridEntries(rng, base, 1200, 3, 40, 400, 10), rng, 1200, "few longitudes");
  CheckNearest(GridEntries(rng, base, 1000, 1, 1, 150, 50), rng, 1000, "one point");
  CheckNearest(GridEntries(rng, base, 500, 100, 100, small ? 800 : 3000, 40), rng, 500, "large");
  // Only one kind anywhere: searches for the other find nothing.
  CheckNearest(GridEntries(rng, base, 1000, 10, 10, 100, 0), rng, 1000, "start nodes only");
  CheckNearest(GridEntries(rng, base, 1000, 10, 10, 100, 100), rng, 1000, "end nodes only");
}

// Near the query at high latitude, on both hemispheres: a few kilometres
// of points inside one whole degree of latitude, where GetOffset has one
// cosine, some 0.35 at 70 degrees and 0.17 at 80. The search equals brute
// force from any starting best, 25 m (the atlas's) among them.
TEST(StreamNodeTree, FindNearestNearTheQueryAtHighLatitude) {
  std::mt19937 rng(70);
  const bool small = sizeof(void*) == 4;
  const int32_t step = 5000;  // 66 m north, 23 m east at 70 degrees
  const double latitudes[] = {70.5, -69.5, 80.5};
  for (double latitude : latitudes) {
    const TGeoPoint base = DegreesToGeoPoint(-20.0, latitude - 0.015);
    const std::string name = "latitude " + std::to_string(latitude);
    CheckNearest(GridEntries(rng, base, step, 40, 40, small ? 300 : 800, 40), rng, step, name);
    CheckNearest(GridEntries(rng, base, step / 20, 40, 40, 300, 40), rng, step / 20, name + " dense");
  }
  // The atlas's reach within the degree: the same as brute force.
  const TGeoPoint base = DegreesToGeoPoint(5.0, 70.3);
  std::vector<TTreeEntry> entries = GridEntries(rng, base, 300, 30, 30, 400, 0);
  TOpened f(SaveTree(entries, "reach.qx"));
  for (int k = 0; k < 2000; k++) {
    const TGeoPoint q{base.x + static_cast<int32_t>(rng() % 9000), base.y + static_cast<int32_t>(rng() % 9000)};
    uint64_t nearest = ~0ull;
    for (const TTreeEntry& e : entries) nearest = std::min(nearest, SquaredOffset({e.x, e.y}, q));
    uint64_t best = kAtlasMatchDistance;
    CStreamNodeTree found = CStreamNodeTree(&f.map).FindNearest(q, 0, best);
    if (nearest < kAtlasMatchDistance) {
      ASSERT_FALSE(found.IsEmpty()) << k;
      EXPECT_EQ(SquaredOffset(found.GetNodePoint(), q), nearest) << k;
    } else {
      EXPECT_TRUE(found.IsEmpty()) << k;
    }
  }
}

// Across a whole degree of latitude the far side of a longitude split is
// bounded with the cosine at the query's latitude, larger than the one of
// a node whose mean latitude with the query lies beyond the line: that
// node can be passed over, even a few metres away. What is found then is
// at most the ratio of the two cosines farther than the nearest (and
// nothing only when the nearest lies within that ratio of best).
TEST(StreamNodeTree, FindNearestAcrossAWholeDegreeOfLatitude) {
  const TGeoPoint line = DegreesToGeoPoint(10.0, 70.0);
  // GetOffset's cosines of 69 and 70 degrees, x 1024 and truncated.
  const double ratio = std::trunc(std::cos(69 * std::numbers::pi / 180) * 1024) /
                       std::trunc(std::cos(70 * std::numbers::pi / 180) * 1024);
  auto check = [&](CMapFile& map, const std::vector<TTreeEntry>& entries, TGeoPoint q, uint64_t start,
                   const std::string& where) {
    uint64_t nearest = ~0ull;
    for (const TTreeEntry& e : entries) nearest = std::min(nearest, SquaredOffset({e.x, e.y}, q));
    uint64_t best = start;
    CStreamNodeTree found = CStreamNodeTree(&map).FindNearest(q, 0, best);
    // Offsets are whole units: half a unit either way.
    const double limit = ratio * (std::sqrt(static_cast<double>(nearest)) + 0.5) + 0.5;
    if (found.IsEmpty()) {
      EXPECT_GE(limit * limit, static_cast<double>(start)) << where;
      EXPECT_EQ(best, start) << where;
      return uint64_t{0};
    }
    const uint64_t got = SquaredOffset(found.GetNodePoint(), q);
    EXPECT_EQ(best, got) << where;
    EXPECT_LT(got, start) << where;
    EXPECT_GE(got, nearest) << where;
    EXPECT_LE(std::sqrt(static_cast<double>(got)), limit) << where;
    return got;
  };
  // Six points a few metres about the line, a query 16 units south of it:
  // the nearest, (-763, 28), lies beyond the longitude split at (-762, 34),
  // 233 squared units farther, which the search returns: the bound there
  // is 366/350 of what the offset to (-763, 28) measures.
  std::vector<TTreeEntry> entries;
  const int32_t points[][2] = {{218, 67}, {-762, 34}, {-980, 64}, {-763, 28}, {476, 39}, {478, 72}};
  for (int i = 0; i < 6; i++) {
    entries.push_back({line.x + points[i][0], line.y + points[i][1], TreeWord(16 + 4 * i, 0, false)});
  }
  TOpened six(SaveTree(entries, "across-six.qx"));
  const uint64_t got = check(six.map, entries, {line.x - 278, line.y - 16}, kAtlasMatchDistance, "six points");
  EXPECT_TRUE(got == 29492 || got == 29725) << got;
  // The same shape moved about: a split node just beside the nearest.
  for (int32_t sx = -900; sx <= -500; sx += 50) {
    entries.clear();
    const int32_t moved[][2] = {{218, 67}, {sx, 34}, {-980, 64}, {sx - 1, 28}, {476, 39}, {478, 72}};
    for (int i = 0; i < 6; i++) {
      entries.push_back({line.x + moved[i][0], line.y + moved[i][1], TreeWord(16 + 4 * i, 0, false)});
    }
    TOpened f(SaveTree(entries, "across.qx"));
    for (int32_t qx = sx + 300; qx <= sx + 700; qx += 4) {
      for (int32_t qy = -1; qy >= -30; qy -= 3) {
        const TGeoPoint q{line.x + qx, line.y + qy};
        for (uint64_t start : {kAtlasMatchDistance, uint64_t{20000}}) {
          check(f.map, entries, q, start, "split at " + std::to_string(sx) + ", query (" + std::to_string(qx) + ", " +
                                              std::to_string(qy) + ")");
        }
      }
    }
  }
}

// Points on both sides of the 180th meridian are near each other: the
// search finds them across it, as GetOffset measures.
TEST(StreamNodeTree, FindNearestAcrossTheDateLine) {
  std::mt19937 rng(180);
  const int32_t step = 3000;
  const TGeoPoint base{kGeoEast - 9 * step, DegreesToGeoPoint(0, -16.6).y};
  CheckNearest(GridEntries(rng, base, step, 20, 8, 120, 30), rng, step, "date line");
  // A query just east of -180 whose only neighbour lies just west of +180,
  // behind a split on longitude whose far side starts at -180.
  std::vector<TTreeEntry> entries = {{kGeoEast - 100, base.y, TreeWord(16, 0, false)},
                                     {0, base.y + 5000, TreeWord(20, 0, false)},
                                     {kGeoWest + 100000, base.y + 9000, TreeWord(24, 0, false)}};
  TOpened f(SaveTree(entries, "date-line.qx"));
  uint64_t best = ~0ull;
  CStreamNodeTree found = CStreamNodeTree(&f.map).FindNearest({kGeoWest + 50, base.y + 10}, 0, best);
  ASSERT_FALSE(found.IsEmpty());
  EXPECT_EQ(found.GetNodePoint(), (TGeoPoint{kGeoEast - 100, base.y}));
}

// Offsets across the whole range of coordinates, pole to pole and round
// the meridian: squared sums up to about 2^62. The search is exact on
// these few points though they span many degrees of latitude.
TEST(StreamNodeTree, FindNearestAtTheExtremes) {
  std::mt19937 rng(63);
  std::vector<TTreeEntry> entries;
  const int32_t pole = 90 * kGeoUnitsPerDegree;
  const int32_t xs[] = {kGeoWest, kGeoEast, 0, -12345678}, ys[] = {-pole, pole - 1, 0, pole / 2, -pole / 2};
  for (int32_t x : xs) {
    for (int32_t y : ys) entries.push_back({x, y, TreeWord(16, 0, rng() % 2 == 0), 5});
  }
  CheckNearest(entries, rng, 1 << 28, "extremes");
}

// The node at the query point ends the search at once: a damaged subtree
// below it is never read. Without a reference of the asked kind there the
// search goes on (and here meets the damage).
TEST(StreamNodeTree, ExactHitEndsTheSearch) {
  std::vector<TTreeEntry> entries = {{0, 10, TreeWord(16, 0, false)},
                                     {0, 20, TreeWord(20, 0, false)},
                                     {0, 30, TreeWord(24, 1, true), 77}};
  for (bool damaged : {false, true}) {
    CTestImage image;
    Bytes tree = CTreeEncoder::Encode(entries);
    ASSERT_EQ(U32At(tree, 8), 1u | 0x100 | 4 << 9);  // root (0, 20), left (0, 10), right (0, 30)
    if (damaged) tree[16 + 8] = 0xFF;                // the left child's list runs past its subtree
    image.AddSection(SectionExternalNodes, tree);
    image.Save(Dir() + "exact.qx", false);
    TOpened f(Dir() + "exact.qx");
    CStreamNodeTree root(&f.map);
    uint64_t best = ~0ull;
    EXPECT_EQ(root.FindNearest({0, 20}, 0, best).GetPos(), root.GetPos());
    EXPECT_EQ(best, 0u);
    // A given best of 0 still lets the node at the point through.
    EXPECT_EQ(root.FindNearest({0, 20}, 0, best).GetPos(), root.GetPos());
    best = ~0ull;
    if (damaged) {
      EXPECT_TRUE(Throws([&] { root.FindNearest({0, 20}, 1, best); }));
    } else {
      CStreamNodeTree found = root.FindNearest({0, 20}, 1, best);
      EXPECT_EQ(found.GetNodePoint(), (TGeoPoint{0, 30}));
      EXPECT_EQ(best, 100u);
    }
  }
}

size_t TreeNodeCount(const std::vector<TTreeEntry>& entries) {
  std::vector<std::pair<int32_t, int32_t>> points;
  for (const TTreeEntry& e : entries) points.push_back({e.x, e.y});
  std::sort(points.begin(), points.end());
  return static_cast<size_t>(std::unique(points.begin(), points.end()) - points.begin());
}

// ---- Damaged files ----------------------------------------------------------------

// Encoded roads with section 10 over them and section 11.
struct TFull {
  TRoadImage roads;
  TRouted routed;
  uint32_t Road(size_t i) const { return roads.offsets[i]; }
  const TMapSectionEntry& Section(uint32_t id) const { return routed.image.directory[id - 1]; }
};

// `bigRecords`: how many records keep edge counts of 254 and more.
TFull FullImage(size_t bigRecords = std::size(kEdgeCounts)) {
  TFull f;
  const std::vector<TRoad> roads = EncodedRoads();
  AddRoads(f.roads, roads);
  f.routed.image = f.roads.image;
  std::vector<std::pair<uint32_t, uint32_t>> links;
  for (size_t i = 0; i < roads.size(); i++) {
    links.push_back({f.roads.offsets[i], static_cast<uint32_t>(roads[i].nodePoints.size())});
  }
  AddRouting(f.routed, links, bigRecords);
  return f;
}

// A tree written by hand: one node a (x, y, links word, reference words).
Bytes HandTree(const std::vector<std::vector<uint32_t>>& nodes) {
  CBytes tree;
  for (const std::vector<uint32_t>& words : nodes) {
    for (uint32_t w : words) tree.U32(w);
  }
  return tree.b;
}

std::string SaveWithTree(const Bytes& tree, const std::string& name) {
  CTestImage image;
  image.AddSection(SectionExternalNodes, tree);
  image.Save(Dir() + name, false);
  return Dir() + name;
}

struct TDamage {
  const char* name;
  std::function<void(CTestImage&)> damage;
  // Reads that must fail with a stream error.
  std::function<void(CMapFile&)> check;
};

void ExpectThrows(const char* what, const std::function<void()>& read) {
  EXPECT_TRUE(Throws(read)) << what;
}

TEST(StreamItems, DamagedRecordsGiveStreamErrors) {
  const TFull full = FullImage();
  // Road 4 (two-way, 4 route nodes, segment 2 escaped), road 3 (one-way)
  // and road 1 (one route node, two geometry entries).
  const uint32_t r4 = full.Road(4), r3 = full.Road(3), r1 = full.Road(1);
  const TEncodedRoad& e4 = full.roads.encoded[4];
  const TEncodedRoad& e1 = full.roads.encoded[1];
  const uint32_t s10 = full.Section(SectionChGraphs).offset;
  const std::vector<uint32_t>& records = full.routed.ch.positions;
  const TDamage cases[] = {
      {"record length 0", [&](CTestImage& i) { i.PutU32(r4, 0); },
       [&](CMapFile& m) { ExpectThrows("title", [&] { CStreamPolyline(&m, r4).GetTitlePos(); }); }},
      {"record length beyond the section", [&](CTestImage& i) { i.PutU32(r4, 0xFFFFFFF0u); },
       [&](CMapFile& m) { ExpectThrows("point", [&] { CStreamPolyline(&m, r4).GetPoint(0); }); }},
      {"route-node count 0xFFFF", [&](CTestImage& i) { i.PutU16(r4 + 76, 0xFFFF); },
       [&](CMapFile& m) {
         CStreamPolyline road(&m, r4);
         ExpectThrows("title", [&] { road.GetTitlePos(); });
         ExpectThrows("node", [&] { road.GetNodePointIndex(0); });
         ExpectThrows("point", [&] { road.GetPoint(0); });
         ExpectThrows("lanes", [&] { road.ReadLaneCounts(0); });
       }},
      {"title of 0xFFFF units", [&](CTestImage& i) { i.PutU16(r4 + e4.title, 0xFFFF); },
       [&](CMapFile& m) {
         CStreamPolyline road(&m, r4);
         EXPECT_EQ(road.GetTitlePos(), r4 + e4.title);
         ExpectThrows("point", [&] { road.GetPoint(0); });
       }},
      {"255 level bytes", [&](CTestImage& i) { i.b[r4 + e4.title + 12] = 255; },
       [&](CMapFile& m) { ExpectThrows("point", [&] { CStreamPolyline(&m, r4).GetPoint(0); }); }},
      {"255 house-number intervals", [&](CTestImage& i) { i.b[r4 + e4.title + 15] = 255; },
       [&](CMapFile& m) { ExpectThrows("point", [&] { CStreamPolyline(&m, r4).GetPoint(0); }); }},
      {"point count 2^32 - 1", [&](CTestImage& i) { i.PutU32(r1 + e1.geometry, 0xFFFFFFFFu); },
       [&](CMapFile& m) {
         CStreamPolyline road(&m, r1);
         EXPECT_EQ(road.GetPoint(0), (TGeoPoint{2000, -2000}));  // still in the record
         ExpectThrows("far point", [&] { road.GetPoint(100000); });
         ExpectThrows("tail", [&] { road.GetTailListPos(); });
       }},
      {"segment block at 0", [&](CTestImage& i) { i.PutU16(r4 + 78, 0); },
       [&](CMapFile& m) { ExpectThrows("lanes", [&] { CStreamPolyline(&m, r4).ReadLaneCounts(0); }); }},
      {"segment block past the record", [&](CTestImage& i) { i.PutU16(r4 + 80, 0xFFFF); },
       [&](CMapFile& m) { ExpectThrows("lanes", [&] { CStreamPolyline(&m, r4).ReadLaneCounts(1); }); }},
      {"escaped counts of 255", [&](CTestImage& i) { i.PutU32(r4 + e4.items[2] - 4, 0xFFFFFFFFu); },
       [&](CMapFile& m) { ExpectThrows("tail", [&] { CStreamPolyline(&m, r4).GetTailListPos(); }); }},
      {"height count 0xFFFF", [&](CTestImage& i) { i.PutU16(r3 + full.roads.encoded[3].tail - 10, 0xFFFF); },
       [&](CMapFile& m) { ExpectThrows("tail", [&] { CStreamPolyline(&m, r3).GetTailListPos(); }); }},
      {"in-edge count 0xFFFF", [&](CTestImage& i) { i.PutU16(records[3] + 12, 0xFFFF); },
       [&](CMapFile& m) {
         CStreamGraphNode node(&m, records[3]);
         ExpectThrows("end", [&] { node.GetEndPos(); });
         ExpectThrows("cost", [&] { node.GetExtraWord(); });
         CLockGuard guard(m.GetCache()->Lock());
         ExpectThrows("counts", [&] { node.ReadEdgeCounts(records[3] + 10); });
       }},
      {"section 10 cut by 4", [&](CTestImage& i) { i.directory[SectionChGraphs - 1].size -= 4; },
       [&](CMapFile& m) {
         ExpectThrows("end", [&] { CStreamGraphNode(&m, records.back()).GetEndPos(); });
         ExpectThrows("cost", [&] { CStreamGraphNode(&m, records.back()).GetExtraWord(); });
       }},
      {"record in the section header", [](CTestImage&) {},
       [&](CMapFile& m) {
         for (uint32_t e : {s10, s10 + 8, s10 + 12, records[1] + 2, 0u}) {
           ExpectThrows("end", [&] { CStreamGraphNode(&m, e).GetEndPos(); });
         }
       }},
      {"road reference into section 10", [&](CTestImage& i) { i.PutU32(records[0], s10 + 16); },
       [&](CMapFile& m) {
         const TRoadRef ref = CStreamGraphNode(&m, records[0]).GetRoadRef(0);
         ExpectThrows("point", [&] { CStreamPolyline(&m, ref.road).GetPoint(0); });
       }},
      {"road reference off alignment", [&](CTestImage& i) { i.PutU32(records[0], r4 + 2); },
       [&](CMapFile& m) {
         const TRoadRef ref = CStreamGraphNode(&m, records[0]).GetRoadRef(0);
         ExpectThrows("point", [&] { CStreamPolyline(&m, ref.road).GetNodePointIndex(0); });
       }},
      {"section 3 cut by 4", [&](CTestImage& i) { i.directory[SectionPolylines - 1].size -= 4; },
       [&](CMapFile& m) { ExpectThrows("title", [&] { CStreamPolyline(&m, full.Road(4)).GetTitlePos(); }); }},
      {"section 11 cut by 4", [&](CTestImage& i) { i.directory[SectionExternalNodes - 1].size -= 4; },
       [&](CMapFile& m) {
         // The last node of the tree lies past its end now.
         EXPECT_FALSE(Throws([&] { CStreamNodeTree(&m).GetNodePoint(); }));
         ExpectThrows("walk", [&] { TreeDepth(CStreamNodeTree(&m)); });
       }},
  };
  for (const TDamage& c : cases) {
    for (bool packed : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (packed ? ", packed" : ", plain"));
      CTestImage image = full.routed.image;
      c.damage(image);
      image.Save(Dir() + "damaged.qx", packed);
      TOpened f(Dir() + "damaged.qx", 5);
      c.check(f.map);
      streamwalk::WalkStreamItems(f.map);
    }
  }
}

// Damaged trees, each written by hand: links words that lead out of the
// subtree, a list whose last reference lacks its second word, and chains
// deeper than any median split makes.
TEST(StreamItems, DamagedTreesGiveStreamErrors) {
  const uint32_t ref = TreeWord(64, 0, false), wide = TreeWord(64, 1, true);
  struct TCase {
    const char* name;
    Bytes tree;
  } cases[] = {
      {"255 reference words", HandTree({{0, 0, 255, ref}})},
      {"left subtree past the end", HandTree({{0, 0, 1 | 0x7FFFFFu << 9, ref}, {0, 0, 1, ref}})},
      {"left subtree shorter than a node", HandTree({{0, 0, 1 | 0x100 | 2 << 9, ref}, {0, 0, 1, ref}})},
      {"right subtree with nothing behind", HandTree({{0, 0, 1 | 0x100, ref}})},
      {"right subtree shorter than a node", HandTree({{0, 0, 1 | 0x100, ref, 7, 7}})},
      {"8-byte reference cut", HandTree({{0, 0, 1, wide}})},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TOpened f(SaveWithTree(c.tree, "bad-tree.qx"));
    CStreamNodeTree root(&f.map), left(&f.map, 0, 0), right(&f.map, 0, 0);
    CReallocArray<TNodeRef> refs;
    uint64_t best = ~0ull;
    const bool headBad = Throws([&] { root.GetNodePoint(); });
    const bool childrenBad = Throws([&] { root.GetChildren(left, right); });
    const bool refsBad = Throws([&] { root.HasNodeRef(0); }) && Throws([&] { root.HasNodeRef(1); }) &&
                         Throws([&] { root.CollectNodeRefs(1, 1, refs); });
    EXPECT_TRUE(headBad || childrenBad || refsBad);
    EXPECT_TRUE(refs.Empty());
    ExpectThrows("search", [&] { root.FindNearest({1, 1}, 1, best); });
    EXPECT_EQ(best, ~0ull);
    streamwalk::WalkStreamItems(f.map);
  }

  // Chains of right children, each node nearer the query than the one before.
  for (uint32_t length : {CStreamNodeTree::kMaxDepth, CStreamNodeTree::kMaxDepth + 1, 1000u}) {
    SCOPED_TRACE(length);
    std::vector<std::vector<uint32_t>> nodes;
    for (uint32_t i = 0; i < length; i++) nodes.push_back({i, i, i + 1 < length ? 1u | 0x100 : 1u, ref});
    TOpened f(SaveWithTree(HandTree(nodes), "chain.qx"));
    uint64_t best = ~0ull;
    if (length <= CStreamNodeTree::kMaxDepth) {
      EXPECT_EQ(CStreamNodeTree(&f.map).FindNearest({100000, 100000}, 0, best).GetNodePoint(),
                (TGeoPoint{static_cast<int32_t>(length - 1), static_cast<int32_t>(length - 1)}));
    } else {
      ExpectThrows("deep chain", [&] { CStreamNodeTree(&f.map).FindNearest({100000, 100000}, 0, best); });
    }
    streamwalk::WalkStreamItems(f.map);
  }
}

// The walk reads all of a sound file without an error.
TEST(StreamItems, WalkOverASoundFile) {
  for (int variant = 0; variant < 3; variant++) {
    const TFull full = FullImage(variant == 2 ? 0 : std::size(kEdgeCounts));
    const std::string path = Dir() + (variant == 0 ? "full-plain.qx" : variant == 1 ? "full.qx" : "full-small.qx");
    full.routed.image.Save(path, variant != 0);
    TOpened f(path, 5);
    const streamwalk::TWalkCounts walk = streamwalk::WalkStreamItems(f.map);
    EXPECT_EQ(walk.errors, 0u);
    EXPECT_EQ(walk.roads, full.roads.offsets.size());
    EXPECT_EQ(walk.nodes, full.routed.nodes.size());
    EXPECT_EQ(walk.treeNodes, TreeNodeCount(full.routed.entries));
    EXPECT_GT(walk.found, 0u);
  }
}

// Random bytes and words over the routing part of an image: every reader
// gives a result or a stream error, and the walk over everything ends.
TEST(StreamItems, RandomDamage) {
  const TFull full = FullImage();
  const uint32_t from = full.Section(SectionPolylines).offset;
  const uint32_t to = full.routed.image.Pos();
  std::mt19937 rng(2718);
  const int rounds = sizeof(void*) == 4 ? 60 : 400;
  uint32_t loaded = 0;
  for (int round = 0; round < rounds; round++) {
    CTestImage image = full.routed.image;
    const int changes = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < changes; k++) {
      const uint32_t at = from + rng() % (to - from - 4);
      switch (rng() % 4) {
        case 0: image.b[at] = static_cast<uint8_t>(rng()); break;
        case 1: image.b[at] = rng() % 2 ? 0xFF : 0; break;
        case 2: image.PutU32(at & ~3u, rng() % 2 ? 0xFFFFFFFFu : rng() % (to + 64)); break;
        default: image.PutU16(at, rng() % 2 ? 0xFFFF : 255);
      }
    }
    const std::string path = Dir() + "random.qx";
    image.Save(path, round % 5 == 0);
    CStreamCache cache(5);
    CMapFile map;
    if (map.Open(path.c_str(), &cache) != CMapFile::LoadOk) continue;
    loaded++;
    streamwalk::WalkStreamItems(map);
  }
  EXPECT_EQ(loaded, static_cast<uint32_t>(rounds));
}

// A map without routing sections: the tree is empty, and node records
// cannot be read.
TEST(StreamItems, AbsentRoutingSections) {
  TRoadImage t;
  AddRoads(t, EncodedRoads());
  t.image.Save(Dir() + "no-routing.qx", true);
  TOpened f(Dir() + "no-routing.qx");
  ASSERT_FALSE(f.map.HasSection(SectionChGraphs));
  ASSERT_FALSE(f.map.HasSection(SectionExternalNodes));
  uint64_t best = ~0ull;
  EXPECT_TRUE(CStreamNodeTree(&f.map).IsEmpty());
  EXPECT_TRUE(CStreamNodeTree(&f.map).FindNearest({0, 0}, 0, best).IsEmpty());
  EXPECT_EQ(best, ~0ull);
  ExpectThrows("node", [&] { CStreamGraphNode(&f.map, 0).GetEndPos(); });
  ExpectThrows("node", [&] { CStreamGraphNode(&f.map, f.map.GetSectionOffset(SectionChGraphs)).GetEndPos(); });
  const streamwalk::TWalkCounts walk = streamwalk::WalkStreamItems(f.map);
  EXPECT_EQ(walk.roads, t.offsets.size());
  EXPECT_EQ(walk.nodes + walk.treeNodes, 0u);
}

}  // namespace
