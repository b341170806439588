#include "mapfile/pagecache.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

[[noreturn]] void Throw(TStreamErrorCode code) { throw TStreamException{code}; }

// Positions of cached sources are 32-bit: larger sources are read up to here.
constexpr uint64_t kMaxCachedSize = 0xFFFFFFFFu;

uint64_t CachedSize(CReadStream* source) {
  uint64_t size = source->GetSize();
  return size < kMaxCachedSize ? size : kMaxCachedSize;
}

}  // namespace

// ---- CStreamCache ------------------------------------------------------------

CStreamCache::CStreamCache(uint32_t slotCapacity)
    : capacity(slotCapacity < 3 ? 3 : slotCapacity), pool(500), pageIndex(&pool), ageIndex(&pool) {
  Reset();
}

CStreamCache::~CStreamCache() {
  ClearIndex();
  std::free(buffer);
}

void CStreamCache::Reset() {
  ClearIndex();
  slots.Free();
  std::free(buffer);
  buffer = nullptr;
  pool.FreeBlocks();
  stamps = 0;
  buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(capacity) * kPageSize));
  if (!buffer) throw std::bad_alloc();
  slots.Reserve(capacity);
  // Both indexes together never hold more than two nodes a slot: taking
  // them all now means a request allocates nothing, so it cannot fail
  // half-way through rearranging the indexes.
  CReallocArray<TIndex::TNode*> nodes;
  nodes.Reserve(2 * static_cast<size_t>(capacity));
  for (uint32_t i = 0; i < 2 * capacity; i++) nodes.PushBack(pool.Alloc());
  for (TIndex::TNode* n : nodes) pool.Release(n);
}

void CStreamCache::ClearIndex() {
  slots.Clear();
  pageIndex.Clear();
  ageIndex.Clear();
}

uint32_t CStreamCache::CreateSlot() {
  uint32_t i = static_cast<uint32_t>(slots.Size());
  slots.PushBack(TCachePage{nullptr, TCachePage::kFree, 0, 0});
  return i;
}

void CStreamCache::Touch(uint32_t first, uint32_t last) {
  for (uint32_t i = first; i <= last; i++) {
    ageIndex.Erase(AgeKey(slots[i].stamp, i));
    slots[i].stamp = stamps;
    ageIndex.InsertUnique(AgeKey(stamps, i));
  }
}

void CStreamCache::Release(uint32_t slot) {
  if (slots[slot].stamp == 0) return;
  ageIndex.Erase(AgeKey(slots[slot].stamp, slot));
  slots[slot].stamp = 0;
  ageIndex.InsertUnique(AgeKey(0, slot));
}

void CStreamCache::MarkFree(uint32_t slot) {
  slots[slot].source = nullptr;
  slots[slot].start = TCachePage::kFree;
  slots[slot].end = 0;
}

// The least recently used slot, taken out of both indexes (its page, if
// any, is evicted); or, while there is room and no slot is free, a new one.
// The slot returned is in neither index.
uint32_t CStreamCache::TakeVictim() {
  TIndex::TNode* oldest = ageIndex.First();
  if (oldest && (slots.Size() >= capacity || oldest->value.major == 0)) {
    uint32_t l = oldest->value.slot;
    ageIndex.EraseNode(oldest);
    if (slots[l].start != TCachePage::kFree) pageIndex.Erase(PageKey(slots[l].source, slots[l].start, l));
    MarkFree(l);
    slots[l].stamp = 0;
    return l;
  }
  return CreateSlot();
}

void CStreamCache::PerformRead(TPendingRead& pending) {
  sourceReads++;
  pending.source->Seek(pending.start);
  pending.source->Read(SlotBytes(pending.slot), pending.end - pending.start);
  pending.active = false;
}

// After a failed read the pages it was to fill hold no valid bytes.
void CStreamCache::DiscardPending(const TPendingRead& pending) {
  if (!pending.active) return;
  uint32_t pages = (pending.end - pending.start + kPageSize - 1) / kPageSize;
  for (uint32_t i = pending.slot; i < pending.slot + pages; i++) {
    if (slots[i].source != pending.source || slots[i].start == TCachePage::kFree) continue;
    pageIndex.Erase(PageKey(slots[i].source, slots[i].start, i));
    Release(i);
    MarkFree(i);
  }
}

