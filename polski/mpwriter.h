// Writing map objects back as Polish-format (.mp) key lines. The converter
// never calls it; it completes the section interface (a section's Write) and
// lets tests and tools write what was loaded. Lines end in CR LF; the
// section's opening and closing lines are the caller's.
#pragma once

#include <cstdio>

#include "polski/objects.h"
#include "polski/restrictions.h"

namespace PolskiFormat {

void WritePOI(FILE* out, const CPOI& poi);
// `speed` asks for the "Speed" line of a road.
void WritePolyline(FILE* out, const CPolyline& polyline, bool speed);
void WritePolygon(FILE* out, const CPolygon& polygon);
// Writes nothing and returns false for a record that the loader could not
// read back: an id of 0xFFFFFFFF prints as -1, which ends a list.
bool WriteRestriction(FILE* out, const TRestriction& restriction);

}  // namespace PolskiFormat
