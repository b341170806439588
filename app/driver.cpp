#include "app/driver.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/dirutil.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "mapfile/writer.h"
#include "polski/cleaning.h"
#include "polski/map.h"
#include "raster/packer.h"
#include "routing/atlas.h"
#include "routing/maprouting.h"

std::string FormatElapsed(uint32_t stepMs, uint32_t totalMs) {
  uint32_t step = stepMs / 1000, total = totalMs / 1000;
  char text[96];
  std::snprintf(text, sizeof text, "Ok (%02u:%02u:%02u / %02u:%02u:%02u).", step / 3600, step / 60 % 60, step % 60,
                total / 3600, total / 60 % 60, total % 60);
  return text;
}

void PrintElapsed(uint32_t runStart, uint32_t stepStart) {
  uint32_t total = Platform::GetTickCount() - runStart;
  uint32_t step = Platform::GetTickCount() - stepStart;
  g_Log.PrintText(FormatElapsed(step, total).c_str());
}

std::string MapFileName(const std::string& mapPath) {
  size_t slash = mapPath.find_last_of("/\\");
  std::string name = slash == std::string::npos ? mapPath : mapPath.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name + ".qx";
}

bool HasExtension(const std::string& name, const char* extension) {
  size_t n = std::strlen(extension);
  return name.size() > 2 && name.size() >= n && Platform::StrICmp(name.c_str() + name.size() - n, extension) == 0;
}

namespace {

void Forget(CReallocArray<std::string>& list, const std::string& path) {
  for (size_t i = list.Size(); i-- > 0;) {
    if (list[i] == path) list.Erase(i, i + 1);
  }
}

}  // namespace

bool ConvertMap(const std::string& mapPath, const std::string& outputDirectory, const CConverterConfig& config,
                bool compress, CReallocArray<std::string>& writtenMaps, const bool* stop, uint32_t runStart) {
  g_Log.Print("Loading %s... ", mapPath.c_str());
  PolskiFormat::CMap map;
  const char* error = nullptr;
  try {
    error = map.LoadFile(mapPath.c_str(), stop);
  } catch (const std::bad_alloc&) {
    error = "Out of memory";
  } catch (const TStreamException&) {
    error = "Error loading file.";
  }
  if (error) {
    if (!*stop) g_Log.PrintText(error);
    return false;
  }
  std::string outputPath = outputDirectory + MapFileName(mapPath);
  bool written = false;
  try {
    if (config.removeJitters) {
      g_Log.PrintText("Removing jitters...");
      PolskiFormat::RemoveJitters(map);
    }
    if (config.removeDupes) {
      g_Log.PrintText("Removing duplicates...");
      PolskiFormat::RemoveDuplicates(map);
    }
    if (config.generalize) {
      g_Log.PrintText("Generalization...");
      PolskiFormat::Generalize(map);
    }
    PolskiFormat::DropEmptyObjects(map);
    g_Log.PrintText("Converting... ");
    uint32_t mapStart = Platform::GetTickCount();
    CMapWriter writer;
    CMapRoutingWriter routing;
    writer.routing = &routing;
    written = WriteMapFile(writer, map, outputPath, config, compress, stop);
    if (written) PrintElapsed(runStart, mapStart);
  } catch (const std::bad_alloc&) {
    g_Log.PrintText("Out of memory");
  } catch (const TStreamException&) {
    g_Log.PrintText("Error writing out file");
  }
  // Two inputs of one name write one file: list it once.
  Forget(writtenMaps, outputPath);
  if (written) {
    writtenMaps.PushBack(outputPath);
  } else if (Platform::IsRegularFile(outputPath.c_str())) {
    // Never unlink what is not a map file of ours (a device, a directory).
    Platform::DeleteFile(outputPath.c_str());
  }
  return written;
}

