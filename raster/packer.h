// Packs a directory tree of z/x/y raster tiles into .qxr files.
// (Placeholder until the packer lands: every input fails.)
#pragma once

#include <cstdint>
#include <string>

struct TRasterPackContext {};

// Number of tiles written, or 0 with the reason in *error.
uint32_t PackRasterTiles(TRasterPackContext& context, const std::string& tilesDirectory,
                         const std::string& outputDirectory, std::string* error);
