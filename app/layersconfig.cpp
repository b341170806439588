#include "app/layersconfig.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/platform/platform.h"
#include "core/streams.h"

namespace {

bool StartsWithNoCase(const char* text, const char* prefix) {
  for (; *prefix; text++, prefix++) {
    char a = *text, b = *prefix;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// strtoull that must consume a digit and stay in range; as the runtime's
// scanf, it skips leading white space and takes a sign ("-1" wraps to huge).
bool ScanNumber(const char*& p, int base, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(p, &end, base);
  if (end == p || errno == ERANGE) return false;
  p = end;
  *out = v;
  return true;
}

// "%x,%u,%u": type, from level, to level.
bool ParseTableLine(const char* line, uint64_t* type, uint64_t* from, uint64_t* to) {
  const char* p = line;
  if (!ScanNumber(p, 16, type) || *p++ != ',') return false;
  if (!ScanNumber(p, 10, from) || *p++ != ',') return false;
  return ScanNumber(p, 10, to);
}

void ParseLevelLine(CLayersConfig& layers, const char* line) {
  const char* eq = std::strchr(line, '=');
  const char* numberStart = line + 5;  // behind "level"
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(numberStart, &end, 10);
  if (end == numberStart || errno == ERANGE) return;
  errno = 0;
  long long m = std::strtoll(eq + 1, &end, 10);
  if (end == eq + 1 || errno == ERANGE) return;
  // Compared in 64 bits: a negative N is out of range, not a huge index.
  if (n < 0 || n > 255 || m < 1 || m > 255) return;
  size_t index = static_cast<size_t>(n);
  if (layers.levels.Size() <= index) layers.levels.ResizeZeroed(index + 1);
  layers.levels[index] = static_cast<uint8_t>(m);
}

void ParseSectionLine(const char* line, CLayersConfig::TTable* tables, CLayersConfig::TTable** selected) {
  const char* close = std::strchr(line + 1, ']');
  if (!close) return;
  std::string name(line + 1, close);
  *selected = nullptr;
  if (Platform::StrICmp(name.c_str(), "poi") == 0) *selected = &tables[LayerPoi];
  if (Platform::StrICmp(name.c_str(), "polyline") == 0) *selected = &tables[LayerPolyline];
  if (Platform::StrICmp(name.c_str(), "polygon") == 0) *selected = &tables[LayerPolygon];
}

}  // namespace

bool LoadLayersConfig(CLayersConfig& layers, const char* path) {
  try {
    CFileReadStream stream(1024);
    if (!stream.Open(path)) return false;
    CLayersConfig::TTable* selected = nullptr;
    bool first = true;
    while (char* line = stream.ReadLine()) {
      if (first && static_cast<uint8_t>(line[0]) == 0xEF && static_cast<uint8_t>(line[1]) == 0xBB &&
          static_cast<uint8_t>(line[2]) == 0xBF) {
        line += 3;
      }
      first = false;
      if (line[0] == '[') {
        ParseSectionLine(line, layers.tables, &selected);
      } else if (line[0] == ';') {
        continue;
      } else if (!selected) {
        if (std::strchr(line, '=') && StartsWithNoCase(line, "level")) ParseLevelLine(layers, line);
      } else {
        uint64_t type, from, to;
        if (!ParseTableLine(line, &type, &from, &to)) continue;
        // 64-bit checks: "1,0,-1" must not wrap into a valid range.
        if (type > UINT32_MAX || to > 255 || to < from || to + 1 >= layers.levels.Size()) continue;
        TLayerEntry entry{static_cast<uint32_t>(type), {static_cast<uint8_t>(from), static_cast<uint8_t>(to)}};
        selected->InsertUnique(entry);  // the first entry of a type wins
      }
    }
  } catch (const TStreamException&) {
    return false;
  }
  return layers.levels.Size() > 1;
}
