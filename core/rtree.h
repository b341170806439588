// Bulk-built spatial index over CGeoRect with 4-byte items, searched through
// virtual node operations and saved into map files. A tree is built once from
// a complete entry list; there is no insertion or removal.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "core/bytes.h"
#include "core/containers.h"
#include "core/geo.h"
#include "core/streams.h"

namespace RTree {

// ---- Saved form ---------------------------------------------------------------
// All integers little-endian. A saved tree is the root rectangle, then the
// root's node record (a root leaf is saved as a node with one leaf child).
//
//   tree:   0  16      root bounds: x1, x2, y1, y2 (int32 each)
//           16 ...     root node record
//   node:   0  1       child count n (1..4)
//           1  1       leaf mask: bit i set when child i is a leaf
//           2  2       0
//           4  20 x n  per child: bounds (16 bytes) and a u32 end offset, the
//                      sum of the saved sizes of children 0..i, counted from
//                      the first byte after the last of these entries
//           4+20n ...  the children's records in child order
//   leaf:   0  4       the item
//
// The empty tree is a rectangle with x1 = 0x7FFFFFFF and the rest 0, then a
// zero node header: 20 bytes.

constexpr uint32_t kRectSize = 16;
constexpr uint32_t kNodeHeaderSize = 4;
constexpr uint32_t kChildEntrySize = kRectSize + 4;
constexpr uint32_t kLeafSize = 4;
constexpr int kMaxChildren = 4;

inline void EncodeRect(uint8_t* p, const CGeoRect& r) {
  StoreLE32(p, static_cast<uint32_t>(r.x1));
  StoreLE32(p + 4, static_cast<uint32_t>(r.x2));
  StoreLE32(p + 8, static_cast<uint32_t>(r.y1));
  StoreLE32(p + 12, static_cast<uint32_t>(r.y2));
}
inline CGeoRect DecodeRect(const uint8_t* p) {
  return {static_cast<int32_t>(LoadLE32(p)), static_cast<int32_t>(LoadLE32(p + 4)),
          static_cast<int32_t>(LoadLE32(p + 8)), static_cast<int32_t>(LoadLE32(p + 12))};
}

// Node header: child count and leaf mask, then two zero bytes.
struct TNodeHeader {
  uint8_t count;
  uint8_t leafMask;

  void Encode(uint8_t* p) const {
    p[0] = count;
    p[1] = leafMask;
    p[2] = p[3] = 0;
  }
  static TNodeHeader Decode(const uint8_t* p) { return {p[0], p[1]}; }
};

// One child entry of a node record: the child's bounds and its end offset.
struct TChildEntry {
  CGeoRect bounds;
  uint32_t endOffset;

  void Encode(uint8_t* p) const {
    EncodeRect(p, bounds);
    StoreLE32(p + kRectSize, endOffset);
  }
  static TChildEntry Decode(const uint8_t* p) { return {DecodeRect(p), LoadLE32(p + kRectSize)}; }
};

// ---- Nodes ----------------------------------------------------------------------

// Input record of a build.
template <class TItem>
struct TEntry {
  CGeoRect rect;
  TItem item;
};

template <class TItem>
class CRTreeNodeBase {
  static_assert(sizeof(TItem) == 4 && std::is_trivially_copyable_v<TItem>, "tree items are 4-byte words");

 public:
  CRTreeNodeBase() = default;
  CRTreeNodeBase(const CRTreeNodeBase&) = delete;
  CRTreeNodeBase& operator=(const CRTreeNodeBase&) = delete;
  // Destroying a node destroys its subtree.
  virtual ~CRTreeNodeBase() = default;

  // Appends the items that intersect newRect but not oldRect.
  virtual void SearchNew(const CGeoRect& newRect, const CGeoRect& oldRect, CReallocArray<TItem>& out) const = 0;
  // Appends the items whose rectangles intersect rect (touching counts), in
  // depth-first, left-to-right order.
  virtual void Search(const CGeoRect& rect, CReallocArray<TItem>& out) const = 0;
  // True when some item's rectangle intersects rect.
  virtual bool Intersects(const CGeoRect& rect) const = 0;
  virtual void Save(CWriteStream& stream) const = 0;
  virtual uint64_t GetSaveSize() const = 0;
  // Number of nodes of the subtree, or of its leaves only.
  virtual size_t Count(bool leavesOnly) const = 0;
  virtual bool IsLeaf() const = 0;

  CGeoRect bounds;
};

// Leaf: one entry.
template <class TItem>
class CRTreeDataNode : public CRTreeNodeBase<TItem> {
 public:
  CRTreeDataNode(const CGeoRect& rect, TItem value) : item(value) { this->bounds = rect; }

