#include "core/streams.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

[[noreturn]] void Throw(TStreamErrorCode code) { throw TStreamException{code}; }

// A 64-bit byte count as a size_t, or the allocation error when the build's
// address space cannot hold it.
size_t ToSize(uint64_t n) {
  if (n > SIZE_MAX) throw std::bad_alloc();
  return static_cast<size_t>(n);
}

// Index of the first CR or LF in the n bytes, or n. memchr is vectorised;
// the windows grow so that a file of CR-only line ends, where no LF comes,
// is not scanned to its end for every line.
uint64_t FindLineEnd(const char* p, uint64_t n) {
  size_t limit = ToSize(n);
  for (size_t offset = 0, window = 64; offset < limit; offset += window, window = window < 4096 ? window * 2 : window) {
    size_t length = limit - offset < window ? limit - offset : window;
    const void* lf = std::memchr(p + offset, '\n', length);
    size_t end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - p) : offset + length;
    if (const void* cr = std::memchr(p + offset, '\r', end - offset)) return static_cast<const char*>(cr) - p;
    if (lf) return end;
  }
  return limit;
}

}  // namespace

// ---- CBufReadStream --------------------------------------------------------

CBufReadStream::CBufReadStream(uint64_t size) : bufferSize(size) {
  if (size == 0 || size == kWholeStream) return;
  if (size < 1024) {
    bufferSize = 1024;
  } else if (size % 512) {
    bufferSize = (size / 512 + 1) * 512;
  }
  AllocateBuffer(bufferSize + 1);
}

CBufReadStream::~CBufReadStream() { std::free(buffer); }

void CBufReadStream::AllocateBuffer(uint64_t bytes) {
  std::free(buffer);
  buffer = nullptr;
  buffer = static_cast<uint8_t*>(std::malloc(ToSize(bytes)));
  if (!buffer) throw std::bad_alloc();
  Platform::AdviseLargePages(buffer, bytes);
}

void CBufReadStream::Rewind() {
  position = 0;
  bufferOffset = 0;
  RawSeek(0);
  if (bufferSize == 0) return;
  if (bufferSize == kWholeStream) {
    uint64_t size = GetSize();
    if (size == kWholeStream) throw std::bad_alloc();
    AllocateBuffer(size + 1);
  }
  RawRead(buffer, std::min(GetSize(), bufferSize));
}

uint64_t CBufReadStream::GetRemaining() { return GetSize() - position; }
uint64_t CBufReadStream::GetPos() { return position; }

uint64_t CBufReadStream::GetMaxData() {
  if (bufferSize == 0) return 0;
  if (bufferSize == kWholeStream) return GetSize();
  return bufferSize - 512;
}

uint64_t CBufReadStream::GetAvailable() {
  if (bufferSize == 0) return 0;
  return std::min({GetRemaining(), bufferSize - bufferOffset, GetMaxData()});
}

// Loads the buffer with the stream bytes from streamStart (a multiple of 512).
void CBufReadStream::RefillFrom(uint64_t streamStart) {
  RawRead(buffer, std::min(GetSize() - streamStart, bufferSize));
}

const uint8_t* CBufReadStream::GetData(uint64_t n) {
  if (GetRemaining() < n) Throw(StreamErrorRange);
  if (bufferSize == 0) Throw(StreamErrorBuffer);
  if (bufferOffset + n > bufferSize) {
    uint64_t c = position % 512;
    if (c + n > bufferSize) Throw(StreamErrorBuffer);
    uint64_t from = bufferOffset - c;
    uint64_t kept = bufferSize - from;
    uint64_t bufferEnd = position - bufferOffset + bufferSize;  // stream offset behind the buffer
    std::memmove(buffer, buffer + from, ToSize(kept));
    bufferOffset = c;
    RawRead(buffer + kept, std::min(bufferSize - kept, GetSize() - bufferEnd));
  }
  const uint8_t* p = buffer + bufferOffset;
  bufferOffset += n;
  position += n;
  return p;
}

