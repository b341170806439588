#include "core/rtree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;
constexpr int32_t kDeg = 1 << 23;

template <class TItem>
struct TTree {
  RTree::CRTreeNodeBase<TItem>* root = nullptr;
  CReallocArray<RTree::TEntry<TItem>> entries;
  TTree() = default;
  TTree(const TTree&) = delete;
  ~TTree() { delete root; }
  void Add(const CGeoRect& r, TItem item) { entries.PushBack({r, item}); }
  void Build() { RTree::BuildTree(root, entries); }
  TBytes Save() const {
    CMemStream s;
    RTree::SaveTree(root, s);
    return TBytes(s.Data(), s.Data() + s.Size());
  }
  std::vector<TItem> Leaves() {
    std::vector<TItem> items;
    RTree::CLeafIterator<TItem> it(root);
    while (auto* leaf = it.Next()) items.push_back(leaf->item);
    return items;
  }
};

// Little-endian byte builder for the golden images.
struct TGolden {
  TBytes b;
  TGolden& U8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  TGolden& U32(uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  TGolden& Rect(int32_t x1, int32_t x2, int32_t y1, int32_t y2) {
    return U32(static_cast<uint32_t>(x1)).U32(static_cast<uint32_t>(x2)).U32(static_cast<uint32_t>(y1))
        .U32(static_cast<uint32_t>(y2));
  }
  TGolden& Header(uint8_t count, uint8_t mask) { return U8(count).U8(mask).U8(0).U8(0); }
};

// ---- Golden bytes -----------------------------------------------------------

TEST(RTreeSave, EmptyTreeIs20Bytes) {
  TTree<unsigned> t;
  t.Build();
  EXPECT_EQ(t.root, nullptr);
  TBytes want = {0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(t.Save(), want);
  EXPECT_EQ(t.Leaves().size(), 0u);
}

TEST(RTreeSave, OneEntryIsARootLeafSavedAsANodeWithOneChild) {
  TTree<unsigned> t;
  t.Add({1, 2, -3, 4}, 0xA1B2C3D4u);
  t.Build();
  ASSERT_TRUE(t.root && t.root->IsLeaf());
  TGolden g;
  g.Rect(1, 2, -3, 4).Header(1, 1).Rect(1, 2, -3, 4).U32(4).U32(0xA1B2C3D4u);
  EXPECT_EQ(g.b.size(), 44u);
  EXPECT_EQ(t.Save(), g.b);
  // The iterator returns the root leaf once.
  RTree::CLeafIterator<unsigned> it(t.root);
  EXPECT_EQ(it.Next(), t.root);
  EXPECT_EQ(it.Next(), nullptr);
  EXPECT_EQ(it.Next(), nullptr);
}

TEST(RTreeSave, TwoDisjointEntriesAreTwoLeavesByHighEdge) {
  TTree<unsigned> t;
  t.Add({10 * kDeg, 20 * kDeg, 0, kDeg}, 1);
  t.Add({0, 5 * kDeg, -kDeg, 0}, 2);
  t.Build();
  TGolden g;
  g.Rect(0, 20 * kDeg, -kDeg, kDeg)
      .Header(2, 3)
      .Rect(0, 5 * kDeg, -kDeg, 0)
      .U32(4)
      .Rect(10 * kDeg, 20 * kDeg, 0, kDeg)
      .U32(8)
      .U32(2)
      .U32(1);
  EXPECT_EQ(t.Save(), g.b);
}

TEST(RTreeSave, TwoEqualEntriesGoIntoOneStraddlingChild) {
  TTree<unsigned> t;
  t.Add({5, 6, 7, 8}, 7);
  t.Add({5, 6, 7, 8}, 8);
  t.Build();
  TGolden g;
  g.Rect(5, 6, 7, 8).Header(1, 0).Rect(5, 6, 7, 8).U32(52);
  g.Header(2, 3).Rect(5, 6, 7, 8).U32(4).Rect(5, 6, 7, 8).U32(8).U32(7).U32(8);
  EXPECT_EQ(t.Save(), g.b);
  EXPECT_EQ(t.root->Count(false), 4u);
  EXPECT_EQ(t.root->Count(true), 2u);
  EXPECT_EQ(t.root->GetSaveSize() + 16, g.b.size());
}

TEST(RTreeBuild, EqualKeysKeepTheirInputOrder) {
  // Six equal rectangles: the straddling split takes the lowest low edge and
  // the highest high edge first; among equals that is the first and the last
  // entry, and the rest follow in input order.
  TTree<unsigned> t;
  for (unsigned i = 0; i < 6; i++) t.Add({1, 2, 3, 4}, i);
  t.Build();
  EXPECT_EQ(t.Leaves(), (std::vector<unsigned>{0, 5, 1, 2, 3, 4}));
  TBytes first = t.Save();
  // Rebuilding over the same root gives the same tree.
  t.Build();
  EXPECT_EQ(t.Save(), first);
}

union TWordItem {
  uint32_t offset;
  int32_t index;
};

TEST(RTreeSave, UnionItemsAreSavedAsTheirWord) {
  TTree<TWordItem> t;
  t.Add({0, 0, 0, 0}, TWordItem{0x80000001u});
  t.Add({kDeg, kDeg, 0, 0}, TWordItem{2u});
  t.Build();
  // The writer swaps items for record offsets between build and save.
  RTree::CLeafIterator<TWordItem> it(t.root);
  while (auto* leaf = it.Next()) leaf->item.offset = (leaf->item.offset & 0x80000000u) | 0x1234u;
  TBytes b = t.Save();
  ASSERT_EQ(b.size(), 16u + 4 + 40 + 8);
  EXPECT_EQ(LoadLE32(&b[60]), 0x80001234u);
  EXPECT_EQ(LoadLE32(&b[64]), 0x1234u);
}

// ---- The build rules with full sorts, as a reference ------------------------

// Sorts indices by one edge, ties by input position, then splits exactly as
// the rules read; the production build selects instead of sorting.
class CReferenceBuilder {
  using TNode = std::unique_ptr<RTree::CRTreeNodeBase<unsigned>>;

 public:
  explicit CReferenceBuilder(const CReallocArray<RTree::TEntry<unsigned>>& list) : entries(list) {}

  RTree::CRTreeNodeBase<unsigned>* Build() {
    if (entries.Empty()) return nullptr;
    std::vector<size_t> all(entries.Size());
    for (size_t i = 0; i < all.size(); i++) all[i] = i;
    return Subtree(all, 0).release();
  }

 private:
  int32_t Edge(size_t i, int axis, bool high) const {
    const CGeoRect& r = entries[i].rect;
    return axis ? (high ? r.y2 : r.y1) : (high ? r.x2 : r.x1);
  }
  void Sort(std::vector<size_t>& v, size_t from, int axis, bool high) const {
    std::sort(v.begin() + static_cast<long>(from), v.end(), [&](size_t a, size_t b) {
      int32_t ka = Edge(a, axis, high), kb = Edge(b, axis, high);
      return ka != kb ? ka < kb : a < b;
    });
  }
  static std::vector<size_t> Part(const std::vector<size_t>& v, size_t from, size_t to) {
    return std::vector<size_t>(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(to));
  }
  TNode Leaf(size_t i) const {
    return std::make_unique<RTree::CRTreeDataNode<unsigned>>(entries[i].rect, entries[i].item);
  }
  void Split(std::vector<size_t>& v, int axis, size_t& m, size_t& r) const {
    size_t n = v.size();
    Sort(v, 0, axis, true);
    m = n / 2;
    while (m > 0 && Edge(v[m], axis, true) == Edge(v[m - 1], axis, true)) m--;
    int32_t limit = m > 0 ? Edge(v[m - 1], axis, true) : INT32_MIN;
    Sort(v, m, axis, false);
    r = (n + 1) / 2;
    while (r < n && Edge(v[r], axis, false) == Edge(v[r - 1], axis, false)) r++;
    while (r < n && Edge(v[r], axis, false) < limit) r++;
  }
  TNode Subtree(std::vector<size_t> v, int axis) const {
    if (v.size() == 1) return Leaf(v[0]);
    auto node = std::make_unique<RTree::CRTreeNode<unsigned>>();
    size_t m, r, n = v.size();
    Split(v, axis, m, r);
    if (m > 0) node->AddChild(Subtree(Part(v, 0, m), 1 - axis));
    if (r > m) node->AddChild(Straddling(Part(v, m, r), axis));
    if (n > r) node->AddChild(Subtree(Part(v, r, n), 1 - axis));
    return node;
  }
  TNode Straddling(std::vector<size_t> v, int axis) const {
    size_t n = v.size();
    if (n == 1) return Leaf(v[0]);
    auto node = std::make_unique<RTree::CRTreeNode<unsigned>>();
    size_t k = std::max<size_t>(n / 3, 1);
    Sort(v, 0, axis, false);
    if (k > 1) {
      size_t h = (k + 1) / 2;
      Sort(v, h, axis, true);
      for (size_t i = h; i < k; i++) std::swap(v[i], v[n - k + i]);
    }
    node->AddChild(Straddling(Part(v, 0, k), axis));
    std::vector<size_t> rest = Part(v, k, n);
    size_t m, r;
    Split(rest, 1 - axis, m, r);
    if (m > 0) node->AddChild(Straddling(Part(rest, 0, m), axis));
    if (r > m) node->AddChild(Straddling(Part(rest, m, r), axis));
    if (rest.size() > r) node->AddChild(Straddling(Part(rest, r, rest.size()), axis));
    return node;
  }

  const CReallocArray<RTree::TEntry<unsigned>>& entries;
};

TEST(RTreeBuild, SameTreeAsTheRulesWithFullSorts) {
  std::mt19937 rng(17);
  for (int iter = 0; iter < 600; iter++) {
    TTree<unsigned> t;
    size_t n = iter < 300 ? iter % 40 + 1 : rng() % 700 + 1;
    // Narrow coordinate ranges make equal edges and equal rectangles common.
    // Points and small rectangles make splits without straddling entries.
    uint32_t range = iter % 3 == 0 ? 4 : (iter % 3 == 1 ? 30 : 100000);
    uint32_t size = iter % 4 == 0 ? 0 : (iter % 4 == 1 ? range / 50 : range / 2);
    for (size_t i = 0; i < n; i++) {
      int32_t x = static_cast<int32_t>(rng() % range), y = static_cast<int32_t>(rng() % range);
      int32_t w = static_cast<int32_t>(rng() % (size + 1)), h = static_cast<int32_t>(rng() % (size + 1));
      t.Add({x, x + w, y - h, y}, static_cast<unsigned>(i));
    }
    t.Build();
    TTree<unsigned> ref;
    ref.root = CReferenceBuilder(t.entries).Build();
    ASSERT_EQ(t.Save(), ref.Save()) << "iteration " << iter << " n " << n;
    ASSERT_EQ(t.Leaves(), ref.Leaves());
  }
}

// ---- A decoder of the saved form, from its layout table -----------------------

struct TDecoded {
  std::vector<std::pair<CGeoRect, uint32_t>> leaves;  // in record order
  size_t innerNodes = 0;
};

bool SpanInside(const CGeoRect& inner, const CGeoRect& outer) {
  if (inner.IsEmpty()) return true;
  if (inner.y1 < outer.y1 || inner.y2 > outer.y2) return false;
  if (outer.x1 == kGeoWest && outer.x2 == kGeoEast) return true;
  return uint64_t{EastDistance(outer.x1, inner.x1)} + EastDistance(inner.x1, inner.x2) <=
         EastDistance(outer.x1, outer.x2);
}

class CTreeDecoder {
 public:
  explicit CTreeDecoder(const TBytes& bytes) : b(bytes) {}

  // Checks the whole image; the result lists the leaves.
  TDecoded Decode() {
    EXPECT_GE(b.size(), 20u);
    CGeoRect root = Rect(0);
    if (root.x1 == INT32_MAX) {
      EXPECT_EQ(b.size(), 20u);
      for (size_t i = 4; i < 20; i++) EXPECT_EQ(b[i], 0) << i;
      return out;
    }
    size_t end = Node(16, root);
    EXPECT_EQ(end, b.size()) << "trailing bytes";
    return out;
  }

 private:
  uint32_t U32(size_t p) const {
    return static_cast<uint32_t>(b[p]) | static_cast<uint32_t>(b[p + 1]) << 8 |
           static_cast<uint32_t>(b[p + 2]) << 16 | static_cast<uint32_t>(b[p + 3]) << 24;
  }
  CGeoRect Rect(size_t p) const {
    return {static_cast<int32_t>(U32(p)), static_cast<int32_t>(U32(p + 4)), static_cast<int32_t>(U32(p + 8)),
            static_cast<int32_t>(U32(p + 12))};
  }

  // Reads a node record at p inside the given bounds; returns its end.
  size_t Node(size_t p, const CGeoRect& bounds) {
    out.innerNodes++;
    if (p + 4 > b.size()) {
      ADD_FAILURE() << "node header beyond the end at " << p;
      return b.size();
    }
    unsigned n = b[p], mask = b[p + 1];
    EXPECT_TRUE(n >= 1 && n <= 4) << "count " << n << " at " << p;
    EXPECT_EQ(mask >> n, 0u) << "mask bits beyond the count at " << p;
    EXPECT_EQ(b[p + 2] | b[p + 3], 0) << p;
    size_t base = p + 4 + 20 * n;
    if (n == 0 || n > 4 || base > b.size()) {
      ADD_FAILURE() << "bad node at " << p;
      return b.size();
    }
    CGeoRect unionRect;
    uint32_t prevEnd = 0;
    for (unsigned i = 0; i < n; i++) {
      CGeoRect child = Rect(p + 4 + 20 * i);
      uint32_t childEnd = U32(p + 4 + 20 * i + 16);
      EXPECT_TRUE(SpanInside(child, bounds)) << "child " << i << " outside its node at " << p;
      unionRect.Extend(child);
      EXPECT_GT(childEnd, prevEnd) << p;
      size_t start = base + prevEnd;
      if (mask >> i & 1) {
        EXPECT_EQ(childEnd - prevEnd, 4u) << "leaf size at " << start;
        if (start + 4 <= b.size()) out.leaves.push_back({child, U32(start)});
      } else {
        size_t end = Node(start, child);
        EXPECT_EQ(end, base + childEnd) << "end offset of child " << i << " at " << p;
      }
      prevEnd = childEnd;
    }
    EXPECT_EQ(unionRect, bounds) << "bounds are not the union of the children at " << p;
    return base + prevEnd;
  }

  const TBytes& b;
  TDecoded out;
};

// ---- Random trees against a brute-force scan ----------------------------------

struct TRectSource {
  std::mt19937 rng;
  explicit TRectSource(unsigned seed) : rng(seed) {}

  int32_t Longitude(int32_t around, uint32_t spread) {
    int64_t x = around + static_cast<int64_t>(rng() % (2 * spread + 1)) - spread;
    x = (x - kGeoWest) % kGeo360;
    if (x < 0) x += kGeo360;
    return static_cast<int32_t>(x + kGeoWest);
  }
  // Clustered near a few places, one of them on the meridian, so that
  // rectangles overlap, repeat and cross +/-180.
  CGeoRect Next() {
    static const int32_t centres[] = {0, 10 * kDeg, -170 * kDeg, 179 * kDeg};
    int32_t cx = centres[rng() % 4];
    int32_t x1 = Longitude(cx, 3 * kDeg);
    int32_t y1 = static_cast<int32_t>(rng() % (6u * kDeg)) - 3 * kDeg;
    uint32_t w, h;
    switch (rng() % 4) {
      case 0:  // a point
        w = h = 0;
        break;
      case 1:  // large
        w = rng() % (40u * kDeg);
        h = rng() % (10u * kDeg);
        break;
      default:
        w = rng() % (kDeg / 2);
        h = rng() % (kDeg / 2);
    }
    int32_t x2 = static_cast<int32_t>(kGeoWest + (int64_t{x1} - kGeoWest + w) % kGeo360);
    return {x1, x2, y1, static_cast<int32_t>(y1 + static_cast<int32_t>(h))};
  }
};

bool SameMultiset(std::vector<unsigned> a, std::vector<unsigned> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return a == b;
}

std::vector<unsigned> ToVector(const CReallocArray<unsigned>& a) { return std::vector<unsigned>(a.begin(), a.end()); }

void CheckRandomTree(size_t n, unsigned seed, int queries) {
  TRectSource src(seed);
  TTree<unsigned> t;
  for (size_t i = 0; i < n; i++) {
    if (i > 0 && src.rng() % 5 == 0) {
      t.Add(t.entries[src.rng() % i].rect, static_cast<unsigned>(i));  // duplicate rectangle
    } else {
      t.Add(src.Next(), static_cast<unsigned>(i));
    }
  }
  t.Build();
  ASSERT_EQ(t.root == nullptr, n == 0);
  std::vector<unsigned> leafOrder = t.Leaves();
  ASSERT_EQ(leafOrder.size(), n);

  // The saved image decodes to the same entries.
  TBytes image = t.Save();
  TDecoded d = CTreeDecoder(image).Decode();
  ASSERT_EQ(d.leaves.size(), n);
  std::vector<unsigned> savedItems;
  for (size_t i = 0; i < n; i++) {
    savedItems.push_back(d.leaves[i].second);
    ASSERT_EQ(d.leaves[i].first, t.entries[d.leaves[i].second].rect) << "rectangle of item " << d.leaves[i].second;
  }
  ASSERT_EQ(savedItems, leafOrder) << "records follow the depth-first leaf order";
  std::vector<unsigned> every(n);
  for (size_t i = 0; i < n; i++) every[i] = static_cast<unsigned>(i);
  ASSERT_TRUE(SameMultiset(savedItems, every)) << "each entry saved exactly once";
  if (n > 1) {
    EXPECT_EQ(image.size(), t.root->GetSaveSize() + 16);
    EXPECT_EQ(t.root->Count(true), n);
    EXPECT_EQ(t.root->Count(false), n + d.innerNodes);
  }

  std::vector<size_t> rank(n);
  for (size_t i = 0; i < n; i++) rank[leafOrder[i]] = i;
  for (int q = 0; q < queries; q++) {
    CGeoRect query = q % 17 == 0 ? CGeoRect::FullWidth(-kDeg, kDeg) : src.Next();
    if (q % 11 == 0) query = CGeoRect::AroundPoint({query.x1, query.y1});
    if (q % 13 == 0 && n > 0) query = t.entries[src.rng() % n].rect;
    std::vector<unsigned> want;
    for (const auto& e : t.entries) {
      if (query.Intersects(e.rect)) want.push_back(e.item);
    }
    CReallocArray<unsigned> got;
    if (t.root) t.root->Search(query, got);
    std::vector<unsigned> found = ToVector(got);
    ASSERT_TRUE(SameMultiset(found, want)) << "n " << n << " query " << q;
    for (size_t i = 1; i < found.size(); i++) ASSERT_LT(rank[found[i - 1]], rank[found[i]]) << "tree order";
    if (t.root) {
      ASSERT_EQ(t.root->Intersects(query), !want.empty());
    }

    CGeoRect old = src.Next();
    if (q % 3 == 0) old = CGeoRect();
    std::vector<unsigned> wantNew;
    for (const auto& e : t.entries) {
      if (e.rect.Intersects(query) && !e.rect.Intersects(old)) wantNew.push_back(e.item);
    }
    got.Clear();
    if (t.root) t.root->SearchNew(query, old, got);
    ASSERT_TRUE(SameMultiset(ToVector(got), wantNew)) << "SearchNew n " << n << " query " << q;
  }
}

TEST(RTreeSearch, MatchesBruteForceFromZeroToTenThousandEntries) {
  const size_t sizes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 17, 25, 31, 64, 100, 257, 1000, 3000, 10000};
  unsigned seed = 1;
  for (size_t n : sizes) {
    SCOPED_TRACE(n);
    CheckRandomTree(n, seed++, n >= 3000 ? 60 : 150);
    if (HasFatalFailure()) return;
  }
}

TEST(RTreeSearch, ManyEqualRectanglesAndPoints) {
  // Degenerate inputs: every split finds only equal keys.
  for (size_t n : {2u, 6u, 7u, 100u, 2000u}) {
    TTree<unsigned> t;
    for (size_t i = 0; i < n; i++) t.Add({5, 5, 5, 5}, static_cast<unsigned>(i));
    t.Build();
    TDecoded d = CTreeDecoder(t.Save()).Decode();
    EXPECT_EQ(d.leaves.size(), n);
    CReallocArray<unsigned> got;
    t.root->Search({5, 5, 5, 5}, got);
    EXPECT_EQ(got.Size(), n);
    got.Clear();
    t.root->Search({6, 7, 5, 5}, got);
    EXPECT_EQ(got.Size(), 0u);
    EXPECT_FALSE(t.root->Intersects({0, 4, 0, 10}));
    EXPECT_TRUE(t.root->Intersects({0, 5, 0, 5}));
  }
}

TEST(RTreeBuild, IntItemsAndRebuildFreesTheOldTree) {
  TTree<int> t;
  for (int i = 0; i < 50; i++) t.Add({i * kDeg, i * kDeg + 10, 0, 10}, -i);
  t.Build();
  CReallocArray<int> got;
  t.root->Search({3 * kDeg, 4 * kDeg, 0, 0}, got);
  EXPECT_EQ(std::vector<int>(got.begin(), got.end()), (std::vector<int>{-3, -4}));
  t.entries.Clear();
  t.Build();  // the old tree goes (the sanitizer build checks the leak)
  EXPECT_EQ(t.root, nullptr);
}

}  // namespace
