#include "app/tagsconfig.h"

#include <cstring>

#include "core/platform/platform.h"
#include "core/xml.h"

namespace {

bool IsBlank(char16_t c) { return c == u' '; }

const char16_t* SkipBlanks(const char16_t* p) {
  while (IsBlank(*p)) p++;
  return p;
}

// A number: hexadecimal right after "0x", else decimal (blanks in front
// allowed). The value -1 (all bits set) is refused.
bool ReadTypeNumber(const char16_t*& p, int32_t* value) {
  const char16_t* end = nullptr;
  if (p[0] == u'0' && p[1] == u'x') {
    uint32_t v = 0;
    if (!ParseWideHex(p + 2, v, end)) return false;
    *value = static_cast<int32_t>(v);
  } else {
    if (!ParseWideInt(p, *value, end)) return false;
  }
  p = end;
  return *value != -1;
}

}  // namespace

bool ParseTypeList(const char16_t* text, CReallocArray<TTypeRange>& ranges) {
  ranges.Clear();
  const char16_t* p = text;
  for (;;) {
    TTypeRange r;
    if (!ReadTypeNumber(p, &r.low)) return false;
    p = SkipBlanks(p);
    r.high = r.low;
    if (*p == u'-') {
      p = SkipBlanks(p + 1);
      if (!ReadTypeNumber(p, &r.high)) return false;
    }
    // Counted in 64 bits: a range up to 0x7fffffff must end, and a huge one
    // would exhaust memory.
    if (static_cast<int64_t>(r.high) - r.low + 1 > kMaxTypeRange) return false;
    ranges.PushBack(r);
    p = SkipBlanks(p);
    if (*p == 0) return true;
    if (*p != u',') return false;
    p = SkipBlanks(p + 1);
  }
}

bool LoadTagsConfig(CTagsConfig& config, const char* path) {
  auto document = std::make_unique<XML::CXMLDocument>();
  document->fileName = path;
  const XML::TXMLNode* root = document->Load(path);  // a malformed file throws
  if (!root) return false;
  if (Platform::StrICmp(root->name.c_str(), "tags") != 0) return false;
  const XML::TXMLAttribute* version = root->FindAttribute("version");
  static const char16_t kVersion[] = u"1.00";
  if (!version || version->value.Length() != 4 ||
      std::memcmp(version->value.GetText(), kVersion, 4 * sizeof(char16_t)) != 0) {
    return false;
  }
  CReallocArray<TTypeRange> ranges;
  for (const auto& poi : root->children) {
    if (Platform::StrICmp(poi->name.c_str(), "poi") != 0) continue;
    const XML::TXMLAttribute* type = poi->FindAttribute("type");
    if (!type || !ParseTypeList(type->value.GetText(), ranges)) continue;
    for (const auto& tag : poi->children) {
      if (Platform::StrICmp(tag->name.c_str(), "tag") != 0) continue;
      const XML::TXMLAttribute* text = tag->FindAttribute("text");
      if (!text || text->value.Empty()) continue;
      for (const TTypeRange& r : ranges) {
        for (int64_t t = r.low; t <= r.high; t++) {
          config.Add(static_cast<int32_t>(t), text->value.GetText(), text->value.Length());
        }
      }
    }
  }
  config.RemoveRepeatedWords();
  config.document = std::move(document);
  return true;
}
