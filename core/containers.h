// The system's own containers: a growable array, a pool of fixed-size
// elements and an AVL tree map whose nodes come from such a pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

// Lets the heap grow in large steps backed by large pages (a hint to the
// platform; cheap when the heap did not grow). Called where the containers
// take memory from the heap, so that the advice comes before the pages are
// touched.
void NoteHeapGrowth();

// Growable array. Grows by half its capacity; storage is moved with realloc
// for trivially copyable elements and move-constructed for the others (a
// short std::string points into itself, so it cannot be moved bytewise).
// The array owns its elements: it destroys them on Erase, Resize down, Free
// and destruction.
template <class T>
class CReallocArray {
 public:
  CReallocArray() = default;
  CReallocArray(const CReallocArray&) = delete;
  CReallocArray& operator=(const CReallocArray&) = delete;
  CReallocArray(CReallocArray&& other) noexcept
      : data(other.data), count(other.count), capacity(other.capacity) {
    other.data = nullptr;
    other.count = other.capacity = 0;
  }
  CReallocArray& operator=(CReallocArray&& other) noexcept {
    if (this != &other) {
      Free();
      std::swap(data, other.data);
      std::swap(count, other.count);
      std::swap(capacity, other.capacity);
    }
    return *this;
  }
  ~CReallocArray() { Free(); }

  // Makes room for n elements: the capacity becomes max(n, 1.5 x capacity).
  T* Reserve(size_t n) {
    if (n <= capacity) return data;
    size_t grown = capacity + capacity / 2;
    if (grown < capacity) grown = SIZE_MAX;  // cannot happen before the byte size overflows
    size_t newCap = n > grown ? n : grown;
    if (newCap > SIZE_MAX / sizeof(T)) {
      if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
      newCap = SIZE_MAX / sizeof(T);
    }
    if constexpr (std::is_trivially_copyable_v<T>) {
      void* p = std::realloc(data, newCap * sizeof(T));
      if (!p) throw std::bad_alloc();
      data = static_cast<T*>(p);
      NoteHeapGrowth();
    } else {
      T* p = static_cast<T*>(std::malloc(newCap * sizeof(T)));
      if (!p) throw std::bad_alloc();
      for (size_t i = 0; i < count; i++) {
        new (p + i) T(std::move(data[i]));
        data[i].~T();
      }
      std::free(data);
      data = p;
      NoteHeapGrowth();
    }
    capacity = newCap;
    return data;
  }

  // Appends a copy; the element may lie inside this array.
  T* PushBack(const T& element) {
    if (count == capacity && Contains(&element)) {
      T copy(element);  // the storage is about to move
      Reserve(count + 1);
      new (data + count) T(std::move(copy));
    } else {
      Reserve(count + 1);
      new (data + count) T(element);
    }
    return data + count++;
  }
  T* PushBack(T&& element) {
    if (count == capacity && Contains(&element)) {
      T copy(std::move(element));
      Reserve(count + 1);
      new (data + count) T(std::move(copy));
    } else {
      Reserve(count + 1);
      new (data + count) T(std::move(element));
    }
    return data + count++;
  }
  template <class... Args>
  T* EmplaceBack(Args&&... args) {
    Reserve(count + 1);
    new (data + count) T(std::forward<Args>(args)...);
    return data + count++;
  }

  // Shrinks (keeping the storage) or grows. New trivially copyable elements
  // are left uninitialised, others are value-initialised.
  void Resize(size_t n) {
    if (n < count) {
      DestroyRange(n, count);
      count = n;
    } else if (n > count) {
      Reserve(n);
      if constexpr (!std::is_trivially_copyable_v<T>) {
        for (size_t i = count; i < n; i++) new (data + i) T();
      }
      count = n;
    }
  }
  // Like Resize, but new elements are zero/value-initialised.
  void ResizeZeroed(size_t n) {
    size_t old = count;
    Resize(n);
    if constexpr (std::is_trivially_copyable_v<T>) {
      if (n > old) std::memset(static_cast<void*>(data + old), 0, (n - old) * sizeof(T));
    }
  }

  void Assign(const T* src, size_t n) {
    static_assert(std::is_trivially_copyable_v<T>, "Assign copies raw elements");
    Reserve(n);
    if (n) std::memmove(static_cast<void*>(data), src, n * sizeof(T));
    count = n;
  }

