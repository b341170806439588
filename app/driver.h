// The run driver: configuration, the "map" inputs, the atlas and the
// "tiles" inputs, with progress and timing lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/config.h"
#include "core/containers.h"

// 0 after any run whose configuration loaded, 1 when it did not.
int RunConverter(const char* parameterFile);

void ProcessInput(const std::string& input, const std::string& outputDirectory, const CConverterConfig& config,
                  bool recursive, bool compress, CReallocArray<std::string>& writtenMaps, const bool* stop,
                  uint32_t runStart);
bool ConvertMap(const std::string& mapPath, const std::string& outputDirectory, const CConverterConfig& config,
                bool compress, CReallocArray<std::string>& writtenMaps, const bool* stop, uint32_t runStart);
void CreateAtlas(const CReallocArray<std::string>& maps, const std::string& outputDirectory, const bool* stop,
                 uint32_t runStart);
void AtlasFromOutput(const std::string& outputDirectory, bool recursive, const bool* stop, uint32_t runStart);
void PrintElapsed(uint32_t runStart, uint32_t stepStart);

// Walks one "map" input: every ".mp" file of a directory (recursing when
// asked) with the directory part relative to the input, or the input itself
// as a single file. False for an input that ends in a separator but is no
// directory.
bool ForEachMapInput(const std::string& input, bool recursive, const bool* stop,
                     const std::function<void(const std::string& file, const std::string& relativeDir)>& visit);

// "Ok (hh:mm:ss / hh:mm:ss)." for a step and a total in milliseconds.
std::string FormatElapsed(uint32_t stepMs, uint32_t totalMs);
// The map file name for an input path: its last component with the
// extension replaced by ".qx".
std::string MapFileName(const std::string& mapPath);
// True when the name is longer than 2 characters and ends in the extension
// (ASCII case ignored).
bool HasExtension(const std::string& name, const char* extension);
