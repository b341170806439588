// The page cache over synthetic sources: what it reads from a source, where
// it keeps pages, and the bytes of every request against the source.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "mapfile/pagecache.h"

namespace {

// A source whose byte at position p is a function of p and its seed; it
// counts its reads and can be told to fail them.
class CCountingSource : public CReadStream {
 public:
  CCountingSource(uint64_t streamSize, uint8_t streamSeed) : size(streamSize), seed(streamSeed) {}

  static uint8_t ByteAt(uint64_t p, uint8_t seed) { return static_cast<uint8_t>((p * 131 + (p >> 10) * 7) ^ seed); }
  uint8_t ByteAt(uint64_t p) const { return ByteAt(p, seed); }

  const uint8_t* GetData(uint64_t) override { throw TStreamException{StreamErrorBuffer}; }
  void* Read(void* destination, uint64_t n) override {
    if (position + n > size) throw TStreamException{StreamErrorRange};
    if (failReads) throw TStreamException{StreamErrorRead};
    reads++;
    bytesRead += n;
    uint8_t* out = static_cast<uint8_t*>(destination);
    for (uint64_t i = 0; i < n; i++) out[i] = ByteAt(position + i);
    position += n;
    return destination;
  }
  uint64_t GetRemaining() override { return size - position; }
  uint64_t GetSize() override { return size; }
  uint64_t GetMaxData() override { return 0; }
  uint64_t GetAvailable() override { return 0; }
  uint64_t GetPos() override { return position; }
  void Seek(uint64_t p) override { position = p; }