bool ForEachMapInput(const std::string& input, bool recursive, const bool* stop,
                     const std::function<void(const std::string& file, const std::string& relativeDir)>& visit) {
  bool endsInSeparator = EndsWithSeparator(input);
  CDirIterator dir;
  if (!dir.Open(input, recursive)) {
    if (endsInSeparator) return false;
    visit(input, std::string());
    return true;
  }
  // The iterator adds a separator behind an input that has none.
  size_t prefix = endsInSeparator ? input.size() : input.size() + 1;
  std::string name;
  uint32_t attributes;
  while (!*stop && dir.Next(&name, &attributes)) {
    if (!HasExtension(name, ".mp")) continue;
    const std::string& entryDir = dir.EntryDirectory();
    visit(entryDir + name, entryDir.size() > prefix ? entryDir.substr(prefix) : std::string());
  }
  return true;
}

void ProcessInput(const std::string& input, const std::string& outputDirectory, const CConverterConfig& config,
                  bool recursive, bool compress, CReallocArray<std::string>& writtenMaps, const bool* stop,
                  uint32_t runStart) {
  bool ok = ForEachMapInput(input, recursive, stop, [&](const std::string& file, const std::string& relativeDir) {
    ConvertMap(file, outputDirectory + relativeDir, config, compress, writtenMaps, stop, runStart);
  });
  if (!ok) g_Log.Print("Bad directory %s", input.c_str());
}

void CreateAtlas(const CReallocArray<std::string>& maps, const std::string& outputDirectory, const bool* stop,
                 uint32_t runStart) {
  if (maps.Empty()) return;
  g_Log.PrintText("Creating atlas file...");
  uint32_t atlasStart = Platform::GetTickCount();
  CAtlasBuilder builder;
  if (BuildAtlas(builder, outputDirectory, maps, stop)) {
    PrintElapsed(runStart, atlasStart);
  } else {
    g_Log.PrintText("Error creating atlas file.");
  }
}

void AtlasFromOutput(const std::string& outputDirectory, bool recursive, const bool* stop, uint32_t runStart) {
  CReallocArray<std::string> maps;
  CDirIterator dir;
  if (dir.Open(outputDirectory, recursive)) {
    std::string name;
    uint32_t attributes;
    while (!*stop && dir.Next(&name, &attributes)) {
      if (HasExtension(name, ".qx")) maps.PushBack(dir.EntryDirectory() + name);
    }
  }
  CreateAtlas(maps, outputDirectory, stop, runStart);
}

int RunConverter(const char* parameterFile) {
  Platform::TLocalTime now = Platform::GetLocalTime();
  std::printf("%02u.%02u.%04u\n", now.day, now.month, now.year);
  std::fflush(stdout);

  CConverterConfig config;
  if (!config.LoadConfig(parameterFile)) return 1;
  if (config.mapInputs.Empty() && config.tileInputs.Empty() && config.atlasMode != AtlasModeOutput) {
    std::puts("Nothing to do!");
    std::fflush(stdout);
  }

  CReallocArray<std::string> writtenMaps;
  bool stop = false;
  uint32_t runStart = Platform::GetTickCount();
  for (const std::string& input : config.mapInputs) {
    ProcessInput(input, config.outputDirectory, config, config.subdirs, config.compress, writtenMaps, &stop,
                 runStart);
  }

  if (config.atlasMode == AtlasModeOutput) {
    AtlasFromOutput(config.outputDirectory, config.subdirs, &stop, runStart);
  } else if (config.atlasMode == AtlasModeInput) {
    CreateAtlas(writtenMaps, config.outputDirectory, &stop, runStart);
  }

  std::string error;
  for (const std::string& tiles : config.tileInputs) {
    g_Log.Print("Converting tiles %s...", tiles.c_str());
    TRasterPackContext context;
    uint32_t count = PackRasterTiles(context, tiles, config.outputDirectory, &error);
    if (count) {
      g_Log.Print("%u tiles processed.", count);
    } else {
      g_Log.Print("Error: %s.", error.c_str());
    }
  }
  return 0;
}
