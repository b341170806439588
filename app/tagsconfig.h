// The tags configuration file, whose table is written into every map file.
// (Placeholder until its loader lands: the file must exist and be readable.)
#pragma once

class CTagsConfig {
 public:
  void Reset() {}
};

bool LoadTagsConfig(CTagsConfig& tags, const char* path);
