// The global log: one line per message, the local time in front.
#pragma once

#include <cstdarg>
#include <string>

#include "core/containers.h"
#include "core/platform/platform.h"
#include "core/streams.h"

// Scoped guard over a critical section; a thrown exception releases it.
class CLockGuard {
 public:
  explicit CLockGuard(Platform::CCriticalSection* section) : held(section) { held->Enter(); }
  ~CLockGuard() { Unlock(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;
  void Unlock() {
    if (held) {
      held->Leave();
      held = nullptr;
    }
  }

 private:
  Platform::CCriticalSection* held;
};

class CLog {
 public:
  static constexpr size_t kFormatBufferSize = 1024;

  CLog();
  virtual ~CLog() = default;
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // printf-style message; cut to 1023 characters. Allocates nothing.
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void PrintV(const char* format, va_list args);
  // A message printed unchanged, of any length ('%' is not special).
  void PrintText(const char* text);
  // Writes "H:MM:SS.mmm: " into out (at least 48 bytes); returns its length.
  int FormatTimestamp(char* out);
  // Writes one message of the given length as one line.
  virtual void Write(const char* text, size_t length) = 0;

  bool enabled = true;
  bool timestamps = true;

 protected:
  CReallocArray<char> formatBuffer;
  Platform::CCriticalSection lock;
};

// The console log: stamp, text, newline, flush.
class CStdOutLog : public CLog {
 public:
  void Write(const char* text, size_t length) override;
};

// Appends each message to a file, opened and closed for every message; lines end in CR LF.
class CFileLog : public CLog {
 public:
  CFileLog() : stream(0) {}
  ~CFileLog() override;
  void Write(const char* text, size_t length) override;

  std::string fileName;

 private:
  CFileWriteStream stream;
};

extern CStdOutLog g_Log;
