#include "app/tagsconfig.h"

#include <cstring>

#include "core/platform/platform.h"
#include "core/xml.h"
#include "mapfile/text.h"

CTagsConfig::CTagsConfig() : pool(100), tags(&pool) {}

CTagsConfig::~CTagsConfig() { Reset(); }

void CTagsConfig::Reset() {
  tags.Clear();
  texts.Free();
  document.reset();
}

const CWideString* CTagsConfig::Find(int32_t type) const {
  TMap::TNode* n = tags.Find(type);
  return n ? &texts[n->value.text] : nullptr;
}

void CTagsConfig::Add(int32_t type, const char16_t* text, size_t n) {
  if (TMap::TNode* node = tags.Find(type)) {
    CWideString& words = texts[node->value.text];
    words.AppendChar(u' ');
    words.Append(text, n);
    return;
  }
  texts.EmplaceBack(text, n);
  tags.InsertUnique(TTagsEntry{type, static_cast<uint32_t>(texts.Size() - 1)});
}

void CTagsConfig::RemoveRepeatedWords() {
  for (TMap::TNode* n = tags.First(); n; n = TMap::Next(n)) {
    CWideString& words = texts[n->value.text];
    size_t pos = 0;
    while (pos < words.Length()) {
      while (pos < words.Length() && words[pos] == u' ') pos++;
      size_t start = pos;
      while (pos < words.Length() && words[pos] != u' ' && words[pos] != 0) pos++;
      if (pos == start) {
        if (pos < words.Length()) pos++;  // a 0 unit: step over it
        continue;
      }
      // Compare with every earlier word of the entry.
      bool repeated = false;
      size_t p = 0;
      while (p < start && !repeated) {
        while (p < start && (words[p] == u' ' || words[p] == 0)) p++;
        size_t s = p;
        while (p < start && words[p] != u' ' && words[p] != 0) p++;
        if (p > s && CompareNoCaseN(words.GetText() + s, p - s, words.GetText() + start, pos - start) == 0) {
          repeated = true;
        }
      }
      if (repeated && start > 0) {
        words.Erase(start - 1, pos - start + 1);
        pos = start - 1;
      }
    }
  }
}

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

TWordView SplitWords(TWordView& view) {
  if (!view.text) return {nullptr, 0};
  const char16_t* p = view.text;
  const char16_t* end = view.text + view.length;
  while (p < end && *p == u' ') p++;
  const char16_t* word = p;
  while (p < end && *p != u' ') p++;
  TWordView result{word, static_cast<size_t>(p - word)};
  if (p < end) {
    view = {p + 1, static_cast<size_t>(end - p - 1)};
  } else {
    view = {nullptr, 0};
  }
  return result;
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

void WriteTagsTable(const CTagsConfig& config, CWriteStream& stream) {
  ZorvaneMap::AlignTo4(stream);
  uint32_t count = 0;
  for (CTagsConfig::TMap::TNode* n = config.tags.First(); n; n = CTagsConfig::TMap::Next(n)) count++;
  stream.WriteU32(count);
  uint64_t table = stream.GetPos();
  stream.Seek(table + 8ull * count);
  CReallocArray<uint32_t> offsets;
  offsets.Reserve(count);
  for (CTagsConfig::TMap::TNode* n = config.tags.First(); n; n = CTagsConfig::TMap::Next(n)) {
    const CWideString& words = config.texts[n->value.text];
    offsets.PushBack(static_cast<uint32_t>(stream.GetPos()));
    uint64_t countPos = stream.GetPos();
    stream.WriteU32(0);
    uint32_t wordCount = 0;
    TWordView view{words.GetText(), words.Length()};
    for (TWordView w = SplitWords(view); w.text; w = SplitWords(view)) {
      ZorvaneMap::AlignTo2(stream);
      ZorvaneMap::WriteTextUnits(stream, w.text, w.length);
      wordCount++;
    }
    uint64_t end = stream.GetPos();
    stream.Seek(countPos);
    stream.WriteU32(wordCount);
    stream.Seek(end);
  }
  uint64_t end = stream.GetPos();
  stream.Seek(table);
  size_t i = 0;
  for (CTagsConfig::TMap::TNode* n = config.tags.First(); n; n = CTagsConfig::TMap::Next(n)) {
    stream.WriteU32(static_cast<uint32_t>(n->value.type));
    stream.WriteU32(offsets[i++]);
  }
  stream.Seek(end);
}
