// Read and write streams with 64-bit sizes and positions. Every file in the
// system's own formats is read through CReadStream and written through
// CWriteStream. Failures are TStreamException values thrown by value.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/bytes.h"
#include "core/containers.h"
#include "core/platform/platform.h"

enum TStreamErrorCode {
  StreamErrorWrite = 0,   // a write, flush or open of a write stream failed
  StreamErrorRead = 1,    // a raw read failed or returned fewer bytes than asked
  StreamErrorRange = 2,   // beyond the end of the stream, or a failed raw seek
  StreamErrorBuffer = 3,  // the request cannot be served from the stream's buffer
};

struct TStreamException {
  TStreamErrorCode code;
};

class CWriteStream;

class CReadStream {
 public:
  virtual ~CReadStream() = default;
  // Pointer to the next n contiguous bytes; valid until the next operation.
  virtual const uint8_t* GetData(uint64_t n) = 0;
  virtual void* Read(void* destination, uint64_t n) = 0;
  virtual uint64_t GetRemaining() = 0;
  virtual uint64_t GetSize() = 0;
  // The largest n that GetData accepts.
  virtual uint64_t GetMaxData() = 0;
  // How many bytes GetData can return from what is already buffered.
  virtual uint64_t GetAvailable() = 0;
  virtual uint64_t GetPos() = 0;
  virtual void Seek(uint64_t position) = 0;

  // Little-endian helpers over Read.
  uint8_t ReadU8() { uint8_t v; Read(&v, 1); return v; }
  uint16_t ReadU16() { uint8_t b[2]; Read(b, 2); return static_cast<uint16_t>(b[0] | b[1] << 8); }
  uint32_t ReadU32() {
    uint8_t b[4];
    Read(b, 4);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
  }
  uint64_t ReadU64() { uint64_t lo = ReadU32(); return lo | static_cast<uint64_t>(ReadU32()) << 32; }
};

// Buffered read stream over a raw source. The buffer start is always a
// multiple of 512 in the stream, and large reads bypass the buffer in
// multiples of 512, so raw reads stay aligned.
class CBufReadStream : public CReadStream {
 public:
  static constexpr uint64_t kWholeStream = ~0ull;

  // 0 = unbuffered; kWholeStream = the whole stream is held after Rewind;
  // otherwise at least 1024 and rounded up to a multiple of 512.
  explicit CBufReadStream(uint64_t bufferSize);
  ~CBufReadStream() override;

  const uint8_t* GetData(uint64_t n) override;
  void* Read(void* destination, uint64_t n) override;
  uint64_t GetRemaining() override;
  uint64_t GetMaxData() override;
  uint64_t GetAvailable() override;
  uint64_t GetPos() override;
  void Seek(uint64_t target) override;
  virtual void CopyTo(CWriteStream& target, uint64_t n);

  void Rewind();
  // Next line, 0-terminated in place inside the buffer, or null at the end.
  // CR, LF and CR LF end a line.
  char* ReadLine();

  uint64_t BufferSize() const { return bufferSize; }

 protected:
  virtual void RawSeek(uint64_t offset) = 0;
  virtual void RawRead(void* destination, uint64_t n) = 0;

  uint8_t* buffer = nullptr;
  uint64_t bufferSize;
  uint64_t bufferOffset = 0;
  uint64_t position = 0;

 private:
  void AllocateBuffer(uint64_t bytes);
  void RefillFrom(uint64_t streamStart);
};

// Buffered stream over a regular file.
class CFileReadStream : public CBufReadStream {
 public:
  explicit CFileReadStream(uint64_t bufferSize) : CBufReadStream(bufferSize) {}
  ~CFileReadStream() override;

  // Takes ownership of the handle; false for an invalid handle or when the
  // size cannot be read.
  bool Attach(Platform::TFileHandle handle);
  // Opens a regular file and attaches it; false for anything else.
  bool Open(const char* path) { return Attach(Platform::OpenFileForRead(path)); }

  uint64_t GetRemaining() override { return fileSize - position; }
  uint64_t GetSize() override { return fileSize; }

 protected:
  void RawSeek(uint64_t offset) override;
  void RawRead(void* destination, uint64_t n) override;

 private:
  uint64_t fileSize = 0;
  Platform::TFileHandle file = Platform::kInvalidFile;
};

// Reads a byte array that its creator owns and keeps alive.
class CArrayStream : public CReadStream {
 public:
  CArrayStream(const void* data, uint64_t size) : data(static_cast<const uint8_t*>(data)), size(size) {}

