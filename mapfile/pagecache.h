// The page cache shared by every map file read back for an atlas build: one
// buffer cut into 1024-byte slots, each holding one page of one source
// stream. The bytes of one GetData request always lie contiguously in the
// buffer: a request's pages go into consecutive slots, and pages that stand
// in the way are moved aside (or evicted, least recently used first).
//
// The cache takes no lock itself; its critical section is the one lock of
// all map reads: whoever seeks a cached stream holds it until the last read
// that depends on that seek. A pointer returned by GetData stays valid only
// until the next request on the same cache, for any stream.
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/platform/platform.h"
#include "core/streams.h"

// Descriptor of one slot (slot i owns buffer bytes [i * 1024, (i + 1) * 1024)).
struct TCachePage {
  static constexpr uint32_t kFree = 0xFFFFFFFF;
  const CReadStream* source;
  uint32_t start;  // stream position of the first byte, kFree for a free slot
  uint32_t end;    // min(start + 1024, source size)
  uint32_t stamp;  // stamp counter at the last use; 0 for a free slot
};

// Key of both indexes of the cache: (source, page start) in the page index,
// (stamp, slot) in the age index; `slot` is the slot the entry refers to.
struct TCacheKey {
  uint64_t major;
  uint32_t minor;
  uint32_t slot;
};
struct TCacheKeyCompare {
  int operator()(const TCacheKey& a, const TCacheKey& b) const {
    if (a.major != b.major) return a.major < b.major ? -1 : 1;
    if (a.minor != b.minor) return a.minor < b.minor ? -1 : 1;
    return 0;
  }
};

class CStreamCache {
 public:
  static constexpr uint32_t kPageSize = 1024;
  static constexpr uint32_t kDefaultSlots = 10240;  // a 10 MB buffer

  // The slot count (at least 3) is fixed for the cache's life; a request may span at
  // most slots - 1 pages.
  explicit CStreamCache(uint32_t slotCapacity = kDefaultSlots);
  ~CStreamCache();
  CStreamCache(const CStreamCache&) = delete;
  CStreamCache& operator=(const CStreamCache&) = delete;

  Platform::CCriticalSection* Lock() { return &lock; }

  // Forgets every page and allocates the buffer anew.
  void Reset();
  // Forgets every page (the slots go too).
  void ClearIndex();
  // Pointer to the byte at `from` of the source, valid up to `to`
  // (from < to <= source size < 2^32); `current` becomes the slot of the
  // span's last page. Throws StreamErrorBuffer for a span of `slots` pages
  // or more, and what the source throws.
  const uint8_t* Map(CReadStream* source, uint32_t from, uint32_t to, int32_t& current);
  // Forgets every page of one source.
  void DropStream(const CReadStream* source);

  // The slot's bytes when it holds the range [from, to) of the source, else null.
  const uint8_t* PageData(int32_t slot, const CReadStream* source, uint64_t from, uint64_t to) const;
  // How many bytes of the source from `position` on the slot holds.
  uint64_t PageAvailable(int32_t slot, const CReadStream* source, uint64_t position) const;

  uint32_t SlotCapacity() const { return capacity; }
  uint32_t SlotCount() const { return static_cast<uint32_t>(slots.Size()); }
  const TCachePage& Slot(uint32_t i) const { return slots[i]; }
  uint32_t StampCounter() const { return stamps; }
  // Moves the stamp counter on to `value` (never back), so that tests reach
  // its wrap without 2^32 requests.
  void AdvanceStampCounter(uint32_t value) {
    if (value > stamps) stamps = value;
  }
  // True when both indexes agree with the slots (for tests).
  bool IndexesConsistent() const;
  // Source reads performed so far (tests and statistics).
  uint64_t SourceReads() const { return sourceReads; }

 private:
  using TIndex = CAvlTreeMap<TCacheKey, TCacheKeyCompare>;
  // A run of pages of the current Map call still to be read in one piece.
  struct TPendingRead {
    bool active = false;
    CReadStream* source = nullptr;
    uint32_t start = 0;
    uint32_t end = 0;
    uint32_t slot = 0;  // destination of the first page
  };

  static TCacheKey PageKey(const CReadStream* source, uint32_t start, uint32_t slot) {
    return {reinterpret_cast<uintptr_t>(source), start, slot};
  }
  static TCacheKey AgeKey(uint32_t stamp, uint32_t slot) { return {stamp, slot, slot}; }
  uint8_t* SlotBytes(uint32_t slot) { return buffer + static_cast<size_t>(slot) * kPageSize; }

  uint32_t CreateSlot();
  void LoadPage(uint32_t p, CReadStream* source, uint32_t a, TPendingRead& pending);
  void Touch(uint32_t first, uint32_t last);
  void Release(uint32_t slot);
  void MarkFree(uint32_t slot);
  uint32_t TakeVictim();
  void RenumberStamps();
  void PerformRead(TPendingRead& pending);
  void DiscardPending(const TPendingRead& pending);

  Platform::CCriticalSection lock;
  uint8_t* buffer = nullptr;
  uint32_t capacity;
  CReallocArray<TCachePage> slots;
  TIndex::TPool pool;
  TIndex pageIndex;
  TIndex ageIndex;
  uint32_t stamps = 0;
  uint64_t sourceReads = 0;
};

// A read stream whose bytes come through the cache from a source stream.
// Positions are 32-bit in effect: a source is read up to 2^32 - 1 bytes.
class CCacheReadStream : public CReadStream {
 public:
  CCacheReadStream() = default;
  // Drops the source's pages when attached.
  ~CCacheReadStream() override;
  CCacheReadStream(const CCacheReadStream&) = delete;
  CCacheReadStream& operator=(const CCacheReadStream&) = delete;

  // Reads the source through the cache from position 0; the source is not owned.
  void Attach(CReadStream* source, CStreamCache* cache);
  // Drops the source's pages and forgets source and cache.
  void Detach();
  bool IsAttached() const { return cache != nullptr; }
  CStreamCache* GetCache() const { return cache; }

  const uint8_t* GetData(uint64_t n) override;
  // Copies in pieces, so a read of any length fits the cache.
  void* Read(void* destination, uint64_t n) override;
  uint64_t GetRemaining() override;
  uint64_t GetSize() override;
  uint64_t GetMaxData() override;
  uint64_t GetAvailable() override;
  uint64_t GetPos() override { return position; }
  void Seek(uint64_t p) override { position = p; }

 private:
  CReadStream* source = nullptr;
  CStreamCache* cache = nullptr;
  int32_t currentPage = -1;
  uint64_t position = 0;
};
