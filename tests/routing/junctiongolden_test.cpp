// Golden bytes of a small junction, built here from the layouts of
// section 10, section 11, section 8 and the road segment blocks (not from
// the writer): nine roads meet at node J, which one road marks as a
// boundary node, so every CH node touches an external node and stays in
// the core (no contraction choice enters the bytes). Two-way and one-way
// roads, a road of type 0x0a, a turn restriction, U-turns with and without
// a lane connection, lane connections with a lane-change code, escaped
// count bytes with 7 and 8 items (the second with its warning), and node
// and road ids past 2^31.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "core/geo.h"
#include "tests/routing/qxroutes.h"
#include "tests/routing/sectiontest.h"

using namespace SectionTest;

namespace {

constexpr uint32_t J = 0x80000007u, NE = 0x80000010u, ENE = 0x80000011u;
constexpr uint32_t W = 11, E = 21, N = 31, S = 41, SE = 61, NW = 71, SW = 81;
constexpr uint32_t R05 = 0x80000005u;

struct TJRoad {
  uint32_t id;
  uint32_t from, to;  // route nodes at point 0 and point 1
  std::pair<double, double> a, b;
  bool oneWay = false;
  bool type0a = false;
  bool boundTo = false;  // the road marks its second node as a boundary node
  std::string extra = "";
};

const std::vector<TJRoad> kRoads = {
    {10, W, J, {-1, 0}, {0, 0}, false, false, true, "TrafficLanes=2,0,0,2\n"},
    {20, J, E, {0, 0}, {1, 0}, false, false, false, "TrafficLanes=3,0,0,1\n"},
    {30, J, N, {0, 0}, {0, 1}, true},
    {40, S, J, {0, -1}, {0, 0}, true},
    {50, J, NE, {0, 0}, {1, 1}, false, true},
    {60, J, SE, {0, 0}, {1, -1}},
    {70, J, NW, {0, 0}, {-1, 1}},
    {80, J, SW, {0, 0}, {-1, -1}},
    {R05, J, ENE, {0, 0}, {2, 1}},
};

std::string MapText() {
  std::string text = PolskiTest::kHeader;
  for (const TJRoad& r : kRoads) {
    TRoad road{r.id, {r.a, r.b}, {"0," + std::to_string(r.from), "1," + std::to_string(r.to) + (r.boundTo ? ",1" : "")}};
    road.param = std::string("RouteParam=4,2,") + (r.oneWay ? "1" : "0") + ",0,0,0,0,0,0,0,0,0";
    road.type = r.type0a ? "0x0a" : "0x04";
    road.extra = r.extra;
    text += RoadText(road);
  }
  const std::string j = std::to_string(J);
  text += Restrict("41," + j + ",21", "40,20");
  text += LaneRecord("11," + j + ",11", "10,10", "(1,1)");
  text += LaneRecord("11," + j + ",21", "10,20", "(1,1),(2,2),(2,3)");
  return text;
}

// A point of the grid in degrees as the map text gives it.
TPointD Degrees(std::pair<double, double> p) {
  std::string t = P(p.first, p.second);  // "(lat,lon)"
  double lat = std::stod(t.substr(1)), lon = std::stod(t.substr(t.find(',') + 1));
  return {lon, lat};
}

uint32_t Metres(const TJRoad& r) {
  TPointD a = Degrees(r.a), b = Degrees(r.b);
  return GeoDistance(DegreesToGeoPoint(a.x, a.y), DegreesToGeoPoint(b.x, b.y));
}

bool SignedBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a) < static_cast<int32_t>(b); }

struct TNode {  // one road link travelled one way: a CH node
  uint32_t start, end, road;
  const TJRoad* r;
  uint32_t pos[2];  // record position per metric
};

struct TTurn {
  size_t from, to;
};

class CBytes {
 public:
  void U8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { U8(v), U8(v >> 8); }
  void U32(uint32_t v) { U16(v), U16(v >> 16); }
  std::vector<uint8_t> b;
};

std::vector<uint8_t> Slice(const QxRoutes::CImage& img, uint64_t from, uint64_t n) {
  return std::vector<uint8_t>(img.bytes.begin() + from, img.bytes.begin() + from + n);
}

// Items of a block: (road id, direction of the link, exit bits from 17 up).
struct TExpectItem {
  uint32_t road;
  uint32_t direction;
  uint32_t mark, turnClass, code, lanes;
};

