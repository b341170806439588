// The tags table: search words attached to POI types, written into every
// map file as its section 12. The application fills it from its tags
// configuration file (app/tagsconfig.h); the map writer reads it.
//
// Tags table (map file section 12), image offsets:
//   0-3 zero bytes to a multiple of 4
//   u32 type count
//   per type, ascending signed: u32 type, u32 offset of its block
//   per type, in the same order, back to back: u32 word count, then per
//   word one zero byte when the position is odd, u16 unit count, the units
#pragma once

#include <cstdint>
#include <memory>

#include "core/containers.h"
#include "core/streams.h"
#include "core/widestring.h"

namespace XML {
class CXMLDocument;
}

struct TTagsEntry {
  int32_t type;
  uint32_t text;  // index into CTagsConfig::texts
};

struct TTagsEntryCompare {
  int operator()(int32_t type, const TTagsEntry& e) const { return type < e.type ? -1 : (type > e.type ? 1 : 0); }
  int operator()(const TTagsEntry& a, const TTagsEntry& b) const { return (*this)(a.type, b); }
};

class CTagsConfig {
 public:
  using TMap = CAvlTreeMap<TTagsEntry, TTagsEntryCompare>;

  CTagsConfig();
  ~CTagsConfig();
  CTagsConfig(const CTagsConfig&) = delete;
  CTagsConfig& operator=(const CTagsConfig&) = delete;

  void Reset();
  // The words of a type (single spaces between them), or null.
  const CWideString* Find(int32_t type) const;
  // Appends a space and the text to the type's words, or adds the type.
  void Add(int32_t type, const char16_t* text, size_t n);
  // Drops repeated words of every type (case folded), each with the unit in
  // front of it.
  void RemoveRepeatedWords();

  TMap::TPool pool;
  TMap tags;
  CReallocArray<CWideString> texts;
  std::unique_ptr<XML::CXMLDocument> document;  // kept while the configuration lives
};

// The next space-separated word of a view; a null word ends the walk. A text
// ending in spaces yields one last word of length 0.
struct TWordView {
  const char16_t* text;
  size_t length;
};
TWordView SplitWords(TWordView& view);

// Section 12 at the stream's position; leaves the stream behind its end.
void WriteTagsTable(const CTagsConfig& tags, CWriteStream& stream);
