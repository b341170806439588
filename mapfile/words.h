// The word index (section 9): folded words of labels and tag texts, each
// with the POI and polygon records that carry it.
//
//   u32  image offset of the word table
//   per word, in ascending order of its units (unsigned, a prefix first):
//        0-1 zero byte to an even offset, u16 unit count, the units,
//        0-3 zero bytes to a multiple of 4, u32 reference count, the
//        references ascending without repeats (record offset | kind << 31,
//        kind 0 POI, 1 polygon)
//   word table: u32 word count, per word the offset of its entry's first
//        byte (its alignment byte included)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/containers.h"
#include "core/streams.h"
#include "core/widestring.h"

namespace ZorvaneMap {

struct TWordRefs {
  CWideString word;               // folded
  CReallocArray<uint32_t> refs;  // in the order added; sorted when written
};

class CWordIndex {
 public:
  CWordIndex();
  CWordIndex(const CWordIndex&) = delete;
  CWordIndex& operator=(const CWordIndex&) = delete;

  void Clear();
  // Splits the text at separators, folds each word and adds the reference.
  void AddWords(const char16_t* text, size_t n, uint32_t offset, uint32_t kind);
  void AddWords(const CWideString& text, uint32_t offset, uint32_t kind) {
    AddWords(text.GetText(), text.Length(), offset, kind);
  }
  // Section 9 at the stream's position.
  void Write(CWriteStream& stream);

  size_t WordCount() const { return words.Size(); }
  // The entry of a folded word, created empty when missing.
  TWordRefs& InsertWord(const char16_t* word, size_t n);

 private:
  struct TNodeValue {
    uint32_t index;  // into words
  };
  struct TCompare {
    const CReallocArray<TWordRefs>* words;
    int operator()(const std::u16string_view& key, const TNodeValue& v) const;
    int operator()(const TNodeValue& a, const TNodeValue& b) const;
  };
  using TMap = CAvlTreeMap<TNodeValue, TCompare>;

  CReallocArray<TWordRefs> words;
  TMap::TPool pool;
  TMap map;
  CWideString scratch;  // the word being folded
};

// True for the units that separate words.
bool IsWordSeparator(char16_t unit);

}  // namespace ZorvaneMap
