#include "core/dirutil.h"

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

void CDirIterator::CloseAll() {
  for (TLevel& level : levels) Platform::FindClose(level.handle);
  levels.Clear();
}

bool CDirIterator::Open(const std::string& path, bool recurse) {
  CloseAll();
  currentDirectory.clear();
  entryDirectory.clear();
  recursive = recurse;
  return OpenDir(path) != OpenFailed;
}

CDirIterator::TOpenResult CDirIterator::OpenDir(const std::string& path) {
  std::string p = currentDirectory + path;
  if (!p.empty() && !EndsWithSeparator(p)) p += '/';
  Platform::TFindHandle handle;
  Platform::TFindData first;
  switch (Platform::FindFirst(p, &handle, &first)) {
    case Platform::FindEmpty:
      return OpenedEmpty;
    case Platform::FindFailed:
      return OpenFailed;
    case Platform::FindOk:
      break;
  }
  // A link back to a directory that is already open would recurse forever.
  for (const TLevel& level : levels) {
    if (Platform::SameDirectory(level.handle, handle)) {
      Platform::FindClose(handle);
      return OpenFailed;
    }
  }
  levels.PushBack(TLevel{handle, static_cast<uint32_t>(p.size())});
  currentDirectory = p;
  findData = first;
  return Opened;
}

bool CDirIterator::Next(std::string* name, uint32_t* attributes) {
  if (levels.Empty()) return false;
  for (;;) {
    *name = findData.name;
    *attributes = findData.isDirectory ? kFileAttributeDirectory : 0;
    entryDirectory = currentDirectory;
    bool give = true;
    if (recursive && findData.isDirectory) {
      TOpenResult r = OpenDir(findData.name);
      if (r == Opened) continue;  // went down: look at the subdirectory's first entry
      // An empty subdirectory yields nothing; one that cannot be entered is an entry.
      give = r == OpenFailed;
    }
    while (!Platform::FindNext(levels.Back().handle, &findData)) {
      Platform::FindClose(levels.Back().handle);
      levels.PopBack();
      if (levels.Empty()) return give;
      currentDirectory.resize(levels.Back().pathLength);
    }
    if (give) return true;
  }
}

void CreatePathDirectories(const std::string& path) {
  if (path.empty()) return;
  size_t i = path.size() > 1 && path[1] == ':' ? 2 : 0;
  while (i < path.size() && path[i] == '/') i++;
  for (; i < path.size(); i++) {
    if (path[i] == '/') Platform::CreateDirectory(path.substr(0, i).c_str());
  }
}
