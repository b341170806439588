#include "raster/packer.h"

uint32_t PackRasterTiles(TRasterPackContext&, const std::string&, const std::string&, std::string* error) {
  *error = "packing raster tiles is not built yet";
  return 0;
}
