#include "core/platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace Platform {

namespace {

// Opens without waiting: a FIFO with no writer (or, for writing, no reader)
// would block the open for good. Once the file is known, reads and writes
// block again as usual. -1 on failure.
int OpenNonBlocking(const char* path, int flags, struct stat* st) {
  int fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return -1;
  if (::fstat(fd, st) != 0 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TFileHandle OpenFileForRead(const char* path) {
  struct stat st;
  int fd = OpenNonBlocking(path, O_RDONLY, &st);
  if (fd < 0) return kInvalidFile;
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return kInvalidFile;
  }
  return fd;
}

bool GetFileSize(TFileHandle file, uint64_t* size) {
  struct stat st;
  if (::fstat(file, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

uint64_t ReadFile(TFileHandle file, void* destination, uint64_t n) {
  uint64_t done = 0;
  char* p = static_cast<char*>(destination);
  while (done < n) {
    uint64_t chunk = std::min<uint64_t>(n - done, 0x40000000u);
    ssize_t r = ::read(file, p + done, static_cast<size_t>(chunk));
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (r == 0) break;
    done += static_cast<uint64_t>(r);
  }
  return done;
}

bool SeekFile(TFileHandle file, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::lseek(file, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

void CloseFile(TFileHandle file) {
  if (file != kInvalidFile) ::close(file);
}

FILE* OpenStdioFile(const char* path, const char* mode) {
  int flags;
  if (std::strcmp(mode, "rb") == 0) {
    flags = O_RDONLY;
  } else if (std::strcmp(mode, "r+b") == 0) {
    flags = O_RDWR;
  } else if (std::strcmp(mode, "wb") == 0) {
    flags = O_WRONLY | O_CREAT | O_TRUNC;
  } else {
    return nullptr;
  }
  struct stat st;
  int fd = OpenNonBlocking(path, flags, &st);
  if (fd < 0) return nullptr;
  FILE* f = S_ISDIR(st.st_mode) ? nullptr : ::fdopen(fd, mode);
  if (!f) ::close(fd);
  return f;
}

bool SeekStdio(FILE* f, uint64_t offset, int whence) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::fseeko(f, static_cast<off_t>(offset), whence) == 0;
}

int64_t TellStdio(FILE* f) { return static_cast<int64_t>(::ftello(f)); }

bool IsRegularFile(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

struct TFindHandleData {
  std::vector<TFindData> entries;
  size_t next = 0;
  dev_t device = 0;
  ino_t inode = 0;
};

TFindResult FindFirst(const std::string& dir, TFindHandle* handle, TFindData* data) {
  std::string path = dir.empty() ? std::string(".") : dir;
  DIR* d = ::opendir(path.c_str());
  if (!d) return FindFailed;
  auto* h = new TFindHandleData;
  struct stat st;
  if (::fstat(::dirfd(d), &st) == 0) {
    h->device = st.st_dev;
    h->inode = st.st_ino;
  }
  while (struct dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    TFindData item;
    item.name = e->d_name;
    // Follow links: a link to a directory is walked like a directory.
    struct stat es;
    if (::fstatat(::dirfd(d), e->d_name, &es, 0) == 0) item.isDirectory = S_ISDIR(es.st_mode);
    h->entries.push_back(std::move(item));
  }
  ::closedir(d);
  std::sort(h->entries.begin(), h->entries.end(),
            [](const TFindData& a, const TFindData& b) { return a.name < b.name; });
  if (h->entries.empty()) {
    delete h;
    return FindEmpty;
  }
  *data = h->entries[0];
  h->next = 1;
  *handle = h;
  return FindOk;
}

bool FindNext(TFindHandle handle, TFindData* data) {
  if (handle->next >= handle->entries.size()) return false;
  *data = handle->entries[handle->next++];
  return true;
}

void FindClose(TFindHandle handle) { delete handle; }

bool SameDirectory(TFindHandle a, TFindHandle b) {
  return a->device == b->device && a->inode == b->inode && (a->inode != 0 || a->device != 0);
}

bool CreateDirectory(const char* path) { return ::mkdir(path, 0777) == 0; }

bool DeleteFile(const char* path) { return ::unlink(path) == 0; }

TLocalTime GetLocalTime() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  struct tm tmv;
  ::localtime_r(&secs, &tmv);
  return TLocalTime{static_cast<unsigned>(tmv.tm_year + 1900), static_cast<unsigned>(tmv.tm_mon + 1),
                    static_cast<unsigned>(tmv.tm_mday),        static_cast<unsigned>(tmv.tm_hour),
                    static_cast<unsigned>(tmv.tm_min),         static_cast<unsigned>(tmv.tm_sec),
                    static_cast<unsigned>(ts.tv_nsec / 1000000)};
}

uint32_t GetTickCount() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void IgnoreClosedConsole() { ::signal(SIGPIPE, SIG_IGN); }

int StrICmp(const char* a, const char* b) {
  for (;; a++, b++) {
    int ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb || ca == 0) return ca - cb;
  }
}

namespace {
constexpr uintptr_t kLargePage = 2u << 20;
uintptr_t PageSize() {
  static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}
}  // namespace

void AdviseLargePages(void* p, uint64_t n) {
#ifdef MADV_HUGEPAGE
  uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  if (n > UINTPTR_MAX - begin) return;
  uintptr_t from = (begin + kLargePage - 1) & ~(kLargePage - 1);
  uintptr_t end = (begin + static_cast<uintptr_t>(n)) & ~(kLargePage - 1);
  if (end > from) madvise(reinterpret_cast<void*>(from), end - from, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

bool PrefaultPages(void* p, uint64_t n) {
#ifdef MADV_POPULATE_WRITE
  uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  if (n == 0 || n > UINTPTR_MAX - begin) return false;
  uintptr_t from = begin & ~(PageSize() - 1);
  uintptr_t end = begin + static_cast<uintptr_t>(n);
  return madvise(reinterpret_cast<void*>(from), end - from, MADV_POPULATE_WRITE) == 0;
#else
  (void)p;
  (void)n;
  return false;
#endif
}

void AdviseHeapGrowth() {
#ifdef MADV_HUGEPAGE
  // The end of what was advised; 0 before the first call, which also makes
  // the heap grow in steps of several large pages. (The step is also what
  // the heap keeps when it could shrink: 16 MiB leaves the peak memory of a
  // big conversion as it was.)
  static std::atomic<uintptr_t> advisedEnd{0};
  uintptr_t from = advisedEnd.load(std::memory_order_relaxed);
  if (from == 0) mallopt(M_TOP_PAD, 16 << 20);
  void* top = sbrk(0);
  if (top == reinterpret_cast<void*>(-1)) return;
  uintptr_t end = reinterpret_cast<uintptr_t>(top);
  if (end <= from) return;
  advisedEnd.store(end, std::memory_order_relaxed);
  if (from == 0) return;  // what is there now was touched already
  from &= ~(PageSize() - 1);
  madvise(reinterpret_cast<void*>(from), end - from, MADV_HUGEPAGE);
#endif
}

}  // namespace Platform
