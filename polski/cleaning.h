// The cleaning passes, each run on a loaded map when its key is set.
// (Placeholders until the passes land: they change nothing.)
#pragma once

#include "polski/map.h"

namespace PolskiFormat {

void RemoveJitters(CMap& map);
void RemoveDuplicates(CMap& map);
void Generalize(CMap& map);

}  // namespace PolskiFormat
