// The atlas file joining the routing graphs of many maps.
// (Placeholder until the atlas lands: every build fails.)
#pragma once

#include <string>

#include "core/containers.h"

class CAtlasBuilder {
 public:
  CAtlasBuilder() = default;
  CAtlasBuilder(const CAtlasBuilder&) = delete;
  CAtlasBuilder& operator=(const CAtlasBuilder&) = delete;
};

// True when the atlas file was written; logs its own errors.
bool BuildAtlas(CAtlasBuilder& builder, const std::string& outputDirectory, const CReallocArray<std::string>& maps,
                const bool* stop);
