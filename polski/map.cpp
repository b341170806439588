#include "polski/map.h"

namespace PolskiFormat {

const char* CMap::LoadFile(const char*, const bool*) { return "Loading .mp files is not built yet."; }

void DropEmptyObjects(CMap&) {}

}  // namespace PolskiFormat