void CStreamCache::LoadPage(uint32_t p, CReadStream* source, uint32_t a, TPendingRead& pending) {
  if (slots[p].start != TCachePage::kFree) {
    // The slot's page moves aside (or is evicted when p is the oldest).
    uint32_t v = TakeVictim();
    if (v != p) {
      std::memcpy(SlotBytes(v), SlotBytes(p), kPageSize);
      slots[v] = slots[p];
      pageIndex.Find(PageKey(slots[p].source, slots[p].start, p))->value.slot = v;
      ageIndex.Erase(AgeKey(slots[p].stamp, p));
      ageIndex.InsertUnique(AgeKey(slots[v].stamp, v));
      MarkFree(p);
      slots[p].stamp = 0;
      ageIndex.InsertUnique(AgeKey(0, p));
    } else {
      ageIndex.InsertUnique(AgeKey(0, p));
    }
  }

  const uint64_t size = CachedSize(source);
  const uint32_t end = static_cast<uint32_t>(a + uint64_t{kPageSize} < size ? a + kPageSize : size);
  if (TIndex::TNode* cached = pageIndex.Find(PageKey(source, a, 0))) {
    uint32_t w = cached->value.slot;
    std::memcpy(SlotBytes(p), SlotBytes(w), kPageSize);
    slots[p].source = source;
    slots[p].start = a;
    slots[p].end = slots[w].end;
    Release(w);
    MarkFree(w);
    cached->value.slot = p;
    return;
  }

  // Consecutive pages land in consecutive slots: they are read together.
  if (!(pending.active && pending.end == a && pending.slot + (a - pending.start) / kPageSize == p)) {
    if (pending.active) PerformRead(pending);
    pending = {true, source, a, a, p};
  }
  slots[p].source = source;
  slots[p].start = a;
  slots[p].end = end;
  pending.end = end;
  pageIndex.InsertUnique(PageKey(source, a, p));
}

// At the wrap of the counter the stamps in use are renumbered 1, 2, ... in
// their order: without it new pages would get stamps below old ones (0
// even, which marks a free slot), and eviction would pick pages in use.
void CStreamCache::RenumberStamps() {
  uint32_t last = 0, next = 0;
  for (TIndex::TNode* n = ageIndex.First(); n; n = TIndex::Next(n)) {
    const uint32_t old = static_cast<uint32_t>(n->value.major);
    if (old == 0) continue;
    if (old != last) {
      last = old;
      next++;
    }
    // The mapping keeps the order, so the index stays sorted.
    n->value.major = next;
    slots[n->value.slot].stamp = next;
  }
  stamps = next + 1;
}

const uint8_t* CStreamCache::Map(CReadStream* source, uint32_t from, uint32_t to, int32_t& current) {
  if (++stamps == 0) RenumberStamps();
  const uintptr_t id = reinterpret_cast<uintptr_t>(source);

  // Served as it stands when the span's pages already lie in a row.
  TIndex::TNode* floor = pageIndex.FindFloor(PageKey(source, from, 0));
  TIndex::TNode* holding = nullptr;
  if (floor && floor->value.major == id && from < slots[floor->value.slot].end) {
    holding = floor;
    uint32_t first = floor->value.slot, last = first;
    uint32_t covered = slots[first].end;
    while (covered < to && last + 1 < slots.Size() && slots[last + 1].source == source &&
           slots[last + 1].start == covered) {
      last++;
      covered = slots[last].end;
    }
    if (covered >= to) {
      Touch(first, last);
      current = static_cast<int32_t>(last);
      return SlotBytes(first) + (from - slots[first].start);
    }
  }

  const uint32_t a0 = from - from % kPageSize;
  const uint64_t pages = (uint64_t{to} - a0 + kPageSize - 1) / kPageSize;
  if (pages + 1 > capacity) Throw(StreamErrorBuffer);
  const uint32_t e = static_cast<uint32_t>(pages);

  uint32_t first = capacity - e < slots.Size() ? capacity - e : static_cast<uint32_t>(slots.Size());
  // Pages of the span already cached keep their place when a run through
  // them fits the buffer; they are touched so that nothing evicts them now.
  TIndex::TNode* n = holding ? holding : (floor ? TIndex::Next(floor) : pageIndex.First());
  for (; n && n->value.major == id && n->value.minor < to; n = TIndex::Next(n)) {
    uint32_t idx = n->value.slot;
    Touch(idx, idx);
    uint32_t behind = (n->value.minor - a0) / kPageSize;
    if (idx >= behind && uint64_t{idx} * kPageSize + (to - n->value.minor) <= uint64_t{capacity} * kPageSize) {
      first = idx - behind;
    }
  }

  TPendingRead pending;
  try {
    for (uint32_t i = 0; i < e; i++) {
      uint32_t a = a0 + i * kPageSize, p = first + i;
      while (p >= slots.Size()) ageIndex.InsertUnique(AgeKey(0, CreateSlot()));
      if (!(slots[p].source == source && slots[p].start == a)) LoadPage(p, source, a, pending);
      Touch(p, p);
    }
    if (pending.active) PerformRead(pending);
  } catch (...) {
    DiscardPending(pending);
    throw;
  }
  current = static_cast<int32_t>(first + e - 1);
  return SlotBytes(first) + (from - a0);
}

