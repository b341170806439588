#include "mapfile/writer.h"

#include "core/log.h"

bool WriteMapFile(CMapWriter&, PolskiFormat::CMap&, const std::string&, const CConverterConfig&, bool,
                  const bool*) {
  g_Log.PrintText("Writing map files is not built yet.");
  return false;
}