  uint64_t size;
  uint8_t seed;
  uint64_t position = 0;
  uint64_t reads = 0;
  uint64_t bytesRead = 0;
  bool failReads = false;
};

// Every byte of a request must be the source's.
::testing::AssertionResult BytesMatch(const uint8_t* p, uint64_t from, uint64_t n, uint8_t seed) {
  for (uint64_t i = 0; i < n; i++) {
    if (p[i] != CCountingSource::ByteAt(from + i, seed)) {
      return ::testing::AssertionFailure() << "byte " << from + i << " of a request at " << from << " + " << n;
    }
  }
  return ::testing::AssertionSuccess();
}

// Every used slot holds one distinct page with its true end.
::testing::AssertionResult SlotsConsistent(const CStreamCache& cache) {
  if (!cache.IndexesConsistent()) return ::testing::AssertionFailure() << "the indexes disagree with the slots";
  std::set<std::pair<const CReadStream*, uint32_t>> seen;
  for (uint32_t i = 0; i < cache.SlotCount(); i++) {
    const TCachePage& s = cache.Slot(i);
    if (s.start == TCachePage::kFree) {
      if (s.stamp != 0) return ::testing::AssertionFailure() << "free slot " << i << " has a stamp";
      continue;
    }
    if (s.start % 1024 != 0 || !seen.insert({s.source, s.start}).second) {
      return ::testing::AssertionFailure() << "slot " << i << " holds page " << s.start << " twice or unaligned";
    }
    auto* src = static_cast<const CCountingSource*>(s.source);
    if (s.end != std::min<uint64_t>(s.start + 1024ull, src->size)) {
      return ::testing::AssertionFailure() << "slot " << i << " ends at " << s.end;
    }
  }
  return ::testing::AssertionSuccess();
}

struct TFixture {
  CStreamCache cache;
  CCountingSource source;
  CCacheReadStream stream;
  explicit TFixture(uint64_t size, uint32_t slots = CStreamCache::kDefaultSlots) : cache(slots), source(size, 1) {
    stream.Attach(&source, &cache);
  }
  const uint8_t* At(uint64_t p, uint64_t n) {
    stream.Seek(p);
    return stream.GetData(n);
  }
};

TEST(PageCache, RequestInsideACachedPageReadsNothing) {
  TFixture f(10000);
  EXPECT_TRUE(BytesMatch(f.At(100, 50), 100, 50, 1));
  EXPECT_EQ(f.source.reads, 1u);
  EXPECT_EQ(f.source.bytesRead, 1024u);
  EXPECT_TRUE(BytesMatch(f.At(0, 1024), 0, 1024, 1));
  EXPECT_TRUE(BytesMatch(f.At(1000, 24), 1000, 24, 1));
  EXPECT_EQ(f.source.reads, 1u);
  EXPECT_EQ(f.stream.GetAvailable(), 0u);  // the position is at the page end
  f.stream.Seek(10);
  EXPECT_EQ(f.stream.GetAvailable(), 1014u);

  // Crossing into the next page reads only that page, and the span is contiguous.
  EXPECT_TRUE(BytesMatch(f.At(1000, 100), 1000, 100, 1));
  EXPECT_EQ(f.source.reads, 2u);
  EXPECT_EQ(f.source.bytesRead, 2048u);
  EXPECT_TRUE(BytesMatch(f.At(500, 2000), 500, 2000, 1));
  EXPECT_EQ(f.source.reads, 3u);
  EXPECT_EQ(f.source.bytesRead, 3072u);
  EXPECT_TRUE(SlotsConsistent(f.cache));
}

TEST(PageCache, MissingPagesOfASpanAreReadTogether) {
  TFixture f(100000);
  EXPECT_TRUE(BytesMatch(f.At(5 * 1024, 10), 5 * 1024, 10, 1));
  // Pages 2-4 and 6-9 are missing: two runs, two reads.
  EXPECT_TRUE(BytesMatch(f.At(2 * 1024 + 7, 8 * 1024), 2 * 1024 + 7, 8 * 1024, 1));
  EXPECT_EQ(f.source.reads, 3u);
  EXPECT_EQ(f.source.bytesRead, 9 * 1024u);
  EXPECT_TRUE(SlotsConsistent(f.cache));
}

TEST(PageCache, SpanLimitIsOneSlotLessThanTheCache) {
  TFixture f(10240ull * 1024 + 5000);
  EXPECT_TRUE(BytesMatch(f.At(0, 10239ull * 1024), 0, 10239ull * 1024, 1));
  // At an unaligned position the same length needs one page more.
  f.stream.Seek(1);
  try {
    f.stream.GetData(10239ull * 1024);
    ADD_FAILURE() << "a span of 10240 pages was served";
  } catch (const TStreamException& e) {
    EXPECT_EQ(e.code, StreamErrorBuffer);
  }
  // Read copies in pieces, so any length fits.
  std::vector<uint8_t> all(f.source.size);
  f.stream.Seek(0);
  f.stream.Read(all.data(), all.size());
  EXPECT_TRUE(BytesMatch(all.data(), 0, all.size(), 1));
  EXPECT_TRUE(SlotsConsistent(f.cache));
}

TEST(PageCache, LastPageEndsAtTheSourceEnd) {
  TFixture f(3000);
  EXPECT_TRUE(BytesMatch(f.At(2990, 10), 2990, 10, 1));
  const TCachePage& last = f.cache.Slot(0);
  EXPECT_EQ(last.start, 2048u);
  EXPECT_EQ(last.end, 3000u);
  EXPECT_EQ(f.source.bytesRead, 3000u - 2048u);
  EXPECT_EQ(f.stream.GetRemaining(), 0u);
  EXPECT_NE(f.At(3000, 0), nullptr);  // an empty request at the end
}

TEST(PageCache, RequestsBeyondTheEndFail) {
  TFixture f(3000);
  const std::pair<uint64_t, uint64_t> requests[] = {{2990, 11}, {3001, 0}, {0, 3001}, {0xFFFFFFFFull, 2},
                                                    {1, ~0ull}, {1ull << 40, 1}};
  for (auto [p, n] : requests) {
    f.stream.Seek(p);
    try {
      f.stream.GetData(n);
      ADD_FAILURE() << p << " + " << n;
    } catch (const TStreamException& e) {
      EXPECT_EQ(e.code, StreamErrorRange) << p << " + " << n;
    }
  }
  EXPECT_EQ(f.source.reads, 0u);
}

TEST(PageCache, DroppedStreamIsReadAgain) {
  TFixture f(10000);
  f.At(0, 3000);
  EXPECT_EQ(f.source.reads, 1u);
  f.cache.DropStream(&f.source);
  for (uint32_t i = 0; i < f.cache.SlotCount(); i++) {
    EXPECT_EQ(f.cache.Slot(i).start, TCachePage::kFree);
  }
  EXPECT_TRUE(BytesMatch(f.At(0, 3000), 0, 3000, 1));
  EXPECT_EQ(f.source.reads, 2u);
  EXPECT_TRUE(SlotsConsistent(f.cache));
}

TEST(PageCache, TwoStreamsAtTheSamePositionsGetTheirOwnPages) {
  CStreamCache cache(64);
  CCountingSource a(5000, 1), b(5000, 2);
  CCacheReadStream sa, sb;
  sa.Attach(&a, &cache);
  sb.Attach(&b, &cache);
  for (int round = 0; round < 2; round++) {
    sa.Seek(1000);
    EXPECT_TRUE(BytesMatch(sa.GetData(2000), 1000, 2000, 1));
    sb.Seek(1000);
    EXPECT_TRUE(BytesMatch(sb.GetData(2000), 1000, 2000, 2));
  }
  EXPECT_EQ(a.reads, 1u);
  EXPECT_EQ(b.reads, 1u);
  EXPECT_TRUE(SlotsConsistent(cache));
  sa.Detach();  // drops a's pages only
  uint32_t used = 0;
  for (uint32_t i = 0; i < cache.SlotCount(); i++) {
    if (cache.Slot(i).start != TCachePage::kFree) {
      used++;
      EXPECT_EQ(cache.Slot(i).source, &b);
    }
  }
  EXPECT_EQ(used, 3u);
}

TEST(PageCache, LeastRecentlyUsedPageIsEvicted) {
  // Four slots: spans of up to three pages.
  TFixture f(100 * 1024, 4);
  for (uint64_t page = 0; page < 4; page++) f.At(page * 1024, 1);
  EXPECT_EQ(f.source.reads, 4u);
  f.At(0, 1);  // page 0 is now the newest; page 1 the oldest
  f.At(4 * 1024, 1);
  EXPECT_EQ(f.source.reads, 5u);
  EXPECT_EQ(f.cache.SlotCount(), 4u);
  f.At(0, 1);
  f.At(2 * 1024, 1);
  f.At(3 * 1024, 1);
  EXPECT_EQ(f.source.reads, 5u);
  f.At(1024, 1);  // evicted
  EXPECT_EQ(f.source.reads, 6u);
  EXPECT_TRUE(SlotsConsistent(f.cache));
}

TEST(PageCache, FailedReadLeavesNoPageBehind) {
  TFixture f(50000, 8);
  f.At(0, 100);
  f.source.failReads = true;
  f.stream.Seek(3000);
  EXPECT_THROW(f.stream.GetData(4000), TStreamException);
  f.source.failReads = false;
  EXPECT_TRUE(SlotsConsistent(f.cache));
  // Nothing of the failed span counts as cached: its bytes come right.
  EXPECT_TRUE(BytesMatch(f.At(3000, 4000), 3000, 4000, 1));
  EXPECT_TRUE(BytesMatch(f.At(0, 100), 0, 100, 1));
}

TEST(PageCache, DetachedStreamCannotRead) {
  CCacheReadStream s;
  EXPECT_THROW(s.GetData(1), TStreamException);
  EXPECT_EQ(s.GetSize(), 0u);
  EXPECT_EQ(s.GetAvailable(), 0u);
}

// Random requests from several sources through a small cache: every request
// returns the source's bytes, contiguous, and the slots stay consistent.
// After `warmUp` steps the stamp counter jumps to `stamp`.
void RandomRequests(uint32_t slots, int steps, int warmUp = 0, uint32_t stamp = 0) {
  {
    CStreamCache cache(slots);
    std::vector<std::unique_ptr<CCountingSource>> sources;
    std::vector<std::unique_ptr<CCacheReadStream>> streams;
    const uint64_t sizes[] = {1, 1023, 1024, 1025, 7000, 40 * 1024, 200 * 1024 + 17};
    for (uint64_t size : sizes) {
      sources.push_back(std::make_unique<CCountingSource>(size, static_cast<uint8_t>(sources.size() + 3)));
      streams.push_back(std::make_unique<CCacheReadStream>());
      streams.back()->Attach(sources.back().get(), &cache);
    }
    std::mt19937 rng(slots);
    const uint64_t maxSpan = (slots - 2) * 1024ull;
    for (int step = 0; step < steps; step++) {
      if (step == warmUp && stamp != 0) cache.AdvanceStampCounter(stamp);
      size_t k = rng() % sources.size();
      CCountingSource& src = *sources[k];
      CCacheReadStream& s = *streams[k];
      uint64_t n = rng() % 4 == 0 ? rng() % (maxSpan + 1) : rng() % 300;
      if (n > src.size) n = src.size;
      uint64_t p = rng() % (src.size - n + 1);
      s.Seek(p);
      if (rng() % 3 == 0) {
        std::vector<uint8_t> out(n + 1);
        s.Read(out.data(), n);
        ASSERT_TRUE(BytesMatch(out.data(), p, n, src.seed)) << "slots " << slots << " step " << step;
      } else {
        ASSERT_TRUE(BytesMatch(s.GetData(n), p, n, src.seed)) << "slots " << slots << " step " << step;
      }
      EXPECT_EQ(s.GetPos(), p + n);
      if (step % 200 == 0) {
        ASSERT_TRUE(SlotsConsistent(cache));
      }
      if (step % 2500 == 2499) cache.DropStream(&src);
    }
    EXPECT_LE(cache.SlotCount(), slots);
    ASSERT_TRUE(SlotsConsistent(cache));
    streams.clear();  // detaching drops every page
    for (uint32_t i = 0; i < cache.SlotCount(); i++) {
      EXPECT_EQ(cache.Slot(i).start, TCachePage::kFree);
    }
  }
}

TEST(PageCache, RandomRequestsThroughSmallCaches) {
  for (uint32_t slots : {3u, 5u, 16u, 64u}) RandomRequests(slots, 12000);
}

// The counter wraps after 2^32 requests: the stamps in use are renumbered in
// their order, so the least recently used page is still the one evicted and
// no page in use looks free.
TEST(PageCache, StampCounterWrap) {
  TFixture f(100 * 1024, 4);
  f.At(0, 1);
  f.cache.AdvanceStampCounter(0xFFFFFFFDu);
  for (uint64_t page = 1; page < 4; page++) f.At(page * 1024, 1);  // the last of these wraps
  EXPECT_LT(f.cache.StampCounter(), 8u);
  EXPECT_TRUE(SlotsConsistent(f.cache));
  for (uint32_t i = 0; i < f.cache.SlotCount(); i++) EXPECT_NE(f.cache.Slot(i).stamp, 0u) << i;
  f.At(4 * 1024, 1);  // evicts page 0, the oldest
  f.At(2 * 1024, 1);
  f.At(3 * 1024, 1);
  f.At(4 * 1024, 1);
  EXPECT_EQ(f.source.reads, 5u);
  f.At(1024, 1);  // page 1 is now the oldest: still cached
  EXPECT_EQ(f.source.reads, 5u);
  EXPECT_TRUE(BytesMatch(f.At(0, 1), 0, 1, 1));
  EXPECT_EQ(f.source.reads, 6u);
  EXPECT_TRUE(SlotsConsistent(f.cache));
  // A span laid out by the request that wraps, over slots all in use.
  f.cache.AdvanceStampCounter(0xFFFFFFFFu);
  EXPECT_TRUE(BytesMatch(f.At(5 * 1024 + 10, 3000), 5 * 1024 + 10, 3000, 1));
  EXPECT_TRUE(SlotsConsistent(f.cache));
  for (uint64_t page = 0; page < 8; page++) EXPECT_TRUE(BytesMatch(f.At(page * 1024, 1024), page * 1024, 1024, 1));

  for (uint32_t slots : {3u, 5u, 16u}) RandomRequests(slots, 6000, 3000, 0xFFFFFFFFu - 1000);
}

TEST(PageCache, ResetForgetsEverything) {
  TFixture f(10000, 8);
  f.At(0, 5000);
  f.cache.Reset();
  EXPECT_EQ(f.cache.SlotCount(), 0u);
  EXPECT_EQ(f.cache.StampCounter(), 0u);
  EXPECT_EQ(f.stream.GetAvailable(), 0u);
  EXPECT_TRUE(BytesMatch(f.At(0, 5000), 0, 5000, 1));
  EXPECT_EQ(f.source.reads, 2u);
}

}  // namespace