void CStreamCache::DropStream(const CReadStream* source) {
  for (uint32_t i = 0; i < slots.Size(); i++) {
    if (slots[i].source != source || slots[i].start == TCachePage::kFree) continue;
    pageIndex.Erase(PageKey(source, slots[i].start, i));
    Release(i);
    MarkFree(i);
  }
}

bool CStreamCache::IndexesConsistent() const {
  size_t used = 0, aged = 0, paged = 0;
  for (uint32_t i = 0; i < slots.Size(); i++) {
    const TCachePage& s = slots[i];
    if (!ageIndex.Find(AgeKey(s.stamp, i))) return false;
    if (s.start == TCachePage::kFree) continue;
    used++;
    const TIndex::TNode* n = pageIndex.Find(PageKey(s.source, s.start, i));
    if (!n || n->value.slot != i) return false;
  }
  for (TIndex::TNode* n = ageIndex.First(); n; n = TIndex::Next(n)) aged++;
  for (TIndex::TNode* n = pageIndex.First(); n; n = TIndex::Next(n)) paged++;
  return aged == slots.Size() && paged == used;
}

const uint8_t* CStreamCache::PageData(int32_t slot, const CReadStream* source, uint64_t from, uint64_t to) const {
  if (slot < 0 || static_cast<uint32_t>(slot) >= slots.Size()) return nullptr;
  const TCachePage& page = slots[static_cast<uint32_t>(slot)];
  if (page.source != source || page.start == TCachePage::kFree || from < page.start || to > page.end) return nullptr;
  return buffer + static_cast<size_t>(slot) * kPageSize + (from - page.start);
}

uint64_t CStreamCache::PageAvailable(int32_t slot, const CReadStream* source, uint64_t position) const {
  if (slot < 0 || static_cast<uint32_t>(slot) >= slots.Size()) return 0;
  const TCachePage& page = slots[static_cast<uint32_t>(slot)];
  if (page.source != source || page.start == TCachePage::kFree || position < page.start || position >= page.end) {
    return 0;
  }
  return page.end - position;
}

// ---- CCacheReadStream --------------------------------------------------------

CCacheReadStream::~CCacheReadStream() { Detach(); }

void CCacheReadStream::Attach(CReadStream* stream, CStreamCache* streamCache) {
  Detach();
  source = stream;
  cache = streamCache;
  currentPage = -1;
  position = 0;
}

void CCacheReadStream::Detach() {
  if (cache && source) cache->DropStream(source);
  source = nullptr;
  cache = nullptr;
  currentPage = -1;
}

const uint8_t* CCacheReadStream::GetData(uint64_t n) {
  static const uint8_t kNothing = 0;
  if (!cache) Throw(StreamErrorRead);
  const uint64_t p = position, size = CachedSize(source);
  if (p > size || n > size - p) Throw(StreamErrorRange);
  position = p + n;
  if (const uint8_t* fast = cache->PageData(currentPage, source, p, p + n)) return fast;
  if (n == 0) return &kNothing;
  return cache->Map(source, static_cast<uint32_t>(p), static_cast<uint32_t>(p + n), currentPage);
}

void* CCacheReadStream::Read(void* destination, uint64_t n) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  // A piece of (slots - 2) pages spans at most slots - 1 pages at any offset.
  const uint64_t piece = uint64_t{cache ? cache->SlotCapacity() - 2 : 1} * CStreamCache::kPageSize;
  while (n > 0) {
    uint64_t k = n < piece ? n : piece;
    std::memcpy(out, GetData(k), static_cast<size_t>(k));
    out += k;
    n -= k;
  }
  return destination;
}

uint64_t CCacheReadStream::GetSize() { return source ? CachedSize(source) : 0; }

uint64_t CCacheReadStream::GetRemaining() {
  uint64_t size = GetSize();
  return position < size ? size - position : 0;
}

uint64_t CCacheReadStream::GetMaxData() {
  return cache ? uint64_t{cache->SlotCount()} * CStreamCache::kPageSize : 0;
}

uint64_t CCacheReadStream::GetAvailable() {
  return cache ? cache->PageAvailable(currentPage, source, position) : 0;
}
