// The few operating-system services the converter uses: regular files,
// directory listing, local time, a millisecond tick count and recursive
// locks. POSIX and the C++ standard library underneath.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace Platform {

// ---- Files opened for reading --------------------------------------------
using TFileHandle = int;
constexpr TFileHandle kInvalidFile = -1;

// Opens an existing regular file for reading; anything else (a directory, a
// device, a FIFO, a missing path) gives kInvalidFile, without blocking.
TFileHandle OpenFileForRead(const char* path);
bool GetFileSize(TFileHandle file, uint64_t* size);
// Reads exactly n bytes unless the file ends or fails; returns the count read.
uint64_t ReadFile(TFileHandle file, void* destination, uint64_t n);
bool SeekFile(TFileHandle file, uint64_t offset);
void CloseFile(TFileHandle file);

// ---- stdio with 64-bit positions -------------------------------------------
// Like fopen for the modes "rb", "r+b" and "wb", but refuses to open a
// directory (fopen accepts one for reading), and a FIFO that nobody reads
// fails instead of blocking.
FILE* OpenStdioFile(const char* path, const char* mode);
bool SeekStdio(FILE* f, uint64_t offset, int whence);
int64_t TellStdio(FILE* f);

// True when the path names an existing regular file.
bool IsRegularFile(const char* path);

// ---- Directories -----------------------------------------------------------
struct TFindData {
  std::string name;
  bool isDirectory = false;
};
// An open directory listing: every entry except "." and "..", sorted by name
// (byte order), so walks are reproducible.
struct TFindHandleData;
using TFindHandle = TFindHandleData*;

enum TFindResult { FindOk, FindEmpty, FindFailed };
// Opens the directory `dir` (which ends in a separator or is empty for the
// current directory) and returns its first entry. FindEmpty: a directory
// with no entries (no handle is returned).
TFindResult FindFirst(const std::string& dir, TFindHandle* handle, TFindData* data);
bool FindNext(TFindHandle handle, TFindData* data);
void FindClose(TFindHandle handle);
// Identity of the directory a handle lists, to notice symlink cycles.
bool SameDirectory(TFindHandle a, TFindHandle b);

bool CreateDirectory(const char* path);
bool DeleteFile(const char* path);

// ---- Time ------------------------------------------------------------------
struct TLocalTime {
  unsigned year, month, day, hour, minute, second, milliseconds;
};
TLocalTime GetLocalTime();
// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t GetTickCount();

// ---- Locks -----------------------------------------------------------------
// A recursive critical section: the thread that holds it may enter again.
class CCriticalSection {
 public:
  void Enter() { mutex.lock(); }
  void Leave() { mutex.unlock(); }

 private:
  std::recursive_mutex mutex;
};

// ---- Memory ------------------------------------------------------------------
// Asks the kernel to back the whole 2 MiB pages inside [p, p + n) with large
// pages. Only a hint: a big buffer then costs a page fault and a TLB entry per
// 2 MiB instead of per 4 KiB, which is most of what touching fresh memory
// costs. Does nothing for small ranges or where unsupported.
void AdviseLargePages(void* p, uint64_t n);
// Maps in the pages of [p, p + n) now, in one call instead of one page fault
// per page; false when not supported.
bool PrefaultPages(void* p, uint64_t n);
// The same for the heap: lets it grow in large steps and advises the part
// that grew since the last call. Call it often while many small objects are
// allocated (cheap when the heap did not grow).
void AdviseHeapGrowth();

// ---- Console -----------------------------------------------------------------
// A console that goes away (a pipe closed by its reader) must not end the
// run: writes to it then fail quietly instead of raising a signal.
void IgnoreClosedConsole();

// ASCII case-insensitive comparison, like the runtime's stricmp.
int StrICmp(const char* a, const char* b);

}  // namespace Platform