  const uint8_t* GetData(uint64_t n) override;
  void* Read(void* destination, uint64_t n) override;
  uint64_t GetRemaining() override { return size - position; }
  uint64_t GetSize() override { return size; }
  uint64_t GetMaxData() override { return size; }
  uint64_t GetAvailable() override { return size - position; }
  uint64_t GetPos() override { return position; }
  void Seek(uint64_t p) override;

 private:
  const uint8_t* data;
  uint64_t size;
  uint64_t position = 0;
};

class CWriteStream {
 public:
  virtual ~CWriteStream() = default;
  // Writes the next n bytes read from the source.
  virtual void WriteFrom(CReadStream& source, uint64_t n) = 0;
  virtual void Write(const void* data, uint64_t n) = 0;
  virtual uint64_t GetPos() = 0;
  virtual void Seek(uint64_t position) = 0;

  // Little-endian helpers over Write.
  void WriteU8(uint8_t v) { Write(&v, 1); }
  void WriteU16(uint16_t v) {
    uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    Write(b, 2);
  }
  void WriteU32(uint32_t v) {
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 24)};
    Write(b, 4);
  }
  void WriteU64(uint64_t v) {
    WriteU32(static_cast<uint32_t>(v));
    WriteU32(static_cast<uint32_t>(v >> 32));
  }
};

// Writes a file through stdio with a buffer of its own. Small writes are
// gathered; large ones go straight through. Seeking back inside the
// buffered range costs no file access.
class CFileWriteStream : public CWriteStream {
 public:
  explicit CFileWriteStream(uint64_t bufferSize);
  ~CFileWriteStream() override;
  CFileWriteStream(const CFileWriteStream&) = delete;
  CFileWriteStream& operator=(const CFileWriteStream&) = delete;

  void WriteFrom(CReadStream& source, uint64_t n) override;
  void Write(const void* data, uint64_t n) override;
  uint64_t GetPos() override { return position; }
  void Seek(uint64_t target) override;

  virtual bool OpenWide(const char16_t* path, bool append);
  virtual bool Open(const char* path, bool append);
  virtual uint64_t GetSize();
  // Writes what is pending and closes; false when anything failed. Closing
  // a closed stream does nothing and returns true.
  bool Close();
  bool IsOpen() const { return file != nullptr; }

 private:
  void FlushPending();
  void RawWrite(const void* data, uint64_t n);

  uint8_t* buffer = nullptr;
  uint64_t bufferSize;
  uint64_t bufferOffset = 0;
  uint64_t pending = 0;
  uint64_t position = 0;
  FILE* file = nullptr;
};

// Growable byte array written and read through one shared position.
// Bytes between the old end and a write behind it are zero.
class CMemStream : public CWriteStream, public CReadStream {
 public:
  CMemStream() = default;

  void WriteFrom(CReadStream& source, uint64_t n) override;
  void Write(const void* data, uint64_t n) override;
  uint64_t GetPos() override { return position; }
  void Seek(uint64_t p) override { position = p; }
  virtual void CopyTo(CWriteStream& target, uint64_t n);
  // Inserts n bytes at the position: the bytes from there on move up by n
  // (places remembered behind the position move with them) and the
  // position ends after the inserted bytes.
  void Insert(const void* src, uint64_t n);

  const uint8_t* GetData(uint64_t n) override;
  void* Read(void* destination, uint64_t n) override;
  uint64_t GetRemaining() override { return position < data.Size() ? data.Size() - position : 0; }
  uint64_t GetSize() override { return data.Size(); }
  uint64_t GetMaxData() override { return data.Size(); }
  uint64_t GetAvailable() override { return GetRemaining(); }

  uint8_t* Data() { return data.data; }
  const uint8_t* Data() const { return data.data; }
  uint64_t Size() const { return data.Size(); }
  // A u32 already written, patched or read in place; the position does not move.
  void PutU32At(uint64_t at, uint32_t value) { StoreLE32(data.data + at, value); }
  uint32_t GetU32At(uint64_t at) const { return LoadLE32(data.data + at); }
  void Reserve(uint64_t n);
  void Clear() {
    data.Free();
    position = prefaulted = 0;
  }

  using CWriteStream::WriteU16;
  using CWriteStream::WriteU32;
  using CWriteStream::WriteU64;
  using CWriteStream::WriteU8;

 private:
  // Makes the array `end` long; `fillsFromPosition`: the caller writes every
  // byte from the position to `end` at once.
  void GrowTo(uint64_t end, bool fillsFromPosition);

  CReallocArray<uint8_t> data;
  uint64_t position = 0;
  uint64_t prefaulted = 0;  // bytes from the start known to be mapped in
};
