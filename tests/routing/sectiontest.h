// Helpers of the routing-section tests: small .mp maps from road specs,
// written through the map writer with its routing part, and the bytes of
// the written file.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/config.h"
#include "mapfile/writer.h"
#include "polski/polski_testutil.h"
#include "routing/maprouting.h"
#include "support/testutil.h"

namespace SectionTest {

// A point of the test grid: x east, y north, in steps of 0.001 degree
// (about 77 m east, 111 m north at latitude 46), as "(lat,lon)".
inline std::string P(double x, double y) {
  char text[64];
  std::snprintf(text, sizeof text, "(%.6f,%.6f)", 46 + y / 1000, 8 + x / 1000);
  return text;
}

struct TRoad {
  uint32_t id;
  std::vector<std::pair<double, double>> points;
  std::vector<std::string> nodes;  // "index,id[,bound]"
  std::string param = "RouteParam=4,2,0,0,0,0,0,0,0,0,0,0";
  std::string extra = "";
  std::string type = "0x04";
  std::string data = "Data0";
};

inline std::string RoadText(const TRoad& r) {
  std::string text = "[POLYLINE]\nType=" + r.type + "\nRoadID=" + std::to_string(r.id) + "\n";
  if (!r.param.empty()) text += r.param + "\n";
  text += r.data + "=";
  for (size_t i = 0; i < r.points.size(); i++) text += (i ? "," : "") + P(r.points[i].first, r.points[i].second);
  text += "\n";
  for (size_t i = 0; i < r.nodes.size(); i++) text += "Nod" + std::to_string(i + 1) + "=" + r.nodes[i] + "\n";
  return text + r.extra + "[END]\n";
}

inline std::string Restrict(const std::string& points, const std::string& roads) {
  return "[Restrict]\nTraffPoints=" + points + "\nTraffRoads=" + roads + "\n[END]\n";
}

inline std::string LaneRecord(const std::string& points, const std::string& roads, const std::string& pairs) {
  return "[Lane Connection]\nLanePoints=" + points + "\nLaneRoads=" + roads + "\nLaneConnections=" + pairs +
         "\n[END]\n";
}

struct TWritten {
  bool ok = false;
  std::string log;  // time stamps masked
  std::string path;
  std::vector<uint8_t> bytes;
};

// Loads the map text and writes it with routing; plain unless `compress`.
inline TWritten WriteRouted(const std::string& text, const std::string& name, bool compress = false) {
  TWritten w;
  PolskiFormat::CMap map;
  const char* error = PolskiTest::LoadText(map, text);
  EXPECT_EQ(error, nullptr) << error;
  if (error) return w;
  CConverterConfig config;
  CMapWriter writer;
  CMapRoutingWriter routing;
  writer.routing = &routing;
  w.path = TestUtil::MakeTempDir("routing_" + name) + name + ".qx";
  TestUtil::CStdoutCapture capture;
  w.ok = WriteMapFile(writer, map, w.path, config, compress, nullptr);
  w.log = TestUtil::MaskTimestamps(capture.Finish());
  if (w.ok) {
    std::string bytes = TestUtil::ReadFile(w.path);
    w.bytes.assign(bytes.begin(), bytes.end());
  }
  return w;
}

inline std::string Roads(const std::vector<TRoad>& roads) {
  std::string text = PolskiTest::kHeader;
  for (const TRoad& r : roads) text += RoadText(r);
  return text;
}

}  // namespace SectionTest
