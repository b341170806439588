#include "app/config.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/dirutil.h"
#include "core/log.h"
#include "core/streams.h"

namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string Trim(const char* begin, const char* end) {
  while (begin < end && IsBlank(*begin)) begin++;
  while (end > begin && IsBlank(end[-1])) end--;
  return std::string(begin, end);
}

// A configuration error: the offending key, or a message printed as it is.
struct TBadValue {
  std::string key;
};
struct TConfigMessage {
  const char* text;
};

}  // namespace

TConfigItem* CConfigFile::AddItem() { return items.EmplaceBack(); }

bool CConfigFile::Load(const char* path) {
  try {
    CFileReadStream stream(CBufReadStream::kWholeStream);
    if (!stream.Open(path)) return false;
    if (stream.GetRemaining() >= 3) {
      const uint8_t* bom = stream.GetData(3);
      if (!(bom[0] == 0xEF && bom[1] == 0xBB && bom[2] == 0xBF)) stream.Seek(0);
    }
    while (char* line = stream.ReadLine()) {
      if (line[0] == '#' || line[0] == ';') continue;
      while (*line && IsBlank(*line)) line++;
      if (!*line) continue;
      char* eq = std::strchr(line, '=');
      if (!eq || eq == line) return false;
      TConfigItem* item = AddItem();
      item->key = Trim(line, eq);
      item->value = Trim(eq + 1, eq + std::strlen(eq));
    }
    return true;
  } catch (const TStreamException&) {
    return false;
  }
}

TConfigItem* CConfigFile::Find(const char* key) {
  TConfigItem* first = nullptr;
  for (TConfigItem& item : items) {
    if (Platform::StrICmp(item.key.c_str(), key) != 0) continue;
    item.used = true;
    if (!first) first = &item;
  }
  return first && !first->value.empty() ? first : nullptr;
}

bool CConfigFile::GetBool(const char* key, bool* out) {
  TConfigItem* item = Find(key);
  if (!item) return false;
  const char* text = item->value.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (errno == ERANGE || end == text || *end || (v != 0 && v != 1)) throw TBadValue{item->key};
  *out = v == 1;
  return true;
}

void CConverterConfig::ResetConfig() {
  file.items.Free();
  mapInputs.Free();
  tileInputs.Free();
  outputDirectory.clear();
  layers.Reset();
  tags.Reset();
  subdirs = false;
  compress = true;
  generalize = false;
  removeJitters = false;
  removeDupes = false;
  atlasMode = AtlasModeInput;
  url.clear();
  onlyLegalSpeed = false;
}

bool CConverterConfig::LoadConfig(const char* path) {
  ResetConfig();
  if (!file.Load(path)) {
    g_Log.PrintText("Error loading config file.");
    return false;
  }
  try {
    for (TConfigItem& item : file.items) {
      CReallocArray<std::string>* list = nullptr;
      if (Platform::StrICmp(item.key.c_str(), "map") == 0) list = &mapInputs;
      if (Platform::StrICmp(item.key.c_str(), "tiles") == 0) list = &tileInputs;
      if (!list) continue;
      item.used = true;
      if (!item.value.empty()) list->PushBack(item.value);
    }
    if (TConfigItem* item = file.Find("output")) {
      outputDirectory = item->value;
      if (!EndsWithSeparator(outputDirectory)) outputDirectory += '/';
    }
    if (TConfigItem* item = file.Find("atlas")) {
      const char* v = item->value.c_str();
      if (Platform::StrICmp(v, "none") == 0) {
        atlasMode = AtlasModeNone;
      } else if (Platform::StrICmp(v, "input") == 0) {
        atlasMode = AtlasModeInput;
      } else if (Platform::StrICmp(v, "output") == 0) {
        atlasMode = AtlasModeOutput;
      } else {
        throw TBadValue{"atlas"};
      }
    }
    file.GetBool("subdirs", &subdirs);
    file.GetBool("compress", &compress);
    file.GetBool("generalize", &generalize);
    file.GetBool("removeDupes", &removeDupes);
    file.GetBool("removeJitters", &removeJitters);
    if (TConfigItem* item = file.Find("tags")) {
      if (!LoadTagsConfig(tags, item->value.c_str())) throw TConfigMessage{"Error loading tags config."};
    }
    if (TConfigItem* item = file.Find("layers")) {
      if (!LoadLayersConfig(layers, item->value.c_str())) throw TConfigMessage{"Error loading layers config."};
    }
    if (TConfigItem* item = file.Find("url")) url = item->value;
    file.GetBool("onlyLegalSpeed", &onlyLegalSpeed);
  } catch (const TBadValue& bad) {
    g_Log.Print("Bad \"%s\" value.", bad.key.c_str());
    return false;
  } catch (const TConfigMessage& message) {
    g_Log.PrintText(message.text);
    return false;
  }
  for (const TConfigItem& item : file.items) {
    if (!item.used) g_Log.Print("Wrong param \"%s\".", item.key.c_str());
  }
  return true;
}
