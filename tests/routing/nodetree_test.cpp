// The external-node tree: golden bytes of small trees built from the node
// layout, the split rule around equal keys, both limits, and random trees
// read back by a reader of the layout: every reference once, the keys on
// the right side of every node, and a nearest-point search that agrees
// with brute force.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "core/streams.h"
#include "routing/nodetree.h"
#include "support/testutil.h"

namespace {

using TBytes = std::vector<uint8_t>;

void PutU32(TBytes& b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A node as the layout has it: point, links word, reference words.
TBytes Node(int32_t x, int32_t y, uint32_t listWords, bool right, uint32_t leftWords,
            const std::vector<uint32_t>& refs) {
  TBytes b;
  PutU32(b, static_cast<uint32_t>(x));
  PutU32(b, static_cast<uint32_t>(y));
  PutU32(b, listWords | (right ? 1u << 8 : 0) | leftWords << 9);
  for (uint32_t r : refs) PutU32(b, r);
  return b;
}

TBytes Cat(std::initializer_list<TBytes> parts) {
  TBytes all;
  for (const TBytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TBytes Write(std::vector<TExternalNodeEntry> list, uint64_t at = 0) {
  CReallocArray<TExternalNodeEntry> entries;
  for (const TExternalNodeEntry& e : list) entries.PushBack(e);
  CMemStream out;
  out.Seek(at);
  WriteExternalNodeTree(entries, out);
  EXPECT_EQ(out.GetPos(), out.Size());
  return TBytes(out.Data() + at, out.Data() + out.Size());
}

std::string ThrownText(std::vector<TExternalNodeEntry> list) {
  try {
    Write(std::move(list));
  } catch (const char* text) {
    return text;
  }
  return "";
}

TEST(ExternalNodeTree, OneEntryIsOneNode) {
  EXPECT_TRUE(Write({}).empty());
  // A start node's word alone.
  EXPECT_EQ(Write({{5, -7, 0x123458, 99}}), Node(5, -7, 1, false, 0, {0x123458}));
  // An end node's word carries its cost.
  EXPECT_EQ(Write({{-3, 4, 0x40003, 1234}}), Node(-3, 4, 2, false, 0, {0x40003, 1234}));
  // The tree is written where the stream stands.
  EXPECT_EQ(Write({{1, 2, 8, 0}}, 12), Node(1, 2, 1, false, 0, {8}));
}

TEST(ExternalNodeTree, EntriesOfOnePointShareANode) {
  EXPECT_EQ(Write({{10, 20, 0x18, 0}, {10, 20, 0x21, 500}, {10, 20, 0x2a, 0}}),
            Node(10, 20, 4, false, 0, {0x18, 0x21, 500, 0x2a}));
}

TEST(ExternalNodeTree, TwoPointsOfDifferentLatitude) {
  // c is the second group (b = 1, a = 0): the root is the northern point,
  // the southern one its left subtree (4 words).
  TBytes south = Node(7, 1, 1, false, 0, {0x10});
  EXPECT_EQ(Write({{9, 2, 0x20, 0}, {7, 1, 0x10, 0}}), Cat({Node(9, 2, 1, false, 4, {0x20}), south}));
}

TEST(ExternalNodeTree, EqualKeysStayLeftOfTheMedian) {
  // y: 1, 1, 2 -> c = 1, b = 2 > a = 0: the median is the last y = 1 group
  // (x = 8); left the other y = 1 point, right the y = 2 point.
  TBytes left = Node(3, 1, 1, false, 0, {0x10});
  TBytes right = Node(5, 2, 1, false, 0, {0x30});
  EXPECT_EQ(Write({{3, 1, 0x10, 0}, {8, 1, 0x20, 0}, {5, 2, 0x30, 0}}),
            Cat({Node(8, 1, 1, true, 4, {0x20}), left, right}));
  // y: 1, 1, 2, 2 -> c = 2 (y = 2), b = 1, a = 1: the median is the group
  // just before the run, the second y = 1 point. The y = 2 points form the
  // right subtree, split on x: c = their second, b = 1 > a = 0.
  TBytes r2 = Node(4, 2, 1, false, 0, {0x30});
  TBytes r = Cat({Node(6, 2, 1, false, 4, {0x40}), r2});
  EXPECT_EQ(Write({{3, 1, 0x10, 0}, {8, 1, 0x20, 0}, {4, 2, 0x30, 0}, {6, 2, 0x40, 0}}),
            Cat({Node(8, 1, 1, true, 4, {0x20}), Node(3, 1, 1, false, 0, {0x10}), r}));
  // y: 1, 2, 2, 2 -> c = 2, b = 2 > a = 1: the last y = 2 group (x = 9)
  // is the root and all the others lie left of it. Their subtree splits on
  // x: 1, 5, 6 -> the middle one, x = 5, with 1 left and 6 right.
  TBytes sub = Cat({Node(5, 1, 1, true, 4, {0x10}), Node(1, 2, 1, false, 0, {0x40}), Node(6, 2, 1, false, 0, {0x30})});
  EXPECT_EQ(Write({{5, 1, 0x10, 0}, {9, 2, 0x20, 0}, {6, 2, 0x30, 0}, {1, 2, 0x40, 0}}),
            Cat({Node(9, 2, 1, false, static_cast<uint32_t>(sub.size() / 4), {0x20}), sub}));
}

TEST(ExternalNodeTree, ReferenceListLimit) {
  std::vector<TExternalNodeEntry> list(255, TExternalNodeEntry{1, 1, 8, 0});
  TBytes ok = Write(list);
  ASSERT_EQ(ok.size(), 12u + 1020);
  EXPECT_EQ(ok[8], 255);
  list.push_back({1, 1, 8, 0});  // 1024 bytes
  EXPECT_EQ(ThrownText(list), "Too many CH-nodes connected to external node");
  // End-node references take 8 bytes: 127 pass, 128 do not.
  std::vector<TExternalNodeEntry> ends(127, TExternalNodeEntry{1, 1, 9, 5});
  EXPECT_EQ(Write(ends).size(), 12u + 1016);
  ends.push_back({1, 1, 9, 5});
  EXPECT_EQ(ThrownText(ends), "Too many CH-nodes connected to external node");
}

// Counts the bytes it is given without keeping them: a tree of tens of
// megabytes checks the left-subtree limit without the memory.
class CCountingStream : public CWriteStream {
 public:
  void WriteFrom(CReadStream&, uint64_t n) override { Advance(n); }
  void Write(const void*, uint64_t n) override { Advance(n); }
  uint64_t GetPos() override { return position; }
  void Seek(uint64_t p) override { position = p; }

 private:
  void Advance(uint64_t n) {
    position += n;
    if (position > size) size = position;
  }
  uint64_t position = 0, size = 0;
};

TEST(ExternalNodeTree, LeftSubtreeLimit) {
  // Two million points: seconds in the plain 64-bit build only.
  if (TestUtil::kSlow) GTEST_SKIP() << "needs 60 MB and a plain build";
  // Points on one latitude: the root is the last of them and every other
  // point lies in its left subtree, 16 bytes each.
  const uint32_t limit = kMaxLeftSubtreeBytes / 16;
  for (uint32_t n : {limit, limit + 1}) {
    CReallocArray<TExternalNodeEntry> entries;
    entries.Reserve(n);
    for (uint32_t i = 0; i < n; i++) entries.PushBack(TExternalNodeEntry{static_cast<int32_t>(i), 0, 8, 0});
    CCountingStream out;
    const char* thrown = nullptr;
    try {
      WriteExternalNodeTree(entries, out);
    } catch (const char* text) {
      thrown = text;
    }
    if (n == limit) {
      EXPECT_EQ(thrown, nullptr);
      EXPECT_EQ(out.GetPos(), 16ull * n);
    } else {
      ASSERT_NE(thrown, nullptr);
      EXPECT_STREQ(thrown, "Too many external nodes");
    }
  }
}

// ---- reading a tree back --------------------------------------------------------

struct TReadNode {
  int32_t x, y;
  std::vector<uint32_t> refs;  // words and their second u32s
};

class CTreeReader {
 public:
  explicit CTreeReader(const TBytes& b) : bytes(b) {}

  uint32_t U32(size_t p) const {
    EXPECT_LE(p + 4, bytes.size());
    if (p + 4 > bytes.size()) return 0;
    return bytes[p] | bytes[p + 1] << 8 | bytes[p + 2] << 16 | static_cast<uint32_t>(bytes[p + 3]) << 24;
  }

  // Walks the subtree at p (axis: 0 x, 1 y) inside [lo, hi] key bounds of
  // both axes; returns its end.
  size_t Walk(size_t p, int axis, int64_t loX, int64_t hiX, int64_t loY, int64_t hiY, std::vector<TReadNode>& out) {
    TReadNode n{static_cast<int32_t>(U32(p)), static_cast<int32_t>(U32(p + 4)), {}};
    uint32_t links = U32(p + 8);
    EXPECT_TRUE(n.x >= loX && n.x <= hiX && n.y >= loY && n.y <= hiY) << "node at " << p;
    size_t q = p + 12, listEnd = q + 4 * (links & 0xff);
    while (q < listEnd) {
      uint32_t w = U32(q);
      n.refs.push_back(w);
      q += 4;
      if (w & 1) {
        n.refs.push_back(U32(q));
        q += 4;
      }
    }
    EXPECT_EQ(q, listEnd) << "reference list of the node at " << p;
    size_t left = links >> 9, end = listEnd + 4 * left;
    int32_t key = axis == 0 ? n.x : n.y;
    if (left) {
      size_t e = axis == 0 ? Walk(listEnd, 1, loX, key, loY, hiY, out) : Walk(listEnd, 0, loX, hiX, loY, key, out);
      EXPECT_EQ(e, end) << "left subtree of the node at " << p;
    }
    if (links & 0x100) {
      end = axis == 0 ? Walk(end, 1, int64_t{key} + 1, hiX, loY, hiY, out)
                      : Walk(end, 0, loX, hiX, int64_t{key} + 1, hiY, out);
    }
    out.push_back(std::move(n));
    return end;
  }

  // Nearest tree point to (x, y) by squared distance, pruned by the axis
  // distance; ties to the first met.
  void Nearest(size_t p, int axis, int64_t x, int64_t y, int64_t& best, int64_t& bestX, int64_t& bestY) {
    int32_t nx = static_cast<int32_t>(U32(p)), ny = static_cast<int32_t>(U32(p + 4));
    uint32_t links = U32(p + 8);
    int64_t d = (nx - x) * (nx - x) + (ny - y) * (ny - y);
    if (d < best) best = d, bestX = nx, bestY = ny;
    size_t listEnd = p + 12 + 4 * (links & 0xff);
    size_t left = (links >> 9) ? listEnd : 0, right = (links & 0x100) ? listEnd + 4 * (links >> 9) : 0;
    int64_t key = axis == 0 ? nx : ny, q = axis == 0 ? x : y;
    size_t nearSide = q <= key ? left : right, farSide = q <= key ? right : left;
    if (nearSide) Nearest(nearSide, 1 - axis, x, y, best, bestX, bestY);
    int64_t gap = q <= key ? key + 1 - q : q - key;  // to the nearest key of the far side
    if (farSide && gap * gap <= best) {
      Nearest(farSide, 1 - axis, x, y, best, bestX, bestY);
    }
  }

 private:
  const TBytes& bytes;
};

TEST(ExternalNodeTree, RandomTreesReadBackWhole) {
  std::mt19937 rng(5);
  for (int round = 0; round < 40; round++) {
    const int n = 1 + static_cast<int>(rng() % 400);
    const int spread = round % 3 == 0 ? 5 : 1000;  // few distinct coordinates: many equal keys
    std::vector<TExternalNodeEntry> list;
    std::multiset<std::tuple<int32_t, int32_t, uint32_t, uint32_t>> expected;
    for (int i = 0; i < n; i++) {
      TExternalNodeEntry e;
      e.x = static_cast<int32_t>(rng() % spread) - spread / 2;
      e.y = static_cast<int32_t>(rng() % spread) - spread / 2;
      e.word = static_cast<uint32_t>(i) << 3 | static_cast<uint32_t>(rng() & 7);
      e.second = e.word & 1 ? static_cast<uint32_t>(rng()) : 0;
      list.push_back(e);
      expected.insert({e.x, e.y, e.word, e.word & 1 ? e.second : 0});
    }
    TBytes bytes = Write(list);
    CTreeReader reader(bytes);
    std::vector<TReadNode> nodes;
    ASSERT_EQ(reader.Walk(0, 1, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX, nodes), bytes.size()) << round;
    std::multiset<std::tuple<int32_t, int32_t, uint32_t, uint32_t>> found;
    std::set<std::pair<int32_t, int32_t>> points;
    for (const TReadNode& node : nodes) {
      EXPECT_TRUE(points.insert({node.x, node.y}).second) << "point twice in the tree";
      for (size_t i = 0; i < node.refs.size(); i++) {
        uint32_t w = node.refs[i];
        found.insert({node.x, node.y, w, w & 1 ? node.refs[++i] : 0});
      }
    }
    EXPECT_EQ(found, expected) << round;
    for (int probe = 0; probe < 50; probe++) {
      int64_t x = static_cast<int64_t>(rng() % (2 * spread)) - spread, y = static_cast<int64_t>(rng() % (2 * spread)) - spread;
      int64_t best = INT64_MAX, bx = 0, by = 0;
      reader.Nearest(0, 1, x, y, best, bx, by);
      int64_t brute = INT64_MAX;
      for (const auto& p : points) brute = std::min(brute, (p.first - x) * (p.first - x) + (p.second - y) * (p.second - y));
      EXPECT_EQ(best, brute) << "round " << round << " probe (" << x << ", " << y << ")";
    }
  }
}

}  // namespace
