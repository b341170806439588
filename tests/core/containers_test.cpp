#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "core/containers.h"

TEST(ReallocArray, GrowthRule) {
  struct Case {
    size_t capacity, reserve, expected;
  } cases[] = {{10, 11, 15}, {10, 20, 20}, {0, 7, 7}, {10, 5, 10}, {10, 10, 10}};
  for (const Case& c : cases) {
    CReallocArray<int> a;
    if (c.capacity) a.Reserve(c.capacity);
    a.Reserve(c.reserve);
    EXPECT_EQ(a.capacity, c.expected) << c.capacity << " " << c.reserve;
  }
}

TEST(ReallocArray, PushBackOfOwnElementWhileFull) {
  CReallocArray<uint64_t> a;
  a.Reserve(4);
  for (uint64_t i = 0; i < 4; i++) a.PushBack(i * 11);
  ASSERT_EQ(a.count, a.capacity);
  a.PushBack(a[3]);  // the storage moves while the element is read
  ASSERT_EQ(a.Size(), 5u);
  EXPECT_EQ(a[4], 33u);

  CReallocArray<std::string> s;
  s.Reserve(2);
  s.PushBack(std::string(100, 'x'));
  s.PushBack("short");
  s.PushBack(s[1]);
  s.PushBack(s[0]);
  EXPECT_EQ(s[2], "short");
  EXPECT_EQ(s[3], std::string(100, 'x'));
}

// Short strings point into themselves: growth must move them properly.
TEST(ReallocArray, StringsSurviveGrowth) {
  CReallocArray<std::string> a;
  auto text = [](int i) { return std::to_string(i) + (i % 7 == 0 ? std::string(40, 'y') : ""); };
  for (int i = 0; i < 5000; i++) a.PushBack(text(i));
  for (int i = 0; i < 5000; i++) ASSERT_EQ(a[i], text(i));
  a.Erase(10, 4990);
  ASSERT_EQ(a.Size(), 20u);
  EXPECT_EQ(a[10], text(4990));
  a.Resize(3);
  EXPECT_EQ(a[2], "2");
  a.Resize(5);
  EXPECT_EQ(a[4], "");
}

TEST(ReallocArray, HugeReserveThrowsAndKeepsContents) {
  CReallocArray<uint32_t> a;
  a.PushBack(7);
  EXPECT_THROW(a.Reserve(SIZE_MAX / 2), std::bad_alloc);
  EXPECT_THROW(a.Reserve(SIZE_MAX), std::bad_alloc);
  ASSERT_EQ(a.Size(), 1u);
  EXPECT_EQ(a[0], 7u);
}

TEST(ReallocArray, AssignAndZeroedResize) {
  CReallocArray<uint16_t> a;
  const uint16_t src[] = {1, 2, 3};
  a.Assign(src, 3);
  a.ResizeZeroed(6);
  EXPECT_EQ(a[2], 3);
  EXPECT_EQ(a[5], 0);
  a.Assign(src, 1);
  EXPECT_EQ(a.Size(), 1u);
}

TEST(BlockPool, BlocksAndFreeList) {
  CBlockPool<uint64_t> pool(4);
  uint64_t* first[4];
  for (auto& p : first) p = pool.Alloc();
  EXPECT_EQ(pool.BlockCount(), 1u);
  uint64_t* fifth = pool.Alloc();
  EXPECT_EQ(pool.BlockCount(), 2u);
  pool.Release(first[2]);
  EXPECT_EQ(pool.Alloc(), first[2]);
  EXPECT_NE(fifth, nullptr);
  pool.FreeBlocks();
  EXPECT_EQ(pool.BlockCount(), 0u);
}

namespace {

using TMap = CAvlTreeMap<uint32_t, TLessCompare>;

// Checks links, balances and order; returns the height.
int CheckSubtree(AvlTree::TNodeBase* n, AvlTree::TNodeBase* parent, size_t* count) {
  if (!n) return 0;
  EXPECT_EQ(n->parent, parent);
  int l = CheckSubtree(n->left, n, count);
  int r = CheckSubtree(n->right, n, count);
  EXPECT_EQ(n->balance, r - l);
  EXPECT_LE(std::abs(r - l), 1);
  ++*count;
  return 1 + std::max(l, r);
}

}  // namespace

TEST(AvlTreeMap, AgreesWithStdMultisetUnderRandomOperations) {
  TMap::TPool pool(64);
  TMap tree(&pool);
  std::multiset<uint32_t> reference;
  std::mt19937 rng(12345);
  for (int step = 0; step < 20000; step++) {
    uint32_t key = rng() % 500;
    switch (rng() % 5) {
      case 0:
      case 1: {
        auto [node, inserted] = tree.InsertUnique(key);
        EXPECT_EQ(inserted, reference.count(key) == 0);
        EXPECT_EQ(node->value, key);
        if (inserted) reference.insert(key);
        break;
      }
      case 2:
        tree.InsertMulti(key);
        reference.insert(key);
        break;
      case 3: {
        bool erased = tree.Erase(key);
        EXPECT_EQ(erased, reference.count(key) > 0);
        if (erased) reference.erase(reference.find(key));
        break;
      }
      case 4: {
        auto* floor = tree.FindFloor(key);
        auto it = reference.upper_bound(key);
        if (it == reference.begin()) {
          EXPECT_EQ(floor, nullptr);
        } else {
          ASSERT_NE(floor, nullptr);
          EXPECT_EQ(floor->value, *std::prev(it));
        }
        EXPECT_EQ(tree.Find(key) != nullptr, reference.count(key) > 0);
        break;
      }
    }
    if (step % 997 == 0) {
      size_t count = 0;
      CheckSubtree(tree.root, nullptr, &count);
      EXPECT_EQ(count, reference.size());
      auto it = reference.begin();
      for (auto* n = tree.First(); n; n = TMap::Next(n), ++it) ASSERT_EQ(n->value, *it);
    }
  }
}

TEST(AvlTreeMap, EdgeCases) {
  TMap::TPool pool(8);
  TMap tree(&pool);
  EXPECT_FALSE(tree.Erase(5u));
  for (uint32_t i = 0; i < 3; i++) tree.InsertMulti(7u);
  tree.InsertUnique(9u);
  EXPECT_EQ(tree.FindFloor(6u), nullptr);
  EXPECT_EQ(tree.FindFloor(8u)->value, 7u);
  int sevens = 0;
  for (auto* n = tree.First(); n; n = TMap::Next(n)) sevens += n->value == 7;
  EXPECT_EQ(sevens, 3);
  // Ascending and descending insertions keep the tree balanced.
  TMap big(&pool);
  for (uint32_t i = 0; i < 4096; i++) big.InsertUnique(i);
  for (uint32_t i = 9000; i > 5000; i--) big.InsertUnique(i);
  size_t count = 0;
  EXPECT_LE(CheckSubtree(big.root, nullptr, &count), 18);
  EXPECT_EQ(count, 4096u + 4000u);
}
