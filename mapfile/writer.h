// The map file writer: one loaded map into one .qx file.
// (Placeholder until the writer lands: every write fails.)
#pragma once

#include <string>

#include "polski/map.h"

class CConverterConfig;

class CMapWriter {
 public:
  CMapWriter() = default;
  CMapWriter(const CMapWriter&) = delete;
  CMapWriter& operator=(const CMapWriter&) = delete;
};

// True when the whole file was written; logs its own errors.
bool WriteMapFile(CMapWriter& writer, PolskiFormat::CMap& map, const std::string& outputPath,
                  const CConverterConfig& config, bool compress, const bool* stop);
