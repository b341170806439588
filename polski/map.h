// The in-memory map read from a Polish-format (.mp) file.
// (Placeholder until the loader lands: LoadFile fails every map.)
#pragma once

namespace PolskiFormat {

class CMap {
 public:
  CMap() = default;
  ~CMap() = default;
  CMap(const CMap&) = delete;
  CMap& operator=(const CMap&) = delete;

  // Null on success, otherwise a static error text.
  const char* LoadFile(const char* path, const bool* stop);
};

// Drops geometry entries without points and objects without geometry.
void DropEmptyObjects(CMap& map);

}  // namespace PolskiFormat
