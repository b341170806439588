// The parameter file (key=value lines) and the run configuration it fills.
#pragma once

#include <cstdint>
#include <string>

#include "app/layersconfig.h"
#include "app/tagsconfig.h"
#include "core/containers.h"
#include "mapfile/writeconfig.h"

struct TConfigItem {
  std::string key;    // as written, blanks around it removed
  std::string value;  // blanks around it removed; may be empty or hold '='
  bool used = false;
};

class CConfigFile {
 public:
  // Reads the file; false when it cannot be read or a line is malformed.
  bool Load(const char* path);
  TConfigItem* AddItem();
  // Marks every item with the key (ASCII case ignored) used; returns the
  // first one, or null when there is none or its value is empty.
  TConfigItem* Find(const char* key);
  // False when absent; throws the item's key text when the value is not 0 or 1.
  bool GetBool(const char* key, bool* out);

  CReallocArray<TConfigItem> items;
};

enum TAtlasMode : uint32_t { AtlasModeNone = 0, AtlasModeInput = 1, AtlasModeOutput = 2 };

// The layers, tags, "url" and "onlyLegalSpeed" settings are the map
// writer's part (CMapWriteConfig).
class CConverterConfig : public CMapWriteConfig {
 public:
  CConverterConfig() { ResetConfig(); }
  CConverterConfig(const CConverterConfig&) = delete;
  CConverterConfig& operator=(const CConverterConfig&) = delete;

  void ResetConfig();
  // Loads the parameter file and the files it names; logs the reason and
  // returns false when the run cannot go on.
  bool LoadConfig(const char* path);

  CConfigFile file;
  CReallocArray<std::string> mapInputs;
  CReallocArray<std::string> tileInputs;
  std::string outputDirectory;  // empty, or ending in '/' or '\\'
  bool subdirs = false;
  bool compress = true;
  bool generalize = false;
  bool removeJitters = false;
  bool removeDupes = false;
  TAtlasMode atlasMode = AtlasModeInput;
};
