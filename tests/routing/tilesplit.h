// Cuts the roads of a loaded .mp map into tile maps for the atlas tests,
// and writes the same pieces as one joined map, the reference's network.
//
// Tiles are cut by lines of longitude and latitude. A road's routed part
// (first to last route node) is cut where a segment crosses a line: the
// crossing point becomes a new route node, bound in the tiles (so that the
// atlas joins the tiles there) and ordinary in the joined map. Every piece
// of a cut road gets a road id of its own and goes to the tile its first
// segment lies in; a road without a crossing keeps its id. Restrictions
// over uncut roads are kept; those over a cut road are dropped. The map's
// own bound flags are dropped, so that the cut points are the only external
// nodes and every match is exact.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "polski/map.h"

namespace TileSplit {

struct TPiece {
  uint32_t id;
  uint32_t tile;
  std::vector<TPointD> points;
  std::vector<uint32_t> nodePoints;  // point index of each route node
  std::vector<uint32_t> nodeIds;
  std::vector<bool> cut;             // per route node
  std::string attributes;            // Type, RouteParam, ... lines
};

struct TSplit {
  uint32_t tiles = 0;
  std::vector<TPiece> pieces;
  std::vector<std::pair<uint32_t, std::string>> restrictions;  // (tile, [Restrict] text)
};

inline std::string Point(const TPointD& p) {
  char text[64];
  std::snprintf(text, sizeof text, "(%.7f,%.7f)", p.y, p.x);
  return text;
}

// The map text of one tile, or of all pieces joined (tile < 0).
inline std::string MapText(const TSplit& s, int tile) {
  std::string text = "[IMG ID]\nName=Tile\nLevel0=24\nLevel1=20\n[END-IMG ID]\n";
  for (const TPiece& p : s.pieces) {
    if (tile >= 0 && p.tile != static_cast<uint32_t>(tile)) continue;
    text += "[POLYLINE]\n" + p.attributes + "RoadID=" + std::to_string(p.id) + "\nData0=";
    for (size_t i = 0; i < p.points.size(); i++) text += (i ? "," : "") + Point(p.points[i]);
    text += "\n";
    for (size_t k = 0; k < p.nodeIds.size(); k++) {
      text += "Nod" + std::to_string(k + 1) + "=" + std::to_string(p.nodePoints[k]) + "," +
              std::to_string(p.nodeIds[k]) + (tile >= 0 && p.cut[k] ? ",1" : "") + "\n";
    }
    text += "[END]\n";
  }
  for (const auto& [t, r] : s.restrictions) {
    if (tile < 0 || t == static_cast<uint32_t>(tile)) text += r;
  }
  return text;
}

inline std::string Attributes(const PolskiFormat::CPolyline& line) {
  const PolskiFormat::TRoadAttributes& r = *line.Routing;
  char text[160];
  std::snprintf(text, sizeof text, "Type=0x%x\nRouteParam=%u,%u,%u,%u", line.Type, r.SpeedClass, r.RoadClass,
                r.OneWay & 1, r.Toll);
  std::string a = text;
  for (uint8_t d : r.AccessDenied) a += d ? ",1" : ",0";
  a += "\n";
  if (r.RouteParamExt & 1) a += "RouteParamExt=1\n";
  if (r.LegalSpeed) a += "LegalSpeed=" + std::to_string(r.LegalSpeed) + "\n";
  return a;
}

// Lines: tile borders in degrees, chosen not to meet any point exactly.
inline TSplit Split(const PolskiFormat::CMap& map, const std::vector<double>& xs, const std::vector<double>& ys) {
  TSplit s;
  s.tiles = static_cast<uint32_t>((xs.size() + 1) * (ys.size() + 1));
  auto tileOf = [&](const TPointD& p) {
    const uint32_t ix = static_cast<uint32_t>(std::count_if(xs.begin(), xs.end(), [&](double x) { return x < p.x; }));
    const uint32_t iy = static_cast<uint32_t>(std::count_if(ys.begin(), ys.end(), [&](double y) { return y < p.y; }));
    return iy * static_cast<uint32_t>(xs.size() + 1) + ix;
  };
  uint32_t nextNode = 0, nextRoad = 0;
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const PolskiFormat::CPolyline& line = *map.Polyline(i);
    if (!line.Routing) continue;
    nextRoad = std::max(nextRoad, line.Routing->RoadId + 1);
    for (const PolskiFormat::TRoadNode& n : line.Routing->Nodes) nextNode = std::max(nextNode, n.NodeId + 1);
  }
  std::set<uint32_t> cutRoads, keptRoads;
  std::vector<std::pair<uint32_t, uint32_t>> roadTile;  // uncut road id -> tile
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    const PolskiFormat::CPolyline& line = *map.Polyline(i);
    const PolskiFormat::TRoadAttributes* r = line.Routing;
    if (!r || r->AccessDenied[2] || line.Geometry.Empty() || r->Nodes.Size() < 2) continue;
    const CReallocArray<TPointD>& pts = line.Geometry[0].Points;
    const uint32_t last = static_cast<uint32_t>(pts.Size() - 1);
    // The points with the route nodes on them, and the crossings.
    struct TAt {
      TPointD p;
      int64_t node;  // id, or -1
      bool cut;
    };
    std::vector<TAt> seq;
    std::vector<std::pair<uint32_t, uint32_t>> nodes;  // point index, id
    for (const PolskiFormat::TRoadNode& n : r->Nodes) nodes.push_back({std::min(n.PointIndex, last), n.NodeId});
    bool ascending = true;
    for (size_t q = 1; q < nodes.size(); q++) ascending = ascending && nodes[q - 1].first < nodes[q].first;
    if (!ascending) continue;  // left out of every map
    const uint32_t first = nodes.front().first, end = nodes.back().first;
    size_t k = 0;
    for (uint32_t j = 0; j <= last; j++) {
      int64_t id = -1;
      while (k < nodes.size() && nodes[k].first == j) id = nodes[k++].second;  // the last node named there
      seq.push_back({pts[j], id, false});
      if (j < first || j >= end) continue;
      const TPointD a = pts[j], b = pts[j + 1];
      std::vector<double> ts;
      for (double x : xs)
        if ((a.x - x) * (b.x - x) < 0) ts.push_back((x - a.x) / (b.x - a.x));
      for (double y : ys)
        if ((a.y - y) * (b.y - y) < 0) ts.push_back((y - a.y) / (b.y - a.y));
      std::sort(ts.begin(), ts.end());
      for (double t : ts) seq.push_back({{a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)}, nextNode++, true});
    }
    // Pieces: from cut to cut; the geometry outside the routed part stays
    // with the first and the last piece.
    std::vector<size_t> bounds{0};
    for (size_t q = 0; q < seq.size(); q++)
      if (seq[q].cut) bounds.push_back(q);
    bounds.push_back(seq.size() - 1);
    const bool isCut = bounds.size() > 2;
    (isCut ? cutRoads : keptRoads).insert(r->RoadId);
    for (size_t b = 0; b + 1 < bounds.size(); b++) {
      TPiece piece;
      piece.id = isCut ? nextRoad++ : r->RoadId;
      piece.attributes = Attributes(line);
      for (size_t q = bounds[b]; q <= bounds[b + 1]; q++) {
        if (seq[q].node >= 0) {
          piece.nodePoints.push_back(static_cast<uint32_t>(piece.points.size()));
          piece.nodeIds.push_back(static_cast<uint32_t>(seq[q].node));
          piece.cut.push_back(seq[q].cut);
        }
        piece.points.push_back(seq[q].p);
      }
      // The tile of the first routed segment's middle.
      const size_t from = piece.nodePoints.front();
      const TPointD m{(piece.points[from].x + piece.points[from + 1].x) / 2,
                      (piece.points[from].y + piece.points[from + 1].y) / 2};
      piece.tile = tileOf(m);
      if (!isCut) roadTile.push_back({piece.id, piece.tile});
      s.pieces.push_back(std::move(piece));
    }
  }
  for (const PolskiFormat::TRestriction* r : map.Restrictions) {
    int64_t tile = -1;
    bool usable = r->TraffRoads.Size() >= 1;
    for (uint32_t road : r->TraffRoads) {
      auto it = std::find_if(roadTile.begin(), roadTile.end(), [&](auto& rt) { return rt.first == road; });
      if (it == roadTile.end() || (tile >= 0 && tile != it->second)) usable = false;
      if (it != roadTile.end()) tile = it->second;
    }
    if (!usable) continue;
    std::string points, roads;
    for (uint32_t p : r->TraffPoints) points += (points.empty() ? "" : ",") + std::to_string(p);
    for (uint32_t q : r->TraffRoads) roads += (roads.empty() ? "" : ",") + std::to_string(q);
    s.restrictions.push_back(
        {static_cast<uint32_t>(tile), "[Restrict]\nTraffPoints=" + points + "\nTraffRoads=" + roads + "\n[END]\n"});
  }
  return s;
}

}  // namespace TileSplit