void* CBufReadStream::Read(void* destination, uint64_t n) {
  if (GetRemaining() < n) Throw(StreamErrorRange);
  uint8_t* out = static_cast<uint8_t*>(destination);
  if (bufferSize == 0) {
    RawRead(out, n);
  } else if (bufferSize - bufferOffset >= n) {
    if (n) std::memcpy(out, buffer + bufferOffset, ToSize(n));
    bufferOffset += n;
  } else {
    uint64_t rest = bufferSize - bufferOffset;
    std::memcpy(out, buffer + bufferOffset, ToSize(rest));
    uint64_t m = n - rest;
    uint64_t start = position + rest;  // the buffer was full, so this is 512-aligned
    if (m > bufferSize) {
      uint64_t direct = m - m % 512;
      RawRead(out + rest, direct);
      start += direct;
      m -= direct;
    }
    // Refill from the new buffer start, not from the old position.
    RefillFrom(start);
    std::memcpy(out + (n - m), buffer, ToSize(m));
    bufferOffset = m;
  }
  position += n;
  return destination;
}

void CBufReadStream::Seek(uint64_t target) {
  if (target > GetSize()) Throw(StreamErrorRange);
  if (bufferSize == 0) {
    RawSeek(target);
  } else if (bufferSize != kWholeStream) {
    uint64_t start = position - bufferOffset;
    uint64_t a = target - target % 512;
    if (target < start) {
      RawSeek(a);
      uint64_t g = std::min(start - a, bufferSize);
      std::memmove(buffer + g, buffer, ToSize(bufferSize - g));
      RawRead(buffer, g);
      RawSeek(std::min(a + bufferSize, GetSize()));
      bufferOffset = target - a;
    } else if (target > start + bufferSize) {
      RawSeek(a);
      RawRead(buffer, std::min(bufferSize, GetSize() - a));
      bufferOffset = target - a;
    } else {
      bufferOffset = target - start;
    }
  } else {
    bufferOffset = target;
  }
  position = target;
}

void CBufReadStream::CopyTo(CWriteStream& target, uint64_t n) {
  if (GetRemaining() < n) Throw(StreamErrorRange);
  if (bufferSize == 0) Throw(StreamErrorBuffer);
  uint64_t inBuffer = bufferSize - bufferOffset;
  if (inBuffer >= n) {
    target.Write(buffer + bufferOffset, n);
    bufferOffset += n;
    position += n;
    return;
  }
  target.Write(buffer + bufferOffset, inBuffer);
  position += inBuffer;
  bufferOffset = bufferSize;
  uint64_t done = inBuffer;
  while (done < n) {
    RefillFrom(position);
    uint64_t chunk = std::min(n - done, bufferSize);
    target.Write(buffer, chunk);
    bufferOffset = chunk;
    position += chunk;
    done += chunk;
  }
}

char* CBufReadStream::ReadLine() {
  if (bufferSize == 0) Throw(StreamErrorBuffer);
  if (!buffer) return nullptr;  // whole-stream mode before Rewind: nothing held
  for (;;) {
    char* start = reinterpret_cast<char*>(buffer + bufferOffset);
    uint64_t avail = std::min(bufferSize - bufferOffset, GetSize() - position);
    uint64_t i = FindLineEnd(start, avail);
    if (i + 1 < avail) {  // a terminator before the last scanned byte
      uint64_t consumed = i + 1;
      if (start[i] == '\r' && start[i + 1] == '\n') consumed++;
      start[i] = 0;
      bufferOffset += consumed;
      position += consumed;
      return start;
    }
    if (position + avail == GetSize()) {
      if (i == 0) return nullptr;
      start[i] = 0;  // over the terminator, or into the byte behind the data
      bufferOffset += avail;
      position += avail;
      return start;
    }
    uint64_t k = bufferOffset - bufferOffset % 512;
    if (k > 0) {
      std::memmove(buffer, buffer + k, ToSize(bufferSize - k));
      RawRead(buffer + (bufferSize - k), std::min(k, GetSize() - position - avail));
      bufferOffset -= k;
      continue;
    }
    // A line longer than the buffer: return it in pieces.
    start[i < avail ? i : avail] = 0;
    bufferOffset += avail;
    position += avail;
    return start;
  }
}

// ---- CFileReadStream -------------------------------------------------------

CFileReadStream::~CFileReadStream() { Platform::CloseFile(file); }

bool CFileReadStream::Attach(Platform::TFileHandle handle) {
  if (handle == Platform::kInvalidFile) return false;
  Platform::CloseFile(file);
  file = handle;
  if (!Platform::GetFileSize(handle, &fileSize)) return false;
  Rewind();
  return true;
}

