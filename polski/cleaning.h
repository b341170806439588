// The cleaning passes, each run on a loaded map when its key is set, in this
// order: jitter removal, duplicate removal, generalization. Each logs its
// own statistics; the caller prints the heading line.
#pragma once

#include "polski/map.h"

namespace PolskiFormat {

// Removes repeated vertices and A, B, A spikes from every polygon ring.
void RemoveJitters(CMap& map);
// Removes POIs, polylines and polygons that repeat another object (or lie
// inside one), keeping the better described one; restrictions that named a
// removed road name its survivor.
void RemoveDuplicates(CMap& map);
// Gives every polygon and polyline simplified geometry of its own on each
// level it is shown on, and clears its EndLevel.
void Generalize(CMap& map);

}  // namespace PolskiFormat