  void SearchNew(const CGeoRect& newRect, const CGeoRect& oldRect, CReallocArray<TItem>& out) const override {
    if (this->bounds.Intersects(newRect) && !this->bounds.Intersects(oldRect)) out.PushBack(item);
  }
  void Search(const CGeoRect& rect, CReallocArray<TItem>& out) const override {
    if (rect.Intersects(this->bounds)) out.PushBack(item);
  }
  bool Intersects(const CGeoRect& rect) const override { return rect.Intersects(this->bounds); }
  void Save(CWriteStream& stream) const override {
    uint32_t word;
    std::memcpy(&word, &item, sizeof word);
    stream.WriteU32(word);
  }
  uint64_t GetSaveSize() const override { return kLeafSize; }
  size_t Count(bool) const override { return 1; }
  bool IsLeaf() const override { return true; }

  // The map writer replaces items in place between build and save.
  TItem item;
};

// Inner node: 1 to 4 owned children; its bounds are their union.
template <class TItem>
class CRTreeNode : public CRTreeNodeBase<TItem> {
  using TBase = CRTreeNodeBase<TItem>;

 public:
  CRTreeNode() = default;  // empty bounds
  ~CRTreeNode() override {
    for (int i = 0; i < count; i++) delete children[i];
  }

  void AddChild(std::unique_ptr<TBase> child) {
    saveSize = 0;
    this->bounds.Extend(child->bounds);
    children[count++] = child.release();
  }

  void SearchNew(const CGeoRect& newRect, const CGeoRect& oldRect, CReallocArray<TItem>& out) const override {
    CGeoRect clip = newRect.Intersect(this->bounds);
    if (clip.IsEmpty()) return;
    // Everything here that meets the new rectangle meets the old one too.
    if (!oldRect.IsEmpty() && oldRect.y1 <= clip.y1 && clip.y2 <= oldRect.y2 && oldRect.SpanContains(clip.x1) &&
        oldRect.SpanContains(clip.x2))
      return;
    for (int i = 0; i < count; i++) children[i]->SearchNew(newRect, oldRect, out);
  }
  void Search(const CGeoRect& rect, CReallocArray<TItem>& out) const override {
    if (!rect.Intersects(this->bounds)) return;
    for (int i = 0; i < count; i++) children[i]->Search(rect, out);
  }
  bool Intersects(const CGeoRect& rect) const override {
    if (!rect.Intersects(this->bounds)) return false;
    for (int i = 0; i < count; i++) {
      if (children[i]->Intersects(rect)) return true;
    }
    return false;
  }
  void Save(CWriteStream& stream) const override {
    uint8_t record[kNodeHeaderSize + kChildEntrySize * kMaxChildren];
    TNodeHeader header{count, 0};
    uint64_t end = 0;
    for (int i = 0; i < count; i++) {
      if (children[i]->IsLeaf()) header.leafMask |= static_cast<uint8_t>(1u << i);
      end += children[i]->GetSaveSize();
      if (end > UINT32_MAX) throw std::string("Too big spatial tree");
      TChildEntry{children[i]->bounds, static_cast<uint32_t>(end)}.Encode(record + kNodeHeaderSize +
                                                                        kChildEntrySize * i);
    }
    header.Encode(record);
    stream.Write(record, kNodeHeaderSize + kChildEntrySize * count);
    for (int i = 0; i < count; i++) children[i]->Save(stream);
  }
  // Kept once known (the shape is final by then): saving asks every node
  // for its children's sizes, and walking each subtree again for every
  // ancestor would cost n x depth.
  uint64_t GetSaveSize() const override {
    if (saveSize == 0) {
      uint64_t size = kNodeHeaderSize + kChildEntrySize * count;
      for (int i = 0; i < count; i++) size += children[i]->GetSaveSize();
      saveSize = size;
    }
    return saveSize;
  }
  size_t Count(bool leavesOnly) const override {
    size_t n = leavesOnly ? 0 : 1;
    for (int i = 0; i < count; i++) n += children[i]->Count(leavesOnly);
    return n;
  }
  bool IsLeaf() const override { return false; }

  TBase* children[kMaxChildren] = {};
  uint8_t count = 0;

 private:
  mutable uint64_t saveSize = 0;  // 0: not known yet
};

// ---- Bulk build -------------------------------------------------------------

// Splits on one coordinate axis at a time (0: longitude edges x1/x2,
// 1: latitude edges y1/y2), comparing raw coordinates. The rules read as
// sorts by one edge; entries with equal edges keep their input order, so the
// tree's shape (and with it the saved bytes and the map id) depends on
// nothing else. Every subtree sorts its whole range again, so only which
// entries land in which part matters, not their order inside a part: the
// build selects (nth_element) instead of sorting, on indices into the
// caller's array, never moving the entries.
template <class TItem>
class CTreeBuilder {
  using TBase = CRTreeNodeBase<TItem>;

