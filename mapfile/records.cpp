#include "mapfile/records.h"

#include <algorithm>
#include <cmath>

#include "core/log.h"
#include "core/rtree.h"

using namespace PolskiFormat;

namespace ZorvaneMap {

namespace {

constexpr double kDegreeUnits = 8388608.0;  // 2^23
constexpr int64_t kUnits360 = 0xB4000000ll;

// Opens a record: 4-aligned start, a length placeholder. Record offsets
// must stay below 2^31: bit 31 of a tree item or word reference tells
// polygons from POIs, so a larger offset would be read as the wrong kind
// long before the final size check.
uint32_t BeginRecord(CMemStream& image) {
  if (((image.GetPos() + 3) & ~uint64_t(3)) + 4 > kMaxMapImage) throw FormatLimitText("Too big out file");
  AlignTo4(image);
  uint32_t start = static_cast<uint32_t>(image.GetPos());
  image.WriteU32(0);
  return start;
}

void EndRecord(CMemStream& image, uint32_t start) {
  uint64_t end = image.GetPos();
  image.Seek(start);
  image.WriteU32(static_cast<uint32_t>(end - start));
  image.Seek(end);
}

void WritePoint(CMemStream& image, double x, double y) {
  TGeoPoint p = DegreesToGeoPoint(x, y);
  image.WriteU32(static_cast<uint32_t>(p.x));
  image.WriteU32(static_cast<uint32_t>(p.y));
}

// Points of a ring or line in one write: they are the bulk of every map.
void WritePoints(CMapWriter& writer, CMemStream& image, const CReallocArray<TPointD>& points) {
  CReallocArray<uint8_t>& buf = writer.pointBuffer;
  buf.Resize(points.Size() * 8);
  uint8_t* p = buf.data;
  for (const TPointD& pt : points) {
    TGeoPoint g = DegreesToGeoPoint(pt.x, pt.y);
    StoreLE32(p, static_cast<uint32_t>(g.x));
    StoreLE32(p + 4, static_cast<uint32_t>(g.y));
    p += 8;
  }
  image.Write(buf.data, buf.Size());
}

void WriteAddressRefs(CMemStream& image, const TObjectAddress& address) {
  image.WriteU32(address.country ? address.country->offset : 0);
  image.WriteU32(address.city ? address.city->offset : 0);
  image.WriteU32(address.street ? address.street->offset : 0);
}

void WriteExtraTexts(CMapWriter& writer, const CMapObject& object, CMemStream& image) {
  AlignTo2(image);
  writer.text.WriteTitleString(image, object.Phone);
  writer.text.WriteTitleString(image, object.Fax);
  writer.text.WriteTitleString(image, object.Email);
  writer.text.WriteTitleString(image, object.Webpage);
  writer.text.WriteTitleString(image, object.Text);
}

void WriteEntryPoints(CMapWriter& writer, const CReallocArray<TEntryPoint>& entries, CMemStream& image) {
  AlignTo2(image);
  size_t n = entries.Size();
  if (n > 0xFFFF) {
    g_Log.Print("Too many entry points (%u): the first 65535 are written", static_cast<unsigned>(n));
    n = 0xFFFF;
  }
  image.WriteU16(static_cast<uint16_t>(n));
  for (size_t i = 0; i < n; i++) {
    writer.text.WriteTitleString(image, entries[i].Text);
    AlignTo4(image);
    WritePoint(image, entries[i].Position.x, entries[i].Position.y);
  }
}

// Level bytes of a run-based object (polyline entries, polygon rings): the
// bits of each entry's level, and for the entries of the last run of equal
// levels the bits of EndLevel (0 when it is unset).
void WriteEntryLevelBytes(const CMapWriter& writer, const CMapObject& object,
                          const CReallocArray<TDataLevel>& entries, size_t count, CMemStream& image) {
  size_t lastRun = count;
  while (lastRun > 0 && entries[lastRun - 1].Level == entries[count - 1].Level) lastRun--;
  for (size_t i = 0; i < count; i++) {
    uint8_t bits;
    if (i < lastRun) {
      bits = writer.LevelBits(entries[i].Level);
    } else {
      bits = object.EndLevel == 255 ? 0 : writer.LevelBits(object.EndLevel);
    }
    image.WriteU8(bits);
  }
}

uint8_t WeekdayMask(const TOpeningRule& rule) {
  uint8_t mask = 0;
  for (const TWeekdayRange& r : rule.Weekdays) {
    int first = r.First % 7, last = r.Last % 7;
    for (int d = first;; d = (d + 1) % 7) {
      mask |= static_cast<uint8_t>(1 << d);
      if (d == last) break;
    }
  }
  if (!rule.NthWeekdays.Empty()) mask |= 0x80;
  return mask;
}

uint16_t TimeWord(const TTimePoint& t) {
  return static_cast<uint16_t>((static_cast<uint32_t>(t.Minutes) & 0xFFF) | (static_cast<uint32_t>(t.Kind) & 7) << 12);
}

// One rule, in a scratch stream whose position mod 4 equals the image's.
void EncodeRule(const TOpeningRule& rule, CMemStream& out) {
  bool weekdays = !rule.Weekdays.Empty() || !rule.NthWeekdays.Empty();
  out.WriteU8(static_cast<uint8_t>((rule.Dates.Empty() ? 0 : 1) | (weekdays ? 2 : 0) |
                                   (rule.TimeSpans.Empty() ? 0 : 4)));
  if (weekdays) {
    out.WriteU8(WeekdayMask(rule));
    for (size_t i = 0; i < rule.NthWeekdays.Size(); i++) {
      const TNthWeekday& w = rule.NthWeekdays[i];
      uint8_t n = w.N == 0xFF ? 7 : (w.N & 7);
      out.WriteU8(static_cast<uint8_t>((w.Weekday & 7) | n << 3 | (i + 1 < rule.NthWeekdays.Size() ? 0x40 : 0)));
    }
  }
  if (!rule.Dates.Empty()) {
    AlignTo4(out);
    for (size_t i = 0; i < rule.Dates.Size(); i++) {
      const TOpeningDate& d = rule.Dates[i];
      out.WriteU8(static_cast<uint8_t>((d.StartMonth & 0x0F) | d.EndMonth << 4));
      out.WriteU8(d.StartDay);
      out.WriteU8(d.EndDay);
      out.WriteU8(i + 1 < rule.Dates.Size() ? 0x80 : 0);
    }
  }
  if (!rule.TimeSpans.Empty()) {
    AlignTo4(out);
    for (size_t i = 0; i < rule.TimeSpans.Size(); i++) {
      const TTimeSpan& s = rule.TimeSpans[i];
      out.WriteU16(TimeWord(s.Start) & 0x7FFF);
      out.WriteU16(static_cast<uint16_t>((TimeWord(s.End) & 0x7FFF) | (i + 1 < rule.TimeSpans.Size() ? 0x8000 : 0)));
    }
  }
}

double WrapDegrees(double d) {
  if (d >= 180) return d - 360;
  if (d <= -180) return d + 360;
  return d;
}

// A longitude in units brought back below +180 degrees.
int32_t WrapUnits(int64_t x) {
  if (x > kGeoEast) x -= kUnits360;
  return static_cast<int32_t>(x);
}

size_t FirstRunLength(const CReallocArray<TDataLevel>& geometry) {
  size_t n = 0;
  while (n < geometry.Size() && geometry[n].Level == geometry[0].Level) n++;
  return n;
}

// Route-node checks of a routing road (the count fits its u16, every point
// index lies on the road's first entry, in a u16, and never goes back).
void CheckRouteNodes(const CPolyline& line, const TRoadAttributes& road) {
  if (road.Nodes.Size() > 0xFFFF) throw FormatLimitText("To much nodes (RoadId = %u)", road.RoadId);
  size_t points = line.Geometry.Empty() ? 0 : line.Geometry[0].Points.Size();
  uint32_t previous = 0;
  for (const TRoadNode& n : road.Nodes) {
    if (n.PointIndex >= points || n.PointIndex > 0xFFFF || n.PointIndex < previous) {
      throw FormatLimitText("Wrong node point index (RoadId = %u)", road.RoadId);
    }
    previous = n.PointIndex;
  }
}

// A road's count field holds `limit` at most: the items past it are left
// out, with a warning, rather than miscounted.
size_t RoadCount(size_t n, size_t limit, const char* what, const TRoadAttributes& road) {
  if (n <= limit) return n;
  g_Log.Print("Too many %s (%u, RoadId = %u): the first %u are written", what, static_cast<unsigned>(n),
              road.RoadId, static_cast<unsigned>(limit));
  return limit;
}

void WriteRoadBlock(CMapWriter& writer, const TRoadAttributes& road, CMemStream& image) {
  image.WriteU32(road.RoadId);
  image.WriteU8(RoadSpeedLimit(road, writer.onlyLegalSpeed));
  double v = EstimateRoadSpeed(road);
  image.WriteU8(static_cast<uint8_t>(std::floor(v * 4 / 3.6 + 0.5)));
  uint32_t flags = (road.OneWay ? 1 : 0) | (road.Toll ? 2 : 0);
  for (int i = 0; i < 8; i++) {
    if (road.AccessDenied[i]) flags |= 1u << (2 + i);
  }
  if (road.RouteParamExt) flags |= 1u << 10;
  uint32_t roadClass = road.RoadClass == 255 ? 0 : std::min<uint32_t>(road.RoadClass, 4);
  flags |= roadClass << 11;
  image.WriteU16(static_cast<uint16_t>(flags));
  image.Write(road.SpeedPairs, 48);
  image.WriteU16(static_cast<uint16_t>(road.Nodes.Size()));
}

}  // namespace

uint8_t RoadSpeedLimit(const TRoadAttributes& road, bool onlyLegalSpeed) {
  static const uint8_t kBySpeedClass[7] = {5, 20, 40, 60, 80, 90, 110};
  if (road.LegalSpeed != 0) return road.LegalSpeed;
  if (onlyLegalSpeed) return 255;
  if (road.SpeedClass == 255) return 5;
  return road.SpeedClass < 7 ? kBySpeedClass[road.SpeedClass] : 255;
}

void WriteOpeningHours(CMapWriter& writer, const CReallocArray<TOpeningRule>& rules, CMemStream& image) {
  uint64_t countPos = image.GetPos();
  image.WriteU16(0);
  if (rules.Empty()) return;
  // Rules are encoded apart, aligned as they will be in the image, so that
  // one that would overflow the u16 byte count can be left out whole.
  CMemStream& scratch = writer.hoursBuffer;
  uint64_t base = image.GetPos() % 4;
  scratch.Seek(base);
  uint64_t kept = base;
  size_t written = 0;
  for (const TOpeningRule& rule : rules) {
    EncodeRule(rule, scratch);
    if (scratch.GetPos() - base > 0xFFFF) break;
    kept = scratch.GetPos();
    written++;
  }
  if (written < rules.Size()) {
    g_Log.Print("Too long opening hours: %u of %u rules written", static_cast<unsigned>(written),
                static_cast<unsigned>(rules.Size()));
  }
  image.Write(scratch.Data() + base, kept - base);
  uint64_t end = image.GetPos();
  image.Seek(countPos);
  image.WriteU16(static_cast<uint16_t>(kept - base));
  image.Seek(end);
  scratch.Clear();
}

uint32_t WritePoiRecord(CMapWriter& writer, const CPOI& poi, CMemStream& image) {
  uint32_t start = BeginRecord(image);
  TObjectAddress address = writer.address.Lookup(writer, poi);
  THouseNumberEntry* house = nullptr;
  if (address.street && !poi.HouseNumber.empty()) {
    house = writer.address.FindOrAddHouseNumber(writer, poi.HouseNumber, *address.street);
    if (house && house->refs.refs.Empty()) house->AddRef(start);
  }
  image.WriteU32(static_cast<uint32_t>(poi.Type));
  WriteAddressRefs(image, address);
  image.WriteU32(house ? house->offset : 0);
  writer.text.WriteTitleString(image, poi.Label);
  writer.text.WriteTitleString(image, poi.Highway);
  image.WriteU8(poi.OvernightParking);
  int32_t from, to;
  const TLayerRange* range = writer.layers ? writer.layers->Find(LayerPoi, static_cast<uint32_t>(poi.Type)) : nullptr;
  if (writer.layers) {
    from = range ? range->from : 0;
    to = range ? range->to : 0;
  } else {
    from = poi.Points.Empty() ? 0 : poi.Points[0].Level;
    to = poi.EndLevel == 255 ? from : poi.EndLevel;
  }
  image.WriteU8(writer.layers && !range ? 255 : writer.LowerLevelCode(from));
  image.WriteU8(writer.LevelBits(to));
  AlignTo4(image);
  if (poi.Points.Empty()) {
    WritePoint(image, 0, 0);
  } else {
    WritePoint(image, poi.Points[0].x, poi.Points[0].y);
  }
  WriteOpeningHours(writer, poi.OpeningHours, image);
  WriteExtraTexts(writer, poi, image);
  WriteEntryPoints(writer, poi.EntryPoints, image);
  EndRecord(image, start);
  if (!poi.DontFind) {
    writer.words.AddWords(writer.text.Decode(poi.Label), start, 0);
    if (const CWideString* tags = writer.tags ? writer.tags->Find(poi.Type) : nullptr) {
      writer.words.AddWords(*tags, start, 0);
    }
  }
  return start;
}

uint32_t WritePolylineRecord(CMapWriter& writer, const CPolyline& line, CMemStream& image) {
  const TRoadAttributes* road = line.Routing && !line.Routing->AccessDenied[2] ? line.Routing : nullptr;
  if (road) CheckRouteNodes(line, *road);
  if (!writer.layers && line.Geometry.Size() > 255) {
    throw FormatLimitText("Too many geometry entries (%u) in one polyline", static_cast<unsigned>(line.Geometry.Size()));
  }
  uint32_t start = BeginRecord(image);
  TObjectAddress address = writer.address.Lookup(writer, line);
  if (address.street) address.street->AddRef(start);
  image.WriteU32(static_cast<uint32_t>(line.Type));
  WriteAddressRefs(image, address);
  size_t nodes = road ? road->Nodes.Size() : 0;
  CMapRouting* routing = road ? writer.routing : nullptr;
  if (routing) {
    for (const TRoadNode& n : road->Nodes) routing->InsertNodeKey(n.NodeId, n.Bound ? 1 : 0, start, n.PointIndex);
  }
  if (road) {
    WriteRoadBlock(writer, *road, image);
    if (nodes > 0) WriteZeros(image, 2 * (nodes - 1));
    for (const TRoadNode& n : road->Nodes) image.WriteU16(static_cast<uint16_t>(n.PointIndex));
  } else {
    WriteZeros(image, 58);
  }
  writer.text.WriteTitleString(image, line.Label);

  // Level bytes.
  size_t entries = line.Geometry.Size();
  if (writer.layers) {
    const TLayerRange* range = writer.layers->Find(LayerPolyline, static_cast<uint32_t>(line.Type));
    image.WriteU8(1);
    image.WriteU8(range ? writer.LowerLevelCode(range->from) : 255);
    image.WriteU8(writer.LevelBits(range ? range->to : 0));
    entries = entries ? 1 : 0;
  } else {
    image.WriteU8(static_cast<uint8_t>(entries));
    image.WriteU8(writer.LowerLevelCode(entries ? line.Geometry[0].Level : 0));
    if (entries) WriteEntryLevelBytes(writer, line, line.Geometry, entries, image);
  }

  size_t intervals = road ? RoadCount(road->Numbers.Size(), 255, "house-number intervals", *road) : 0;
  image.WriteU8(static_cast<uint8_t>(intervals));
  AlignTo4(image);
  for (size_t i = 0; i < intervals; i++) {
    const THouseNumbers& h = road->Numbers[i];
    image.WriteU16(static_cast<uint16_t>(h.PointIndex));
    image.WriteU16(static_cast<uint16_t>(h.LeftStart));
    image.WriteU16(static_cast<uint16_t>(h.LeftEnd));
    image.WriteU16(static_cast<uint16_t>(h.RightStart));
    image.WriteU16(static_cast<uint16_t>(h.RightEnd));
    image.WriteU8(static_cast<uint8_t>(h.LeftParity));
    image.WriteU8(static_cast<uint8_t>(h.RightParity));
  }

  for (size_t i = 0; i < entries; i++) image.WriteU32(static_cast<uint32_t>(line.Geometry[i].Points.Size()));
  for (size_t i = 0; i < entries; i++) WritePoints(writer, image, line.Geometry[i].Points);

  if (road) {
    // The node table references, filled with section 8, then the segment
    // blocks.
    const uint64_t refs = image.GetPos();
    WriteZeros(image, 4 * static_cast<uint64_t>(nodes));
    if (routing) {
      for (size_t i = 0; i < nodes; i++) {
        routing->AddNodeRefPlace(road->Nodes[i].NodeId, static_cast<uint32_t>(refs + 4 * i));
      }
      routing->WriteRoadGraphData(*road, image, start);
    }
  }
  size_t heights = road ? RoadCount(road->HLevels.Size(), 0xFFFF, "height levels", *road) : 0;
  image.WriteU16(static_cast<uint16_t>(heights));
  for (size_t i = 0; i < heights; i++) {
    image.WriteU16(static_cast<uint16_t>(road->HLevels[i].PointIndex));
    image.WriteU16(static_cast<uint16_t>(road->HLevels[i].Level));
  }
  WriteExtraTexts(writer, line, image);
  EndRecord(image, start);
  return start;
}

uint32_t WritePolygonRecord(CMapWriter& writer, const CPolygon& polygon, int drawDepth, CMemStream& image) {
  size_t rings = writer.layers ? FirstRunLength(polygon.Geometry) : polygon.Geometry.Size();
  if (rings > 0xFFFF) {
    throw FormatLimitText("Too many rings (%u) in one polygon", static_cast<unsigned>(rings));
  }
  uint32_t start = BeginRecord(image);
  TObjectAddress address = writer.address.Lookup(writer, polygon);
  THouseNumberEntry* house = nullptr;
  if (address.street && !polygon.HouseNumber.empty()) {
    house = writer.address.FindOrAddHouseNumber(writer, polygon.HouseNumber, *address.street);
    if (house) house->AddPolygonRef(start);
  }
  image.WriteU32(static_cast<uint32_t>(polygon.Type));
  WriteAddressRefs(image, address);
  image.WriteU32(house ? house->offset : 0);
  TGeoPoint label = ComputeLabelPoint(polygon, writer.labelScratch);
  image.WriteU32(static_cast<uint32_t>(label.x));
  image.WriteU32(static_cast<uint32_t>(label.y));
  writer.text.WriteTitleString(image, polygon.Label);
  image.WriteU16(static_cast<uint16_t>(rings));
  if (writer.layers) {
    const TLayerRange* range = writer.layers->Find(LayerPolygon, static_cast<uint32_t>(polygon.Type));
    image.WriteU8(range ? writer.LowerLevelCode(range->from) : 255);
    uint8_t bits = writer.LevelBits(range ? range->to : 0);
    for (size_t i = 0; i < rings; i++) image.WriteU8(bits);
  } else {
    image.WriteU8(writer.LowerLevelCode(rings ? polygon.Geometry[0].Level : 0));
    if (rings) WriteEntryLevelBytes(writer, polygon, polygon.Geometry, rings, image);
  }
  image.WriteU8(static_cast<uint8_t>((AreRingsConvex(polygon) ? 1 : 0) | (polygon.Background ? 2 : 0)));
  image.WriteU8(static_cast<uint8_t>(std::clamp(drawDepth - 1, 0, 255)));
  AlignTo4(image);
  for (size_t i = 0; i < rings; i++) image.WriteU32(static_cast<uint32_t>(polygon.Geometry[i].Points.Size()));
  for (size_t i = 0; i < rings; i++) WritePoints(writer, image, polygon.Geometry[i].Points);
  WriteOpeningHours(writer, polygon.OpeningHours, image);
  WriteExtraTexts(writer, polygon, image);
  WriteEntryPoints(writer, polygon.EntryPoints, image);
  EndRecord(image, start);
  if (!polygon.DontFind && !polygon.Label.empty()) writer.words.AddWords(writer.text.Decode(polygon.Label), start, 1);
  return start;
}

TGeoPoint ComputeLabelPoint(const CPolygon& polygon, CReallocArray<uint32_t>& distances) {
  size_t rings = FirstRunLength(polygon.Geometry);
  CGeoRect rect;
  for (size_t r = 0; r < rings; r++) {
    for (const TPointD& p : polygon.Geometry[r].Points) rect.ExtendByPoint(DegreesToGeoPoint(p.x, p.y));
  }
  if (rect.IsEmpty()) return {0x7FFFFFFF, 0x7FFFFFFF};
  // Spans and sums in 64 bits: a span may be wider than half the int32 range.
  const int64_t x1 = rect.x1;
  int64_t span = static_cast<int64_t>(rect.x2) - x1;
  if (rect.x2 < rect.x1) span += kUnits360;
  int32_t x = WrapUnits(x1 + span / 2);
  const int32_t y = static_cast<int32_t>((static_cast<int64_t>(rect.y1) + rect.y2) / 2);
  const double scan = y / kDegreeUnits;

  distances.Clear();
  for (size_t r = 0; r < rings; r++) {
    const CReallocArray<TPointD>& pts = polygon.Geometry[r].Points;
    for (size_t i = 0; i < pts.Size(); i++) {
      const TPointD& a = pts[i == 0 ? pts.Size() - 1 : i - 1];
      const TPointD& b = pts[i];
      const TPointD& lo = a.y <= b.y ? a : b;
      const TPointD& hi = a.y <= b.y ? b : a;
      if (!(lo.y <= scan && hi.y > scan)) continue;
      double dx = WrapDegrees(hi.x - lo.x);
      double cx = lo.x + (scan - lo.y) * dx / (hi.y - lo.y);
      if (cx >= 180) cx -= 360;
      if (cx < -180) cx += 360;
      double u = cx * kDegreeUnits;
      int64_t units = static_cast<int64_t>(u > 0 ? u + 0.5 : u - 0.5);
      distances.PushBack(EastDistance(rect.x1, static_cast<int32_t>(units)));
    }
  }
  std::sort(distances.begin(), distances.end());
  uint32_t widest = 0;
  for (size_t i = 0; i + 1 < distances.Size(); i += 2) {
    uint32_t gap = distances[i + 1] - distances[i];
    if (gap > widest) {
      widest = gap;
      x = WrapUnits(x1 + distances[i] + gap / 2);
    }
  }
  return {x, y};
}

bool AreRingsConvex(const CPolygon& polygon) {
  for (const TDataLevel& ring : polygon.Geometry) {
    const CReallocArray<TPointD>& p = ring.Points;
    size_t n = p.Size();
    int sign = 0;
    for (size_t i = 0; i < n; i++) {
      const TPointD& a = p[i];
      const TPointD& b = p[(i + 1) % n];
      const TPointD& c = p[(i + 2) % n];
      double d1 = WrapDegrees(b.x - a.x), d2 = WrapDegrees(c.x - b.x);
      double v = (c.y - b.y) * d1 - (b.y - a.y) * d2;
      int s = v > 0 ? 1 : (v < 0 ? -1 : 0);
      if (s == 0) continue;
      if (sign != 0 && s != sign) return false;
      sign = s;
    }
  }
  return true;
}

}  // namespace ZorvaneMap
