// Maps for the route checks: generated street grids as .mp text (roads
// in runs over a jittered grid, one-way and slow roads, shape points,
// restrictions and chains, optional area roads and boundary nodes), and the
// reference network of a loaded map, from its roads as the .mp text gives
// them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/geo.h"
#include "polski/map.h"
#include "tests/routing/refroute.h"
#include "tests/routing/sectiontest.h"

namespace GridMaps {

using RefRoute::TLinkKey;
using SectionTest::Restrict;
using SectionTest::LaneRecord;
using SectionTest::RoadText;
using SectionTest::TRoad;

// A road as the .mp map describes it.
struct TRoadDesc {
  uint32_t id;
  std::vector<uint32_t> nodes;
  std::vector<uint8_t> bound;
};

// A map: its text, the network the reference routes on, its roads.
struct TMapDesc {
  std::string text;
  RefRoute::TNetwork net;
  std::vector<TRoadDesc> roads;
  std::set<TLinkKey> inner;  // inner links of chain restrictions: no route starts or ends there
};

// Road speed in km/h by speed class and road class.
inline uint32_t Speed(uint32_t speedClass, uint32_t roadClass) {
  static const int kSpeed[8] = {5, 20, 40, 60, 80, 90, 110, 120}, kAdjust[5] = {-10, -5, 0, 5, 10};
  int s = speedClass == 255 ? 0 : std::min<uint32_t>(speedClass, 7);
  int c = roadClass == 255 ? 0 : std::min<uint32_t>(roadClass, 4);
  return static_cast<uint32_t>(std::max(kSpeed[s] + kAdjust[c], 5));
}

// Metres between two route nodes along a road's points.
inline uint32_t Metres(const std::vector<TPointD>& points, uint32_t from, uint32_t to) {
  uint64_t sum = 0;
  for (uint32_t i = from; i < to; i++) {
    sum += GeoDistance(DegreesToGeoPoint(points[i].x, points[i].y), DegreesToGeoPoint(points[i + 1].x, points[i + 1].y));
  }
  return static_cast<uint32_t>(std::min<uint64_t>(sum, 0x7fffffff));
}

inline void AddInner(TMapDesc& m, const std::vector<uint32_t>& nodes, const std::vector<uint32_t>& roads) {
  for (size_t i = 1; i + 1 < roads.size(); i++) m.inner.insert({nodes[i], nodes[i + 1], roads[i]});
}

// ---- generated street grids ---------------------------------------------------------------

struct TGridOptions {
  uint32_t w = 5, h = 5;
  uint32_t keys = 8, chains = 4;
  uint32_t oneWayPercent = 20, slowPercent = 10;
  bool area = false;     // a block of area roads (RouteParamExt) in the middle
  bool bound = false;    // boundary nodes on the grid's edge
  uint32_t idBase = 1;   // node and road ids from here (0x7ffffff0: they pass 2^31)
};

inline std::string Grid(uint32_t seed, const TGridOptions& o) {
  std::mt19937 rng(seed);
  auto chance = [&](uint32_t percent) { return rng() % 100 < percent; };
  std::string text = PolskiTest::kHeader;
  std::vector<std::pair<double, double>> at(o.w * o.h);
  for (auto& p : at) p = {static_cast<double>(rng() % 400) / 1000, static_cast<double>(rng() % 400) / 1000};
  auto nodeId = [&](uint32_t x, uint32_t y) { return o.idBase + y * o.w + x; };
  std::vector<TLinkKey> links;  // every travelable direction
  std::set<uint32_t> boundNodes;
  uint32_t roadId = o.idBase + o.w * o.h + 100;
  for (bool rows : {true, false}) {
    const uint32_t lines = rows ? o.h : o.w, length = rows ? o.w : o.h;
    for (uint32_t line = 0; line < lines; line++) {
      for (uint32_t i = 0; i + 1 < length;) {
        const uint32_t n = std::min<uint32_t>(1 + rng() % 3, length - 1 - i);
        if (chance(8)) {
          i += n;
          continue;
        }
        TRoad road{roadId, {}, {}};
        std::vector<uint32_t> ids;
        for (uint32_t k = 0; k <= n; k++) {
          const uint32_t x = rows ? i + k : line, y = rows ? line : i + k;
          const uint32_t id = nodeId(x, y);
          const bool edge = x == 0 || y == 0 || x + 1 == o.w || y + 1 == o.h;
          const bool bound = o.bound && edge && chance(50);
          if (bound) boundNodes.insert(id);
          const std::pair<double, double> p{x + at[id - o.idBase].first, y + at[id - o.idBase].second};
          if (k > 0 && chance(30)) {  // a shape point between route nodes, off the straight line
            road.points.push_back({(road.points.back().first + p.first) / 2 + 0.05, (road.points.back().second + p.second) / 2});
          }
          road.nodes.push_back(std::to_string(road.points.size()) + "," + std::to_string(id) + (bound ? ",1" : ""));
          road.points.push_back(p);
          ids.push_back(id);
        }
        const bool oneWay = chance(o.oneWayPercent);
        const bool area = o.area && line > 0 && line < lines / 2 + 1 && i < length / 2;
        road.type = chance(o.slowPercent) ? "0x0a" : "0x04";
        road.param = "RouteParam=" + std::to_string(rng() % 8) + "," + std::to_string(rng() % 5) + "," +
                     (oneWay ? "1" : "0") + ",0,0,0,0,0,0,0,0,0";
        if (area) road.extra = "RouteParamExt=1\n";
        if (chance(15)) road.extra += "TrafficLanes=2,0,0,1\n";
        text += RoadText(road);
        for (uint32_t k = 0; k < n; k++) {
          links.push_back({ids[k], ids[k + 1], roadId});
          if (!oneWay) links.push_back({ids[k + 1], ids[k], roadId});
        }
        roadId++;
        i += n;
      }
    }
  }
  auto next = [&](const TLinkKey& l, TLinkKey* out) {
    std::vector<TLinkKey> options;
    for (const TLinkKey& k : links)
      if (std::get<0>(k) == std::get<1>(l)) options.push_back(k);
    if (options.empty()) return false;
    *out = options[rng() % options.size()];
    return true;
  };
  auto list = [](const std::vector<uint32_t>& v) {
    std::string out;
    for (uint32_t x : v) out += (out.empty() ? "" : ",") + std::to_string(x);
    return out;
  };
  for (uint32_t i = 0; i < o.keys && !links.empty(); i++) {
    TLinkKey a = links[rng() % links.size()], c;
    if (!next(a, &c)) continue;
    const std::string points = list({std::get<0>(a), std::get<1>(a), std::get<1>(c)});
    const std::string roads = list({std::get<2>(a), std::get<2>(c)});
    text += Restrict(points, roads);
    if (chance(30)) text += LaneRecord(points, roads, "(1,1),(2,2)");  // for the road blocks
  }
  for (uint32_t i = 0; i < o.chains && !links.empty(); i++) {
    std::vector<TLinkKey> walk{links[rng() % links.size()]};
    const size_t want = 3 + rng() % 2;
    TLinkKey c;
    while (walk.size() < want && next(walk.back(), &c)) walk.push_back(c);
    if (walk.size() < want) continue;
    std::vector<uint32_t> nodes{std::get<0>(walk[0])}, roads;
    for (const TLinkKey& l : walk) {
      nodes.push_back(std::get<1>(l));
      roads.push_back(std::get<2>(l));
    }
    text += Restrict(list(nodes), list(roads));
  }
  return text;
}

// ---- the corpus: the network from the loaded map's roads ----------------------------------

inline TMapDesc FromMap(const PolskiFormat::CMap& map) {
  TMapDesc m;
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const PolskiFormat::CPolyline& line = *map.Polyline(i);
    const PolskiFormat::TRoadAttributes* r = line.Routing;
    if (!r || r->AccessDenied[2] || line.Geometry.Empty()) continue;
    const CReallocArray<TPointD>& pts = line.Geometry[0].Points;
    std::vector<TPointD> points(pts.begin(), pts.end());
    m.net.roads.push_back(RefRoute::TRoad{r->RoadId, Speed(r->SpeedClass, r->RoadClass), (r->OneWay & 1) != 0,
                                          line.Type == 0x0a, (r->RouteParamExt & 1) != 0});
    TRoadDesc desc{r->RoadId, {}, {}};
    for (size_t k = 0; k < r->Nodes.Size(); k++) {
      desc.nodes.push_back(r->Nodes[k].NodeId);
      desc.bound.push_back(r->Nodes[k].Bound != 0);
      if (k > 0) {
        const uint32_t last = static_cast<uint32_t>(points.size() - 1);
        const uint32_t from = std::min(r->Nodes[k - 1].PointIndex, last), to = std::min(r->Nodes[k].PointIndex, last);
        m.net.links.push_back(RefRoute::TLink{r->Nodes[k - 1].NodeId, r->Nodes[k].NodeId, r->RoadId,
                                              to > from ? Metres(points, from, to) : 0});
      }
    }
    m.roads.push_back(desc);
  }
  // A chain through a boundary node, or a node no road has, cannot be used.
  std::map<uint32_t, bool> bound;
  for (const TRoadDesc& r : m.roads)
    for (size_t k = 0; k < r.nodes.size(); k++) bound[r.nodes[k]] = bound[r.nodes[k]] || r.bound[k];
  for (const PolskiFormat::TRestriction* r : map.Restrictions) {
    const size_t points = r->TraffPoints.Size(), roads = r->TraffRoads.Size();
    if (points == 3 && roads == 2) {
      m.net.restrictions.push_back(
          {r->TraffPoints[0], r->TraffPoints[1], r->TraffPoints[2], r->TraffRoads[0], r->TraffRoads[1]});
    } else if (points > 3 && roads + 1 == points) {
      std::vector<uint32_t> nodes(r->TraffPoints.begin(), r->TraffPoints.end());
      std::vector<uint32_t> ids(r->TraffRoads.begin(), r->TraffRoads.end());
      bool usable = true;
      for (size_t k = 1; k + 1 < nodes.size(); k++) usable = usable && bound.count(nodes[k]) && !bound[nodes[k]];
      if (!usable) continue;
      m.net.chains.push_back({nodes, ids});
      AddInner(m, nodes, ids);
    }
  }
  return m;
}

// The network of a map text, as loaded.
inline TMapDesc Describe(const std::string& text) {
  PolskiFormat::CMap map;
  EXPECT_EQ(PolskiTest::LoadText(map, text), nullptr);
  TMapDesc m = FromMap(map);
  m.text = text;
  return m;
}

}  // namespace GridMaps
