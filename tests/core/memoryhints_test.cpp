// The memory hints change nothing but speed: the bytes of the ranges they
// touch stay as they were, odd ranges are harmless.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/platform/platform.h"

TEST(MemoryHints, RangesKeepTheirBytes) {
  const size_t n = 9u << 20;
  std::unique_ptr<uint8_t, decltype(&std::free)> block(static_cast<uint8_t*>(std::malloc(n)), &std::free);
  ASSERT_TRUE(block);
  uint8_t* p = block.get();
  for (size_t i = 0; i < n; i += 4096) p[i] = static_cast<uint8_t>(i >> 12);
  Platform::AdviseLargePages(p, n);
  Platform::AdviseLargePages(p + 1, n - 3);
  Platform::AdviseLargePages(p, 0);
  Platform::AdviseLargePages(nullptr, 0);
  Platform::AdviseLargePages(p + 7, UINT64_MAX);  // wraps: ignored
  Platform::PrefaultPages(p + 100, n - 200);
  EXPECT_FALSE(Platform::PrefaultPages(p, 0));
  EXPECT_FALSE(Platform::PrefaultPages(p + 7, UINT64_MAX));
  for (size_t i = 0; i < n; i += 4096) ASSERT_EQ(p[i], static_cast<uint8_t>(i >> 12)) << i;
}

TEST(MemoryHints, HeapGrowthBetweenAllocations) {
  std::vector<std::unique_ptr<uint32_t[]>> blocks;
  for (uint32_t i = 0; i < 20000; i++) {
    Platform::AdviseHeapGrowth();
    blocks.emplace_back(new uint32_t[64]);
    for (uint32_t k = 0; k < 64; k++) blocks.back()[k] = i * 64 + k;
  }
  Platform::AdviseHeapGrowth();
  for (uint32_t i = 0; i < blocks.size(); i++) {
    for (uint32_t k = 0; k < 64; k++) ASSERT_EQ(blocks[i][k], i * 64 + k);
  }
}
