#include "mapfile/words.h"

#include <algorithm>

#include "mapfile/text.h"

namespace ZorvaneMap {

namespace {

// Unsigned unit order; a prefix sorts first.
int CompareUnits(const char16_t* a, size_t na, const char16_t* b, size_t nb) {
  size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; i++) {
    if (a[i] != b[i]) return static_cast<uint16_t>(a[i]) < static_cast<uint16_t>(b[i]) ? -1 : 1;
  }
  return na < nb ? -1 : (na > nb ? 1 : 0);
}

bool IsAsciiAlnum(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

}  // namespace

bool IsWordSeparator(char16_t c) {
  if (c >= 1 && c <= 0x7F) return !IsAsciiAlnum(c);
  return (c >= 0x2000 && c <= 0x206F) || c == 0x00AB || c == 0x00B7 || c == 0x00BB;
}

int CWordIndex::TCompare::operator()(const std::u16string_view& key, const TNodeValue& v) const {
  const CWideString& w = (*words)[v.index].word;
  return CompareUnits(key.data(), key.size(), w.GetText(), w.Length());
}

int CWordIndex::TCompare::operator()(const TNodeValue& a, const TNodeValue& b) const {
  const CWideString& w = (*words)[a.index].word;
  return (*this)(std::u16string_view(w.GetText(), w.Length()), b);
}

CWordIndex::CWordIndex() : pool(1000), map(&pool, TCompare{&words}) {}

void CWordIndex::Clear() {
  map.Clear();
  words.Free();
}

TWordRefs& CWordIndex::InsertWord(const char16_t* word, size_t n) {
  std::u16string_view key(word, n);
  if (TMap::TNode* node = map.Find(key)) return words[node->value.index];
  words.EmplaceBack();
  words.Back().word.Assign(word, n);
  map.InsertUnique(key, TNodeValue{static_cast<uint32_t>(words.Size() - 1)});
  return words.Back();
}

void CWordIndex::AddWords(const char16_t* text, size_t n, uint32_t offset, uint32_t kind) {
  const uint32_t ref = offset | kind << 31;
  size_t i = 0;
  for (;;) {
    while (i < n && text[i] != 0 && IsWordSeparator(text[i])) i++;
    if (i >= n || text[i] == 0) return;
    scratch.Clear();
    while (i < n && text[i] != 0 && !IsWordSeparator(text[i])) {
      char16_t u = FoldCase(text[i++]);
      scratch.AppendChar(u == 0x0451 ? char16_t(0x0435) : u);
    }
    // The key is the word as stored, so that two words cut to the same
    // 65535 units share one entry.
    size_t stored = StoredTextLength(scratch.GetText(), scratch.Length());
    InsertWord(scratch.GetText(), stored).refs.PushBack(ref);
  }
}

void CWordIndex::Write(CWriteStream& stream) {
  const uint64_t start = stream.GetPos();
  stream.WriteU32(0);
  CReallocArray<uint32_t> table;
  table.Reserve(words.Size());
  for (TMap::TNode* node = map.First(); node; node = TMap::Next(node)) {
    TWordRefs& w = words[node->value.index];
    table.PushBack(static_cast<uint32_t>(stream.GetPos()));
    AlignTo2(stream);
    WriteTextUnits(stream, w.word.GetText(), w.word.Length());
    std::sort(w.refs.begin(), w.refs.end());
    w.refs.Resize(static_cast<size_t>(std::unique(w.refs.begin(), w.refs.end()) - w.refs.begin()));
    AlignTo4(stream);
    stream.WriteU32(static_cast<uint32_t>(w.refs.Size()));
    WriteU32Array(stream, w.refs.data, w.refs.Size());
  }
  const uint64_t tablePos = stream.GetPos();
  stream.Seek(start);
  stream.WriteU32(static_cast<uint32_t>(tablePos));
  stream.Seek(tablePos);
  stream.WriteU32(static_cast<uint32_t>(table.Size()));
  WriteU32Array(stream, table.data, table.Size());
}

}  // namespace ZorvaneMap
