#include "routing/atlas.h"

#include "core/log.h"

bool BuildAtlas(CAtlasBuilder&, const std::string&, const CReallocArray<std::string>&, const bool*) {
  g_Log.PrintText("Building atlas files is not built yet.");
  return false;
}
