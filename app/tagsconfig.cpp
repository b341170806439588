#include "app/tagsconfig.h"

#include "core/platform/platform.h"

bool LoadTagsConfig(CTagsConfig&, const char* path) {
  Platform::TFileHandle f = Platform::OpenFileForRead(path);
  Platform::CloseFile(f);
  return f != Platform::kInvalidFile;
}