 public:
  static std::unique_ptr<TBase> Build(const CReallocArray<TEntry<TItem>>& entries) {
    if (entries.Empty()) return nullptr;
    if (entries.Size() > UINT32_MAX) throw std::bad_alloc();
    CTreeBuilder builder(entries);
    return builder.BuildSubtree(builder.order.data, entries.Size(), 0);
  }

 private:
  explicit CTreeBuilder(const CReallocArray<TEntry<TItem>>& list) : entries(list) {
    order.Resize(list.Size());
    for (size_t i = 0; i < list.Size(); i++) order[i] = static_cast<uint32_t>(i);
    sortKeys.Resize(list.Size());
  }

  int32_t Low(uint32_t i, int axis) const { return axis ? entries[i].rect.y1 : entries[i].rect.x1; }
  int32_t High(uint32_t i, int axis) const { return axis ? entries[i].rect.y2 : entries[i].rect.x2; }
  template <bool kHigh>
  int32_t Edge(uint32_t i, int axis) const {
    return kHigh ? High(i, axis) : Low(i, axis);
  }
  // The sort order: the edge (bias-shifted to order as unsigned), then the
  // input position.
  template <bool kHigh>
  uint64_t OrderWord(uint32_t i, int axis) const {
    return static_cast<uint64_t>(static_cast<uint32_t>(Edge<kHigh>(i, axis)) ^ 0x80000000u) << 32 | i;
  }

  // Moves the k first entries of e[0, n) in sort order to e[0, k), and the
  // entry of rank k to e[k].
  template <bool kHigh>
  void SelectFirst(uint32_t* e, size_t n, size_t k, int axis) {
    if (k >= n) return;
    uint64_t* words = sortKeys.data;
    for (size_t i = 0; i < n; i++) words[i] = OrderWord<kHigh>(e[i], axis);
    std::nth_element(words, words + k, words + n);
    for (size_t i = 0; i < n; i++) e[i] = static_cast<uint32_t>(words[i]);
  }

  template <bool kHigh, class TPredicate>
  size_t CountIf(const uint32_t* e, size_t n, int axis, TPredicate predicate) const {
    size_t count = 0;
    for (size_t i = 0; i < n; i++) count += predicate(Edge<kHigh>(e[i], axis)) ? 1 : 0;
    return count;
  }

  std::unique_ptr<TBase> Leaf(uint32_t i) const {
    return std::make_unique<CRTreeDataNode<TItem>>(entries[i].rect, entries[i].item);
  }

  // Sort by the high edge; m = n / 2, moved down while the edge before it is
  // equal; limit = the high edge before m. Sort [m, n) by the low edge;
  // r = (n + 1) / 2, moved up while its low edge equals the one before it,
  // then while it is below limit. Parts: [0, m) high edges at most limit,
  // [m, r) entries straddling it or in the middle, [r, n) low edges at least
  // limit. Computed by selection and counting: the walks over runs of equal
  // edges become counts.
  void SplitEntries(uint32_t* e, size_t n, int axis, size_t& m, size_t& r) {
    m = n / 2;
    int32_t limit = INT32_MIN;
    uint32_t beforeM = 0;  // the last entry of [0, m) in high-edge order
    if (m > 0) {
      SelectFirst<true>(e, n, m, axis);
      int32_t cut = High(e[m], axis);
      m = std::partition(e, e + m, [&](uint32_t i) { return High(i, axis) < cut; }) - e;
      if (m > 0) {
        beforeM = *std::max_element(e, e + m, [&](uint32_t a, uint32_t b) {
          return OrderWord<true>(a, axis) < OrderWord<true>(b, axis);
        });
        limit = High(beforeM, axis);
      }
    }
    uint32_t* rest = e + m;
    size_t restCount = n - m;
    r = (n + 1) / 2;
    if (r > m) {
      SelectFirst<false>(rest, restCount, r - 1 - m, axis);
      int32_t previous = Low(e[r - 1], axis);
      r = m + CountIf<false>(rest, restCount, axis, [previous](int32_t v) { return v <= previous; });
    } else {
      // r = m: the entry before r is the last of [0, m).
      int32_t previous = Low(beforeM, axis);
      if (CountIf<false>(rest, restCount, axis, [previous](int32_t v) { return v < previous; }) == 0)
        r = m + CountIf<false>(rest, restCount, axis, [previous](int32_t v) { return v == previous; });
    }
    size_t belowLimit = m + CountIf<false>(rest, restCount, axis, [limit](int32_t v) { return v < limit; });
    if (belowLimit > r) r = belowLimit;
    SelectFirst<false>(rest, restCount, r - m, axis);
  }