void CFileReadStream::RawSeek(uint64_t offset) {
  if (!Platform::SeekFile(file, offset)) Throw(StreamErrorRange);
}

void CFileReadStream::RawRead(void* destination, uint64_t n) {
  if (n == 0) return;
  if (Platform::ReadFile(file, destination, n) != n) Throw(StreamErrorRead);
}

// ---- CArrayStream ----------------------------------------------------------

const uint8_t* CArrayStream::GetData(uint64_t n) {
  if (size - position < n) Throw(StreamErrorRange);
  const uint8_t* p = data + position;
  position += n;
  return p;
}

void* CArrayStream::Read(void* destination, uint64_t n) {
  const uint8_t* p = GetData(n);
  if (n) std::memcpy(destination, p, ToSize(n));
  return destination;
}

void CArrayStream::Seek(uint64_t p) {
  if (p > size) Throw(StreamErrorRange);
  position = p;
}

// ---- CFileWriteStream ------------------------------------------------------

CFileWriteStream::CFileWriteStream(uint64_t size) : bufferSize(size) {
  if (size) {
    buffer = static_cast<uint8_t*>(std::malloc(ToSize(size)));
    if (!buffer) throw std::bad_alloc();
  }
}

CFileWriteStream::~CFileWriteStream() {
  Close();
  std::free(buffer);
}

bool CFileWriteStream::Open(const char* path, bool append) {
  Close();
  FILE* f = nullptr;
  if (append) {
    f = Platform::OpenStdioFile(path, "r+b");
    if (f && !Platform::SeekStdio(f, 0, SEEK_END)) {
      std::fclose(f);
      return false;
    }
  }
  if (!f) f = Platform::OpenStdioFile(path, "wb");
  pending = bufferOffset = 0;
  if (!f) return false;
  file = f;
  int64_t pos = Platform::TellStdio(f);
  position = pos < 0 ? 0 : static_cast<uint64_t>(pos);
  return true;
}

bool CFileWriteStream::OpenWide(const char16_t* path, bool append) {
  // Paths are UTF-8 on this platform.
  std::string utf8;
  for (const char16_t* p = path; *p; p++) {
    uint32_t c = *p;
    if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      p++;
    }
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | c >> 6);
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | c >> 12);
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | c >> 18);
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return Open(utf8.c_str(), append);
}

void CFileWriteStream::RawWrite(const void* data, uint64_t n) {
  if (n == 0) return;
  if (!file || std::fwrite(data, ToSize(n), 1, file) != 1) Throw(StreamErrorWrite);
}

void CFileWriteStream::FlushPending() {
  if (pending) RawWrite(buffer, pending);
  pending = bufferOffset = 0;
}

void CFileWriteStream::Write(const void* data, uint64_t n) {
  if (n == 0) return;
  const uint8_t* src = static_cast<const uint8_t*>(data);
  if (bufferOffset + n >= bufferSize) {
    // The new data covers the pending bytes behind the offset.
    if (bufferOffset) RawWrite(buffer, bufferOffset);
    pending = bufferOffset = 0;
    if (n >= bufferSize) {
      RawWrite(src, n);
      position += n;
      return;
    }
  }
  std::memcpy(buffer + bufferOffset, src, ToSize(n));
  bufferOffset += n;
  position += n;
  if (bufferOffset > pending) pending = bufferOffset;
}

void CFileWriteStream::WriteFrom(CReadStream& source, uint64_t n) {
  if (bufferSize == 0) {
    // Unbuffered: go through a small local buffer.
    uint8_t chunk[4096];
    while (n) {
      uint64_t c = std::min<uint64_t>(n, sizeof chunk);
      source.Read(chunk, c);
      Write(chunk, c);
      n -= c;
    }
    return;
  }
  position += n;
  while (n) {
    uint64_t chunk = std::min(bufferSize - bufferOffset, n);
    source.Read(buffer + bufferOffset, chunk);
    bufferOffset += chunk;
    if (bufferOffset > pending) pending = bufferOffset;
    n -= chunk;
    if (bufferOffset == bufferSize) {
      RawWrite(buffer, bufferSize);
      pending = bufferOffset = 0;
    }
  }
}