TEST(JunctionGolden, SectionsAndRoadBlocks) {
  TWritten w = WriteRouted(MapText(), "junction");
  ASSERT_TRUE(w.ok) << w.log;
  const std::string j = std::to_string(J);
  EXPECT_EQ(w.log,
            "T: Distance graph: 16 (16), 70, 4 (4)\n"
            "T: Time graph: 16 (16), 70, 4 (4)\n"
            "T: Many (8) adjacent roads (RoadId = 10, node 0, [46.000000 7.999000])\n"
            "T: Many (8) adjacent roads (RoadId = 30, node 0, [46.000000 8.000000])\n"
            "T: Cities with address info: 0\n");
  QxRoutes::CImage img(w.bytes);
  std::map<uint32_t, uint32_t> record;  // road id -> record offset
  std::vector<uint32_t> writeOrder;     // road ids in section 3 order
  for (const auto& r : QxRoutes::ReadRoads(img)) {
    record[r.roadId] = r.record;
    writeOrder.push_back(r.roadId);
  }
  ASSERT_EQ(record.size(), kRoads.size());

  // The CH nodes in node order (start, end, road; signed), the turns in the
  // order they are made (per node, to every node starting where it ends),
  // less the restricted one.
  std::vector<TNode> nodes;
  for (const TJRoad& r : kRoads) {
    nodes.push_back({r.from, r.to, r.id, &r, {0, 0}});
    if (!r.oneWay) nodes.push_back({r.to, r.from, r.id, &r, {0, 0}});
  }
  std::sort(nodes.begin(), nodes.end(), [](const TNode& a, const TNode& b) {
    if (a.start != b.start) return SignedBefore(a.start, b.start);
    if (a.end != b.end) return SignedBefore(a.end, b.end);
    return SignedBefore(a.road, b.road);
  });
  ASSERT_EQ(nodes.size(), 16u);
  std::vector<TTurn> turns;
  for (size_t a = 0; a < nodes.size(); a++) {
    for (size_t b = 0; b < nodes.size(); b++) {
      if (nodes[b].start != nodes[a].end) continue;
      if (nodes[a].start == S && nodes[a].end == J && nodes[b].end == E) continue;  // the restriction
      turns.push_back({a, b});
    }
  }
  ASSERT_EQ(turns.size(), 70u);

  // Every node is in the core (rank 0x7fffffff): records in node order, each
  // turn stored at both ends, incoming before outgoing, by the other end.
  auto incoming = [&](size_t n) {
    std::vector<size_t> list;
    for (size_t t = 0; t < turns.size(); t++)
      if (turns[t].to == n) list.push_back(t);
    std::stable_sort(list.begin(), list.end(), [&](size_t x, size_t y) { return turns[x].from < turns[y].from; });
    return list;
  };
  auto outgoing = [&](size_t n) {
    std::vector<size_t> list;
    for (size_t t = 0; t < turns.size(); t++)
      if (turns[t].from == n) list.push_back(t);
    std::stable_sort(list.begin(), list.end(), [&](size_t x, size_t y) { return turns[x].to < turns[y].to; });
    return list;
  };
  auto cost = [&](const TNode& n, int metric) {
    uint32_t m = Metres(*n.r);
    uint32_t c = metric == 0 ? m : m * 576 / (10 * 80);  // speed class 4, road class 2: 80 km/h
    return std::max<uint32_t>(c, 1);
  };
  const uint32_t s10 = img.offset[10];
  uint32_t pos = s10 + 16;
  for (int metric : {0, 1}) {
    for (size_t n = 0; n < nodes.size(); n++) {
      nodes[n].pos[metric] = pos;
      pos += 12 + 12 * static_cast<uint32_t>(incoming(n).size() + outgoing(n).size()) + (nodes[n].end == J ? 4 : 0);
    }
  }
  CBytes s10b;
  s10b.U32(16), s10b.U32(nodes[0].pos[0]), s10b.U32(16), s10b.U32(nodes[0].pos[1]);
  for (int metric : {0, 1}) {
    for (size_t n = 0; n < nodes.size(); n++) {
      const TNode& x = nodes[n];
      const bool along = x.start == x.r->from;
      s10b.U32(record[x.road]);
      s10b.U32((along ? 1u : 0u) << 16);
      s10b.U8((x.start == J ? 1 : 0) | (x.r->type0a ? 2 : 0));
      s10b.U8(x.end == J ? 1 : 0);
      std::vector<size_t> in = incoming(n), out = outgoing(n);
      s10b.U8(static_cast<uint32_t>(in.size()));
      s10b.U8(static_cast<uint32_t>(out.size()));
      for (const auto* list : {&in, &out}) {
        for (size_t t : *list) {
          const TNode& from = nodes[turns[t].from];
          const TNode& to = nodes[turns[t].to];
          const uint32_t uturn = from.road == to.road ? 1 : 0;  // one link per road: same road, reversed
          s10b.U32(cost(from, metric) << 2 | uturn | (to.r->type0a ? 2 : 0));
          s10b.U32(nodes[list == &in ? turns[t].from : turns[t].to].pos[metric]);
          s10b.U32(0);
        }
      }
      if (x.end == J) s10b.U32(cost(x, 1));
    }
  }
  ASSERT_EQ(img.size[10], s10b.b.size());
  EXPECT_EQ(Slice(img, s10, img.size[10]), s10b.b) << "section 10";

  // Section 11: one point, J, with every record that starts or ends there,
  // Distance graph first, in record order.
  CBytes s11b;
  TGeoPoint jp = DegreesToGeoPoint(8.0, 46.0);
  s11b.U32(static_cast<uint32_t>(jp.x)), s11b.U32(static_cast<uint32_t>(jp.y));
  CBytes list;
  for (int metric : {0, 1}) {
    for (const TNode& x : nodes) {
      const uint32_t word = x.pos[metric] >> 2 << 3 | static_cast<uint32_t>(metric) << 1;
      if (x.start == J) list.U32(word | (x.r->type0a ? 4 : 0));
      if (x.end == J) list.U32(word | 1), list.U32(cost(x, metric));
    }
  }
  s11b.U32(static_cast<uint32_t>(list.b.size() / 4));
  s11b.b.insert(s11b.b.end(), list.b.begin(), list.b.end());
  EXPECT_EQ(Slice(img, img.offset[11], img.size[11]), s11b.b) << "section 11";

  // Section 8: J's bound entry (road 10), then the unbound ones by node id;
  // J's unbound entry lists its other roads in the order they were written.
  const uint32_t s8 = img.offset[8];
  std::vector<std::pair<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>>> entries = {{J, {{record[10], 1}}}};
  std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> unbound;
  for (uint32_t id : writeOrder) {
    const TJRoad& r = *std::find_if(kRoads.begin(), kRoads.end(), [id](const TJRoad& x) { return x.id == id; });
    unbound[r.from].push_back({record[id], 0});
    if (!r.boundTo) unbound[r.to].push_back({record[id], 1});
  }
  for (auto& [node, pairs] : unbound) entries.push_back({node, pairs});
  CBytes s8b;
  s8b.U32(static_cast<uint32_t>(entries.size())), s8b.U32(1);
  s8b.U32(J), s8b.U32(s8 + 16);
  std::map<uint32_t, uint32_t> entryAt;  // node id -> its unbound entry
  for (size_t i = 0; i < entries.size(); i++) {
    if (i > 0) entryAt[entries[i].first] = s8 + static_cast<uint32_t>(s8b.b.size());
    s8b.U32(entries[i].first);
    s8b.U8(i == 0 ? 1 : 0);
    s8b.U8(static_cast<uint32_t>(entries[i].second.size()));
    s8b.U16(0);
    for (auto [rec, point] : entries[i].second) s8b.U32(rec), s8b.U32(point);
  }
  EXPECT_EQ(Slice(img, s8, img.size[8]), s8b.b) << "section 8";

  // Road blocks of roads 10, 20, 30 and 40.
  auto find = [&](uint32_t start, uint32_t end, uint32_t road, int metric) {
    for (const TNode& x : nodes)
      if (x.start == start && x.end == end && x.road == road) return x.pos[metric];
    ADD_FAILURE() << "no node " << start << "->" << end;
    return 0u;
  };
  auto block = [&](uint32_t road, uint8_t forward, uint8_t backward, std::vector<uint32_t> counts,
                   std::vector<std::vector<TExpectItem>> items) {
    const TJRoad& r = *std::find_if(kRoads.begin(), kRoads.end(), [road](const TJRoad& x) { return x.id == road; });
    CBytes b;
    b.U32(find(r.from, r.to, road, 1)), b.U32(find(r.from, r.to, road, 0));
    if (!r.oneWay) b.U32(find(r.to, r.from, road, 1)), b.U32(find(r.to, r.from, road, 0));
    const double scaled = ChordDistance(Degrees(r.a), Degrees(r.b)) * 128;
    uint32_t v = static_cast<uint32_t>(scaled), e = 0;
    for (; v > 4095; v >>= 1) e++;
    b.U16(v << 4 | e);
    b.U8(forward), b.U8(backward);
    if ((forward & 0x3f) == 0x3f) {
      for (uint32_t c : counts) b.U8(c);
    }
    for (const auto& list : items) {
      for (const TExpectItem& it : list) {
        b.U32(record[it.road]);
        b.U32((it.mark | it.turnClass << 1 | it.code << 4) << 17 | it.lanes << 24 | it.direction << 16);
      }
    }
    return b.b;
  };
  auto actual = [&](uint32_t road, size_t n) {
    const uint32_t rec = record[road];
    return Slice(img, rec + img.U16(rec + 78), n);
  };
  auto exits = [](std::vector<TExpectItem> v) { return v; };
  auto entriesOf = [](std::vector<uint32_t> roads, std::vector<uint32_t> dirs) {
    std::vector<TExpectItem> v;
    for (size_t i = 0; i < roads.size(); i++) v.push_back({roads[i], dirs[i], 0, 0, 0, 0});
    return v;
  };
  // Road 10, from W into J: eight exits at J (turning back has a lane
  // connection, so it is an exit of class 7; straight on to road 20 gains a
  // lane on its lane connection: code 2, lane byte 0x20; the restriction
  // does not concern it), no entries at W, at W only turning back (the
  // U-turn bit), seven entries at J onto road 10 towards W.
  std::vector<uint8_t> want10 = block(
      10, 0x40 | 0x3f, 0x80 | 0x3f, {8, 0, 0, 7},
      {exits({{10, 0, 1, 7, 0, 0x10},
              {20, 1, 0, 0, 2, 0x20},
              {30, 1, 1, 3, 0, 0},
              {50, 1, 1, 1, 0, 0},
              {60, 1, 1, 2, 0, 0},
              {70, 1, 1, 5, 0, 0},
              {80, 1, 1, 6, 0, 0},
              {R05, 1, 1, 1, 0, 0}}),
       {},
       {},
       entriesOf({20, 50, 60, 70, 80, R05, 40}, {0, 0, 0, 0, 0, 0, 1})});
  EXPECT_EQ(actual(10, want10.size()), want10) << "road 10";
  // Road 20, from J to E: at E only turning back; six entries at J onto it
  // (the restricted way from S is missing); from E into J seven exits, the
  // straight one onto road 10 with two lanes after one (code 1, no lane
  // connection; the code looks at the legs of the next junction while these
  // exits are being written, and the exits after it stay intact), turning
  // back allowed without an item.
  std::vector<uint8_t> want20 = block(
      20, 0x80 | 0x3f, 0x80 | 0x3f, {0, 6, 7, 0},
      {{},
       entriesOf({50, 60, 70, 80, R05, 10}, {0, 0, 0, 0, 0, 1}),
       exits({{10, 0, 0, 0, 1, 0},
              {30, 1, 1, 4, 0, 0},
              {50, 1, 1, 6, 0, 0},
              {60, 1, 1, 5, 0, 0},
              {70, 1, 1, 2, 0, 0},
              {80, 1, 1, 1, 0, 0},
              {R05, 1, 1, 6, 0, 0}}),
       {}});
  EXPECT_EQ(actual(20, want20.size()), want20) << "road 20";
  // Road 30, one-way from J to N: a dead end at N (no U-turn on a one-way
  // road), eight entries at J (the warning), no backward data.
  std::vector<uint8_t> want30 = block(30, 0x3f, 0x3f, {0, 8, 0, 0},
                                      {{}, entriesOf({20, 50, 60, 70, 80, R05, 10, 40}, {0, 0, 0, 0, 0, 0, 1, 1}), {}, {}});
  EXPECT_EQ(actual(30, want30.size()), want30) << "road 30";
  // Road 40, one-way from S into J: seven exits (not to E, restricted), the
  // straight one onto road 30 without a lane count, no entries at S.
  std::vector<uint8_t> want40 = block(40, 0x3f, 0x3f, {7, 0, 0, 0},
                                      {exits({{10, 0, 1, 3, 0, 0},
                                              {30, 1, 0, 0, 0, 0},
                                              {50, 1, 1, 2, 0, 0},
                                              {60, 1, 1, 6, 0, 0},
                                              {70, 1, 1, 1, 0, 0},
                                              {80, 1, 1, 5, 0, 0},
                                              {R05, 1, 1, 2, 0, 0}}),
                                       {},
                                       {},
                                       {}});
  EXPECT_EQ(actual(40, want40.size()), want40) << "road 40";

  // The route-node references of every road: J's unbound entry and the
  // entry of its other node.
  for (const TJRoad& r : kRoads) {
    const uint32_t refs = record[r.id] + img.U16(record[r.id] + 78) - 8;
    EXPECT_EQ(img.U32(refs), entryAt[r.from]) << r.id;
    EXPECT_EQ(img.U32(refs + 4), entryAt[r.to]) << r.id;
  }
}

}  // namespace
