// Walking a directory tree one entry at a time, and creating the
// directories on the way to a file path.
#pragma once

#include <cstdint>
#include <string>

#include "core/containers.h"
#include "core/platform/platform.h"

constexpr uint32_t kFileAttributeDirectory = 0x10;

// Depth-first walk; the contents of a subdirectory come where the
// subdirectory was met (the subdirectory itself is not returned in a
// recursive walk). Entries of one directory come sorted by name.
class CDirIterator {
 public:
  CDirIterator() = default;
  CDirIterator(const std::string& path, bool recursive) { Open(path, recursive); }
  ~CDirIterator() { CloseAll(); }
  CDirIterator(const CDirIterator&) = delete;
  CDirIterator& operator=(const CDirIterator&) = delete;

  // True when the path opened as a directory.
  bool Open(const std::string& path, bool recursive);
  // False when the walk is over; EntryDirectory() is valid after true.
  bool Next(std::string* name, uint32_t* attributes);
  // Directory of the entry returned last, ending in a separator (or empty
  // for the current directory).
  const std::string& EntryDirectory() const { return entryDirectory; }

 private:
  enum TOpenResult { Opened, OpenedEmpty, OpenFailed };
  TOpenResult OpenDir(const std::string& path);
  void CloseAll();

  struct TLevel {
    Platform::TFindHandle handle;
    uint32_t pathLength;
  };
  bool recursive = false;
  CReallocArray<TLevel> levels;
  std::string currentDirectory;
  std::string entryDirectory;
  Platform::TFindData findData;
};

// Creates every directory on the way to a file path; the part behind the
// last '/' is a file name. Failures are ignored (a later write reports them).
void CreatePathDirectories(const std::string& path);

// True when the text ends in '/' or '\\'.
bool EndsWithSeparator(const std::string& path);
