#include "polski/mpwriter.h"

#include <string>

#include "polski/roadattributes.h"

namespace PolskiFormat {

namespace {

void WriteText(FILE* out, const char* key, const std::string& text) {
  if (!text.empty()) std::fprintf(out, "%s=%s\r\n", key, text.c_str());
}

void WriteObjectCommon(FILE* out, const CMapObject& object) {
  std::fprintf(out, "Type=0x%x\r\n", static_cast<unsigned>(object.Type));
  WriteText(out, "Label", object.Label);
  WriteText(out, "CountryName", object.CountryName);
  WriteText(out, "RegionName", object.RegionName);
  WriteText(out, "CityName", object.CityName);
  WriteText(out, "StreetDesc", object.StreetDesc);
  if (object.EndLevel != 255) std::fprintf(out, "EndLevel=%d\r\n", object.EndLevel);
}

// One line per entry, latitude first. Entries without points were dropped
// after loading; one that slipped through writes nothing.
void WriteDataLevels(FILE* out, const CReallocArray<TDataLevel>& geometry) {
  for (const TDataLevel& entry : geometry) {
    if (entry.Points.Empty()) continue;
    std::fprintf(out, "Data%d=(%f,%f)", entry.Level, entry.Points[0].y, entry.Points[0].x);
    for (size_t i = 1; i < entry.Points.Size(); i++) std::fprintf(out, ",(%f,%f)", entry.Points[i].y, entry.Points[i].x);
    std::fputs("\r\n", out);
  }
}

// "a,b|c,d|..." with 0 written as nothing; empty when every number is 0.
std::string SpeedText(const TRoadAttributes& road) {
  std::string text;
  bool any = false;
  for (size_t i = 0; i < 24; i++) {
    if (i) text += '|';
    for (int k = 0; k < 2; k++) {
      if (k) text += ',';
      if (uint8_t v = road.SpeedPairs[i][k]) {
        text += std::to_string(v);
        any = true;
      }
    }
  }
  return any ? text : std::string();
}

void WriteIdList(FILE* out, const char* key, const CReallocArray<uint32_t>& ids) {
  std::fputs(key, out);
  for (size_t i = 0; i < ids.Size(); i++) std::fprintf(out, i ? ",%d" : "%d", static_cast<int32_t>(ids[i]));
  std::fputs("\r\n", out);
}

}  // namespace

void WritePOI(FILE* out, const CPOI& poi) {
  WriteObjectCommon(out, poi);
  WriteText(out, "HouseNumber", poi.HouseNumber);
  WriteText(out, "Highway", poi.Highway);
  if (poi.OvernightParking) std::fputs("OvernightParking=Y\r\n", out);
  for (const TPOIPoint& p : poi.Points) std::fprintf(out, "Data%d=(%f,%f)\r\n", p.Level, p.y, p.x);
}

void WritePolygon(FILE* out, const CPolygon& polygon) {
  WriteObjectCommon(out, polygon);
  WriteText(out, "HouseNumber", polygon.HouseNumber);
  if (polygon.Background) std::fputs("Background=Y\r\n", out);
  WriteDataLevels(out, polygon.Geometry);
}

void WritePolyline(FILE* out, const CPolyline& polyline, bool speed) {
  WriteObjectCommon(out, polyline);
  WriteDataLevels(out, polyline.Geometry);
  const TRoadAttributes* road = polyline.Routing;
  if (!road) return;
  // Ids are unsigned; "%d" prints those above 2^31 negative, and the loader
  // reads a negative id back modulo 2^32.
  std::fprintf(out, "RoadId=%d\r\n", static_cast<int32_t>(road->RoadId));
  if (road->SpeedClass != 255 && road->RoadClass != 255) {
    std::fprintf(out, "RouteParam=%d,%d,%d,%d", road->SpeedClass, road->RoadClass, road->OneWay, road->Toll);
    for (uint8_t denied : road->AccessDenied) std::fprintf(out, ",%c", '0' + denied);
    std::fputs("\r\n", out);
  }
  if (road->RouteParamExt) std::fputs("RouteParamExt=1\r\n", out);
  if (speed) {
    std::string text = SpeedText(*road);
    if (!text.empty()) std::fprintf(out, "Speed=%s\r\n", text.c_str());
  }
  for (size_t i = 0; i < road->Nodes.Size(); i++) {
    const TRoadNode& node = road->Nodes[i];
    std::fprintf(out, "Nod%d=%d,%d,%d\r\n", static_cast<int>(i + 1), static_cast<int32_t>(node.PointIndex),
                 static_cast<int32_t>(node.NodeId), node.Bound);
  }
}

bool WriteRestriction(FILE* out, const TRestriction& restriction) {
  for (const CReallocArray<uint32_t>* list : {&restriction.TraffPoints, &restriction.TraffRoads}) {
    for (uint32_t id : *list) {
      if (id == 0xFFFFFFFF) return false;
    }
  }
  if (restriction.NodeId != -1) std::fprintf(out, "Nod=%d\r\n", restriction.NodeId);
  WriteIdList(out, "TraffPoints=", restriction.TraffPoints);
  WriteIdList(out, "TraffRoads=", restriction.TraffRoads);
  return true;
}

void CPOISection::Write(FILE* out) {
  if (Record) WritePOI(out, static_cast<const CPOI&>(*Record));
}

void CPolygonSection::Write(FILE* out) {
  if (Record) WritePolygon(out, static_cast<const CPolygon&>(*Record));
}

void CPolylineSection::Write(FILE* out, bool speed) {
  if (Record) WritePolyline(out, static_cast<const CPolyline&>(*Record), speed);
}

}  // namespace PolskiFormat
