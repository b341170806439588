#include "mapfile/tagstable.h"

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
