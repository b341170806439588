// Small maps built in code for the cleaning-pass tests.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.h"
#include "polski/map.h"
#include "support/testutil.h"

namespace CleaningTest {

using namespace PolskiFormat;

struct TEntryDesc {
  int level;
  std::vector<TPointD> points;
  bool hole = false;
};

inline void AddEntries(CReallocArray<TDataLevel>& geometry, std::initializer_list<TEntryDesc> entries) {
  for (const TEntryDesc& desc : entries) {
    TDataLevel entry;
    entry.Level = static_cast<uint8_t>(desc.level);
    entry.IsHole = desc.hole;
    for (const TPointD& p : desc.points) entry.Points.PushBack(p);
    geometry.PushBack(std::move(entry));
  }
}

// A map with a header whose level table holds `bits`.
class CTestMap {
 public:
  explicit CTestMap(std::initializer_list<int> bits = {24, 22, 20, 18}) {
    map.Header = new CHeaderSection;
    for (int b : bits) map.Header->Levels.PushBack(static_cast<uint8_t>(b));
  }

  CPolyline* Line(int type, std::initializer_list<TEntryDesc> entries) {
    return Add<CPolyline>(map.Polylines, type, entries);
  }
  CPolygon* Area(int type, std::initializer_list<TEntryDesc> entries) {
    return Add<CPolygon>(map.Polygons, type, entries);
  }

  CPOI* Poi(int type, std::initializer_list<TPOIPoint> points) {
    CPOI* poi = new CPOI;
    poi->Type = type;
    for (const TPOIPoint& p : points) poi->Points.PushBack(p);
    map.POIs.PushBack(poi);
    return poi;
  }

  // Makes the line a road with this id (its record in RoadAttributes).
  TRoadAttributes* Road(CPolyline* line, uint32_t roadId) {
    TRoadAttributes* road = new TRoadAttributes;
    road->RoadId = roadId;
    road->RoadClass = 2;
    road->SpeedClass = 3;
    const CReallocArray<TPointD>& first = line->Geometry[0].Points;
    road->FirstLevelPoints.Assign(first.data, first.Size());
    line->Routing = road;
    size_t at = map.RoadAttributes.Size();
    map.RoadAttributes.PushBack(road);
    while (at > 0 && map.RoadAttributes[at - 1]->RoadId > roadId) {
      std::swap(map.RoadAttributes[at - 1], map.RoadAttributes[at]);
      at--;
    }
    return road;
  }

  TRestriction* Restriction(std::initializer_list<uint32_t> points, std::initializer_list<uint32_t> roads) {
    TRestriction* r = new TRestriction;
    for (uint32_t p : points) r->TraffPoints.PushBack(p);
    for (uint32_t id : roads) r->TraffRoads.PushBack(id);
    map.Restrictions.PushBack(r);
    return r;
  }

  CMap map;

 private:
  template <class TObject>
  static TObject* Add(CReallocArray<CMapObject*>& list, int type, std::initializer_list<TEntryDesc> entries) {
    TObject* object = new TObject;
    object->Type = type;
    AddEntries(object->Geometry, entries);
    list.PushBack(object);
    return object;
  }
};

// Log lines without time stamps while a test runs.
class CPlainLogTest : public ::testing::Test {
 protected:
  void SetUp() override { g_Log.timestamps = false; }
  void TearDown() override { g_Log.timestamps = true; }
  // What `action` prints.
  template <class TAction>
  static std::string Printed(TAction action) {
    TestUtil::CStdoutCapture capture;
    action();
    return capture.Finish();
  }
};

inline std::vector<TPointD> Points(const CReallocArray<TPointD>& points) {
  return std::vector<TPointD>(points.begin(), points.end());
}

}  // namespace CleaningTest

inline bool operator==(const TPointD& a, const TPointD& b) { return a.x == b.x && a.y == b.y; }
