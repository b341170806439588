// Object records of sections 2 (POIs), 3 (polylines and roads) and 4
// (polygons). A record starts 4-aligned; its image offset is its identity.
// "text" is a u16-counted UTF-16 text, "point" two int32 (x, y) in 2^-23
// degree units; "level code" is 255 for level 0, else the bits of the level
// below plus one; "level bits" the bits of a level.
//
// POI record:
//   u32 length  u32 type  u32 country, city, street records  u32 house number
//   text label  text highway  u8 overnight parking  u8 lower level code
//   u8 upper level bits  0-3 pad  point  opening hours  extra texts
//   entry points
//
// Polyline record (n = route nodes of a routing road, else none of the
// rows marked R):
//   u32 length  u32 type  u32 country, city, street records
//   58  road block (zeros for a plain polyline):
//       u32 road id, u8 speed limit, u8 speed (0.25 m/s), u16 flags,
//       24 x (u8, u8) speed pairs, u16 n
//   R   (n - 1) x u16 segment data offsets (filled by the routing stage)
//   R   n x u16 point index of each route node
//   text label  level bytes  u8 house-number interval count  0-3 pad
//   R   12 per interval: u16 point, u16 left start, end, right start, end,
//       u8 left parity, u8 right parity
//   geometry: u32 point count per written entry, then their points
//   R   n x u32 node table references (filled by the routing stage)
//   R   segment data (written by the routing stage)
//   u16 height-level count  R 4 each: u16 point index, u16 level
//   extra texts
//
// Polygon record:
//   u32 length  u32 type  u32 country, city, street records  u32 house number
//   point label point  text label  u16 ring count k  u8 lower level code
//   k x u8 level bits  u8 flags (bit 0 convex, bit 1 background)
//   u8 draw depth - 1  0-3 pad  k x u32 point counts  the points
//   opening hours  extra texts  entry points
//
// Opening hours: u16 byte count, then per rule u8 flags (bit 0 dates, bit 1
// weekdays, bit 2 time spans); weekdays: u8 mask (bit d = day d, Sunday 0;
// bit 7 nth weekdays follow) and a byte per nth weekday (bits 0-2 day, 3-5
// n, 7 = last; bit 6 another follows); dates: 0-3 pad, 4 bytes each (start
// month | end month << 4, start day, end day, 0x80 when another follows);
// time spans: 0-3 pad, u16 start and u16 end each (minutes & 0xFFF | kind <<
// 12; bit 15 of the end when another span follows).
// Extra texts: 0-1 pad, phone, fax, e-mail, web page, text.
// Entry points: 0-1 pad, u16 count, per entry: text, 0-3 pad, point.
#pragma once

#include <cstdint>

#include "core/geo.h"
#include "mapfile/writer.h"
#include "polski/map.h"

namespace ZorvaneMap {

// Each returns the record's image offset.
uint32_t WritePoiRecord(CMapWriter& writer, const PolskiFormat::CPOI& poi, CMemStream& image);
uint32_t WritePolylineRecord(CMapWriter& writer, const PolskiFormat::CPolyline& line, CMemStream& image);
uint32_t WritePolygonRecord(CMapWriter& writer, const PolskiFormat::CPolygon& polygon, int drawDepth,
                            CMemStream& image);

void WriteOpeningHours(CMapWriter& writer, const CReallocArray<PolskiFormat::TOpeningRule>& rules,
                       CMemStream& image);

// The label point of a polygon over the rings of its first level run;
// (0x7FFFFFFF, 0x7FFFFFFF) without points.
TGeoPoint ComputeLabelPoint(const PolskiFormat::CPolygon& polygon, CReallocArray<uint32_t>& scratch);
// True when no ring of any level turns both ways.
bool AreRingsConvex(const PolskiFormat::CPolygon& polygon);

// Speed-limit byte of a road block.
uint8_t RoadSpeedLimit(const PolskiFormat::TRoadAttributes& road, bool onlyLegalSpeed);

}  // namespace ZorvaneMap