  std::unique_ptr<TBase> BuildSubtree(uint32_t* e, size_t n, int axis) {
    if (n == 1) return Leaf(e[0]);
    auto node = std::make_unique<CRTreeNode<TItem>>();
    size_t m, r;
    SplitEntries(e, n, axis, m, r);
    if (m > 0) node->AddChild(BuildSubtree(e, m, 1 - axis));
    if (r > m) node->AddChild(BuildStraddlingSubtree(e + m, r - m, axis));
    if (n > r) node->AddChild(BuildSubtree(e + r, n - r, 1 - axis));
    return node;
  }

  // First child: the k = max(n / 3, 1) entries made of the h = (k + 1) / 2
  // lowest low edges and the k - h highest high edges of the others; the
  // rest is split on the other axis. All children straddle on this axis.
  std::unique_ptr<TBase> BuildStraddlingSubtree(uint32_t* e, size_t n, int axis) {
    if (n == 1) return Leaf(e[0]);
    auto node = std::make_unique<CRTreeNode<TItem>>();
    size_t k = n / 3 > 0 ? n / 3 : 1;
    size_t h = k > 1 ? (k + 1) / 2 : 1;
    SelectFirst<false>(e, n, h, axis);
    if (k > 1) {
      SelectFirst<true>(e + h, n - h, n - k, axis);
      std::swap_ranges(e + h, e + k, e + n - k + h);
    }
    node->AddChild(BuildStraddlingSubtree(e, k, axis));
    uint32_t* rest = e + k;
    size_t restCount = n - k;
    size_t m, r;
    SplitEntries(rest, restCount, 1 - axis, m, r);
    if (m > 0) node->AddChild(BuildStraddlingSubtree(rest, m, axis));
    if (r > m) node->AddChild(BuildStraddlingSubtree(rest + m, r - m, axis));
    if (restCount > r) node->AddChild(BuildStraddlingSubtree(rest + r, restCount - r, axis));
    return node;
  }

  const CReallocArray<TEntry<TItem>>& entries;
  CReallocArray<uint32_t> order;
  CReallocArray<uint64_t> sortKeys;
};

// Replaces the tree at root (destroying the old one) by a tree over the
// entries, or by null when there are none. The entry array is not reordered.
template <class TItem>
void BuildTree(CRTreeNodeBase<TItem>*& root, const CReallocArray<TEntry<TItem>>& entries) {
  delete root;
  root = nullptr;
  root = CTreeBuilder<TItem>::Build(entries).release();
}

// Writes a whole tree in the saved form; a null root is the empty tree.
template <class TItem>
void SaveTree(const CRTreeNodeBase<TItem>* root, CWriteStream& stream) {
  uint8_t head[kRectSize + kNodeHeaderSize + kChildEntrySize];
  if (!root) {
    EncodeRect(head, CGeoRect{INT32_MAX, 0, 0, 0});
    TNodeHeader{0, 0}.Encode(head + kRectSize);
    stream.Write(head, kRectSize + kNodeHeaderSize);
    return;
  }
  EncodeRect(head, root->bounds);
  if (!root->IsLeaf()) {
    stream.Write(head, kRectSize);
    root->Save(stream);
    return;
  }
  TNodeHeader{1, 1}.Encode(head + kRectSize);
  TChildEntry{root->bounds, kLeafSize}.Encode(head + kRectSize + kNodeHeaderSize);
  stream.Write(head, sizeof head);
  root->Save(stream);
}

// Walks the leaves of a tree depth-first, left to right. The tree must not
// change shape during the walk (items may change).
template <class TItem>
class CLeafIterator {
  using TBase = CRTreeNodeBase<TItem>;

 public:
  explicit CLeafIterator(TBase* treeRoot) : root(treeRoot) {}

  // The next leaf, or null at the end (and on every call after it).
  CRTreeDataNode<TItem>* Next() {
    TBase* start;
    if (path.Empty()) {
      if (!root) return nullptr;
      start = root;
    } else {
      for (;;) {
        if (path.Size() == 1) return nullptr;
        TBase* node = path.Back();
        path.PopBack();
        auto* parent = static_cast<CRTreeNode<TItem>*>(path.Back());
        int i = 0;
        while (parent->children[i] != node) i++;
        if (i + 1 < parent->count) {
          start = parent->children[i + 1];
          break;
        }
      }
    }
    for (TBase* n = start;; n = static_cast<CRTreeNode<TItem>*>(n)->children[0]) {
      path.PushBack(n);
      if (n->IsLeaf()) return static_cast<CRTreeDataNode<TItem>*>(n);
    }
  }

 private:
  CReallocArray<TBase*> path;
  TBase* root;
};

}  // namespace RTree