void CFileWriteStream::Seek(uint64_t target) {
  uint64_t start = position - bufferOffset;
  if (target >= start && target - start < bufferSize && target <= start + pending) {
    bufferOffset = target - start;
    position = target;
    return;
  }
  FlushPending();
  if (!file || !Platform::SeekStdio(file, target, SEEK_SET)) Throw(StreamErrorWrite);
  position = target;
}

uint64_t CFileWriteStream::GetSize() {
  uint64_t logical = position - bufferOffset + pending;
  if (!file) return logical;
  int64_t here = Platform::TellStdio(file);
  uint64_t end = 0;
  if (Platform::SeekStdio(file, 0, SEEK_END)) {
    int64_t e = Platform::TellStdio(file);
    end = e < 0 ? 0 : static_cast<uint64_t>(e);
  }
  if (here >= 0) Platform::SeekStdio(file, static_cast<uint64_t>(here), SEEK_SET);
  return std::max(end, logical);
}

bool CFileWriteStream::Close() {
  if (!file) return true;
  bool ok = true;
  try {
    FlushPending();
  } catch (const TStreamException&) {
    ok = false;
  }
  if (std::fflush(file) != 0) ok = false;
  pending = bufferOffset = 0;
  if (std::fclose(file) != 0) ok = false;
  file = nullptr;
  return ok;
}

// ---- CMemStream ------------------------------------------------------------

void CMemStream::Reserve(uint64_t n) { data.Reserve(ToSize(n)); }

void CMemStream::GrowTo(uint64_t end, bool fillsFromPosition) {
  if (end <= data.Size()) return;
  if (end < position) throw std::bad_alloc();  // position + n wrapped
  // A big stream (the map image) reserves in large steps, which keeps it
  // out of the heap, where a block that cannot grow in place is copied;
  // room never written costs no memory. It maps its pages in ahead, a few
  // MiB per call: a page fault for every 4 KiB costs more than the bytes
  // written into it.
  constexpr uint64_t kBig = 1u << 20, kBigReserve = 64u << 20, kPrefaultStep = 4u << 20;
  if (end > data.capacity && end > kBig) {
    data.Reserve(ToSize(std::max({end, 2 * static_cast<uint64_t>(data.capacity), kBigReserve})));
  }
  if (end > prefaulted && data.capacity >= kBigReserve) {
    uint64_t upTo = std::min<uint64_t>(data.capacity, end + kPrefaultStep);
    // Where the system cannot, pages fault in one by one.
    prefaulted = Platform::PrefaultPages(data.data + prefaulted, upTo - prefaulted) ? upTo : UINT64_MAX;
  }
  // Zero the gap: no uninitialised byte may reach a file. The bytes from
  // the position on are the caller's to fill.
  size_t old = data.Size();
  if (fillsFromPosition) {
    data.Resize(ToSize(end));
    if (position > old) std::memset(data.data + old, 0, ToSize(position - old));
  } else {
    data.ResizeZeroed(ToSize(end));
  }
}

void CMemStream::Write(const void* src, uint64_t n) {
  if (n == 0) return;
  GrowTo(position + n, true);
  std::memcpy(data.data + position, src, ToSize(n));
  position += n;
}

void CMemStream::WriteFrom(CReadStream& source, uint64_t n) {
  if (n == 0) return;
  GrowTo(position + n, false);  // a failed read must leave zeros
  source.Read(data.data + position, n);
  position += n;
}

void CMemStream::Insert(const void* src, uint64_t n) {
  const uint64_t size = data.Size();
  if (n == 0) return;
  if (position >= size) {
    Write(src, n);
    return;
  }
  if (size + n < size) throw std::bad_alloc();
  GrowTo(size + n, false);
  std::memmove(data.data + position + n, data.data + position, ToSize(size - position));
  std::memcpy(data.data + position, src, ToSize(n));
  position += n;
}

const uint8_t* CMemStream::GetData(uint64_t n) {
  if (position > data.Size() || data.Size() - position < n) Throw(StreamErrorRange);
  const uint8_t* p = data.data + position;
  position += n;
  return p;
}

void* CMemStream::Read(void* destination, uint64_t n) {
  const uint8_t* p = GetData(n);
  if (n) std::memcpy(destination, p, ToSize(n));
  return destination;
}

void CMemStream::CopyTo(CWriteStream& target, uint64_t n) {
  const uint8_t* p = GetData(n);
  target.Write(p, n);
}
