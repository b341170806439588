// The layers configuration file, read into the layers tables that the map
// writer uses (mapfile/layers.h).
//
//   level0=24            level table entry N = M (coordinate bits, 1-255)
//   [POI]                selects a table: poi, polyline or polygon
//   2a00,0,1             hexadecimal type, from level, to level
//   ; comment
#pragma once

#include "mapfile/layers.h"

// False when the file cannot be read or gives fewer than two levels.
bool LoadLayersConfig(CLayersConfig& layers, const char* path);
