// The tags configuration file: search words attached to POI types, read
// from an XML file into the tags table that every map file gets
// (mapfile/tagstable.h).
//
//   <tags version="1.00">
//     <poi type="0x2a00-0x2a02, 17"><tag>cafe bar</tag></poi>
//   </tags>
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "mapfile/tagstable.h"

// A range of types, both ends included.
struct TTypeRange {
  int32_t low;
  int32_t high;
  bool operator==(const TTypeRange&) const = default;
};

// False when the file cannot be read, its root is not "tags" or its version
// is not "1.00". A malformed file throws XML::CWrongXMLException.
bool LoadTagsConfig(CTagsConfig& tags, const char* path);

// "0x2a00-0x2a02, 17": numbers or ranges separated by ','; hexadecimal after
// "0x", else decimal. False for a malformed list, a -1, or a range wider
// than kMaxTypeRange types.
constexpr int64_t kMaxTypeRange = 0x20000;
bool ParseTypeList(const char16_t* text, CReallocArray<TTypeRange>& ranges);