  // Removes the elements [first, last).
  void Erase(size_t first, size_t last) {
    if (last > count) last = count;
    if (first >= last) return;
    if constexpr (std::is_trivially_copyable_v<T>) {
      std::memmove(static_cast<void*>(data + first), data + last, (count - last) * sizeof(T));
    } else {
      for (size_t i = first, j = last; j < count; i++, j++) data[i] = std::move(data[j]);
      DestroyRange(count - (last - first), count);
    }
    count -= last - first;
  }

  void Clear() {
    DestroyRange(0, count);
    count = 0;
  }

  void Free() {
    DestroyRange(0, count);
    std::free(data);
    data = nullptr;
    count = capacity = 0;
  }

  size_t Size() const { return count; }
  bool Empty() const { return count == 0; }
  T& operator[](size_t i) { return data[i]; }
  const T& operator[](size_t i) const { return data[i]; }
  T& Back() { return data[count - 1]; }
  const T& Back() const { return data[count - 1]; }
  void PopBack() { Resize(count - 1); }
  T* begin() { return data; }
  T* end() { return data + count; }
  const T* begin() const { return data; }
  const T* end() const { return data + count; }

  T* data = nullptr;
  size_t count = 0;
  size_t capacity = 0;

 private:
  bool Contains(const T* p) const {
    auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(data);
    return a >= b && a < b + count * sizeof(T);
  }
  void DestroyRange(size_t from, size_t to) {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (size_t i = from; i < to; i++) data[i].~T();
    }
  }
};

// Pool of fixed-size elements with a free list. Elements go back to the pool,
// never to the heap one by one; FreeBlocks releases everything at once.
// Alloc returns raw storage: the caller constructs what it needs there.
template <class T>
class CBlockPool {
 public:
  explicit CBlockPool(size_t elementsPerBlock) : perBlock(elementsPerBlock ? elementsPerBlock : 1) {}
  CBlockPool(const CBlockPool&) = delete;
  CBlockPool& operator=(const CBlockPool&) = delete;
  ~CBlockPool() { FreeBlocks(); }

  T* Alloc() {
    if (!freeHead) {
      size_t bytes = perBlock > SIZE_MAX / kStride ? SIZE_MAX : perBlock * kStride;
      unsigned char* block = new unsigned char[bytes];  // throws std::bad_alloc
      NoteHeapGrowth();
      try {
        blocks.PushBack(block);
      } catch (...) {
        delete[] block;
        throw;
      }
      for (size_t i = 0; i < perBlock; i++) {
        void* next = i + 1 < perBlock ? block + (i + 1) * kStride : nullptr;
        std::memcpy(block + i * kStride, &next, sizeof next);
      }
      freeHead = block;
    }
    void* element = freeHead;
    std::memcpy(&freeHead, element, sizeof freeHead);
    return static_cast<T*>(element);
  }

  // Puts an element back on the free list (the caller has destroyed it).
  void Release(T* element) {
    std::memcpy(static_cast<void*>(element), &freeHead, sizeof freeHead);
    freeHead = element;
  }

  void FreeBlocks() {
    for (unsigned char* b : blocks) delete[] b;
    blocks.Free();
    freeHead = nullptr;
  }

  size_t BlockCount() const { return blocks.Size(); }

  size_t perBlock;
  CReallocArray<unsigned char*> blocks;
  void* freeHead = nullptr;

 private:
  static constexpr size_t kAlign = alignof(T) > alignof(void*) ? alignof(T) : alignof(void*);
  static constexpr size_t kRaw = sizeof(T) > sizeof(void*) ? sizeof(T) : sizeof(void*);
  static constexpr size_t kStride = (kRaw + kAlign - 1) / kAlign * kAlign;
  static_assert(kAlign <= alignof(std::max_align_t), "over-aligned pool element");
};

// AVL tree node: links, balance (right height minus left height) and value.
template <class TValue>
struct TAvlNode {
  TAvlNode* left;
  TAvlNode* right;
  TAvlNode* parent;
  int8_t balance;
  TValue value;
};

// Key-independent AVL primitives.
namespace AvlTree {
struct TNodeBase {
  TNodeBase* left;
  TNodeBase* right;
  TNodeBase* parent;
  int8_t balance;
};
TNodeBase* Next(TNodeBase* node);
TNodeBase* First(TNodeBase* root);
// Hangs a fresh node into *slot (a child link of parent, or the root link).
void LinkAndRebalance(TNodeBase* parent, TNodeBase** slot, TNodeBase* node, TNodeBase** root);
// Removes a node from the tree and returns it.
TNodeBase* Unlink(TNodeBase* node, TNodeBase** root);
}  // namespace AvlTree

