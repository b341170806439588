#include "app/layersconfig.h"

#include "core/platform/platform.h"

bool LoadLayersConfig(CLayersConfig&, const char* path) {
  Platform::TFileHandle f = Platform::OpenFileForRead(path);
  Platform::CloseFile(f);
  return f != Platform::kInvalidFile;
}
