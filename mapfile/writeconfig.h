// What the map writer takes from the run's configuration: the layers and
// tags tables, the "url" text and whether roads keep only legal speeds. The
// application's configuration (app/config.h) is one of these; the writer
// knows nothing more of it.
#pragma once

#include <string>

#include "mapfile/layers.h"
#include "mapfile/tagstable.h"

class CMapWriteConfig {
 public:
  CMapWriteConfig() = default;
  CMapWriteConfig(const CMapWriteConfig&) = delete;
  CMapWriteConfig& operator=(const CMapWriteConfig&) = delete;

  CLayersConfig layers;
  CTagsConfig tags;
  std::string url;
  bool onlyLegalSpeed = false;
};