// Ordered map of values. TCompare is a functor giving a three-way comparison
// int(const K& key, const TValue& value) for every key type K the caller uses
// (usually the value type itself). Nodes come from a pool that may be shared.
template <class TValue, class TCompare>
class CAvlTreeMap {
  static_assert(std::is_trivially_copyable_v<TValue>, "tree values are plain words");

 public:
  struct TNode {
    AvlTree::TNodeBase link;
    TValue value;
  };
  using TPool = CBlockPool<TNode>;

  explicit CAvlTreeMap(TPool* nodePool, TCompare compare = TCompare()) : pool(nodePool), cmp(compare) {}
  CAvlTreeMap(const CAvlTreeMap&) = delete;
  CAvlTreeMap& operator=(const CAvlTreeMap&) = delete;
  ~CAvlTreeMap() { Clear(); }

  // Returns the node with an equal key and false, or a new node and true.
  template <class K>
  std::pair<TNode*, bool> InsertUnique(const K& key, const TValue& value) {
    AvlTree::TNodeBase* parent = nullptr;
    AvlTree::TNodeBase** slot = &root;
    while (*slot) {
      parent = *slot;
      int c = cmp(key, AsNode(parent)->value);
      if (c == 0) return {AsNode(parent), false};
      slot = c < 0 ? &parent->left : &parent->right;
    }
    return {Link(parent, slot, value), true};
  }
  std::pair<TNode*, bool> InsertUnique(const TValue& value) { return InsertUnique(value, value); }

  // Equal keys allowed: on an equal key go left when that node leans right.
  template <class K>
  TNode* InsertMulti(const K& key, const TValue& value) {
    AvlTree::TNodeBase* parent = nullptr;
    AvlTree::TNodeBase** slot = &root;
    while (*slot) {
      parent = *slot;
      int c = cmp(key, AsNode(parent)->value);
      if (c == 0) c = parent->balance > 0 ? -1 : 1;
      slot = c < 0 ? &parent->left : &parent->right;
    }
    return Link(parent, slot, value);
  }
  TNode* InsertMulti(const TValue& value) { return InsertMulti(value, value); }

  template <class K>
  TNode* Find(const K& key) const {
    AvlTree::TNodeBase* n = root;
    while (n) {
      int c = cmp(key, AsNode(n)->value);
      if (c == 0) return AsNode(n);
      n = c < 0 ? n->left : n->right;
    }
    return nullptr;
  }

  // The node with the greatest key not above the given key, or null.
  template <class K>
  TNode* FindFloor(const K& key) const {
    AvlTree::TNodeBase* n = root;
    AvlTree::TNodeBase* best = nullptr;
    while (n) {
      int c = cmp(key, AsNode(n)->value);
      if (c == 0) return AsNode(n);
      if (c < 0) {
        n = n->left;
      } else {
        best = n;
        n = n->right;
      }
    }
    return AsNode(best);
  }

  template <class K>
  bool Erase(const K& key) {
    TNode* n = Find(key);
    if (!n) return false;
    EraseNode(n);
    return true;
  }
  void EraseNode(TNode* n) {
    AvlTree::Unlink(&n->link, &root);
    pool->Release(n);
  }

  TNode* First() const { return AsNode(AvlTree::First(root)); }
  static TNode* Next(TNode* n) { return AsNode(AvlTree::Next(&n->link)); }
  bool Empty() const { return root == nullptr; }

  // Returns every node to the pool.
  void Clear() {
    ReleaseSubtree(root);
    root = nullptr;
  }

  AvlTree::TNodeBase* root = nullptr;

 private:
  static TNode* AsNode(AvlTree::TNodeBase* n) { return reinterpret_cast<TNode*>(n); }
  TNode* Link(AvlTree::TNodeBase* parent, AvlTree::TNodeBase** slot, const TValue& value) {
    TNode* n = pool->Alloc();
    n->value = value;
    AvlTree::LinkAndRebalance(parent, slot, &n->link, &root);
    return n;
  }
  void ReleaseSubtree(AvlTree::TNodeBase* n) {
    // Iterative, so a degenerate pool state cannot exhaust the stack.
    while (n) {
      if (n->left) {
        AvlTree::TNodeBase* l = n->left;
        n->left = l->right;
        l->right = n;
        n = l;
      } else {
        AvlTree::TNodeBase* r = n->right;
        pool->Release(AsNode(n));
        n = r;
      }
    }
  }

  TPool* pool;
  TCompare cmp;
};

// Three-way comparison of plain values by operator<.
struct TLessCompare {
  template <class A, class B>
  int operator()(const A& a, const B& b) const {
    return a < b ? -1 : (b < a ? 1 : 0);
  }
};
