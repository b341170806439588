// The layers configuration file: the level table and per-type level ranges.
// (Placeholder until its loader lands: the file must exist and be readable.)
#pragma once

class CLayersConfig {
 public:
  void Reset() {}
};

bool LoadLayersConfig(CLayersConfig& layers, const char* path);
