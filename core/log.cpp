#include "core/log.h"

#include <cstdio>
#include <cstring>

CStdOutLog g_Log;

CLog::CLog() {
  formatBuffer.Resize(kFormatBufferSize);
  formatBuffer[kFormatBufferSize - 1] = 0;
}

void CLog::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintV(format, args);
  va_end(args);
}

void CLog::PrintV(const char* format, va_list args) {
  if (!enabled) return;
  CLockGuard guard(&lock);
  int n = std::vsnprintf(formatBuffer.data, kFormatBufferSize, format, args);
  size_t length = n < 0 ? 0 : static_cast<size_t>(n);
  if (n < 0) formatBuffer[0] = 0;
  if (length > kFormatBufferSize - 1) length = kFormatBufferSize - 1;
  Write(formatBuffer.data, length);
}

void CLog::PrintText(const char* text) {
  if (!enabled) return;
  CLockGuard guard(&lock);
  Write(text, std::strlen(text));
}

int CLog::FormatTimestamp(char* out) {
  if (!timestamps) return 0;
  Platform::TLocalTime t = Platform::GetLocalTime();
  return std::snprintf(out, 48, "%u:%02u:%02u.%03u: ", t.hour, t.minute, t.second, t.milliseconds);
}

void CStdOutLog::Write(const char* text, size_t) {
  char stamp[48];
  if (FormatTimestamp(stamp) > 0) std::printf("%s", stamp);
  std::puts(text);
  std::fflush(stdout);
}

CFileLog::~CFileLog() { stream.Close(); }

void CFileLog::Write(const char* text, size_t length) {
  if (!stream.Open(fileName.c_str(), true)) return;
  try {
    char stamp[48];
    int n = FormatTimestamp(stamp);
    if (n > 0) stream.Write(stamp, static_cast<uint64_t>(n));
    stream.Write(text, length);
    uint8_t cr = 13, lf = 10;
    stream.Write(&cr, 1);
    stream.Write(&lf, 1);
  } catch (const TStreamException&) {
    // The message is lost without a report.
  }
  stream.Close();
}
