// A test-side reader of .qxr raster files, written from the file layout
// alone and checking everything it reads: header, digest (with Crypto++'s
// MD5), section descriptors, level table, every tree's structure and
// ordering, and where each tile's bytes lie.
#pragma once

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace QxrTest {

using TBytes = std::vector<uint8_t>;

struct TTile {
  unsigned level;
  uint32_t x, y;
  uint32_t sizeField;  // the node's 17-bit size
  bool jpeg;
  uint32_t offset;     // 0: no data
  TBytes data;         // the stored bytes (0x20000 of pixels when sizeField is 0)
};

struct TLevel {
  uint32_t treeOffset, minY, minX, maxY, maxX;
};

struct TNode {
  uint32_t y, x, sizeField;
  bool jpeg;
  uint32_t offset;
  uint32_t leftBytes;
  bool hasRight;
};

struct TFile {
  std::string problem;  // empty when every check passed
  TLevel levels[24] = {};
  std::vector<TTile> tiles;              // level by level, each tree in pre-order
  std::vector<std::vector<TNode>> trees;  // per level with tiles, pre-order
};

inline uint32_t U32(const TBytes& f, size_t at) {
  return static_cast<uint32_t>(f[at]) | static_cast<uint32_t>(f[at + 1]) << 8 | static_cast<uint32_t>(f[at + 2]) << 16 |
         static_cast<uint32_t>(f[at + 3]) << 24;
}

class CReader {
 public:
  explicit CReader(const TBytes& file) : f(file) {}

  TFile Read() {
    if (!Check()) result.tiles.clear();
    return std::move(result);
  }

 private:
  bool Fail(const std::string& why) {
    if (result.problem.empty()) result.problem = why;
    return false;
  }

  bool Check() {
    if (f.size() < 56 + 480) return Fail("file too short");
    if (std::memcmp(f.data(), "qxr\0\0\0\0\0", 8) != 0) return Fail("magic");
    if (U32(f, 24) != 0x00030003 || U32(f, 28) != 2) return Fail("version or section count");
    dataEnd = U32(f, 44);
    if (U32(f, 32) != 56 || U32(f, 40) != 1 || U32(f, 52) != 2) return Fail("section descriptors");
    if (U32(f, 36) != dataEnd - 56 || dataEnd < 56) return Fail("section 1 size");
    if (uint64_t{dataEnd} + U32(f, 48) != f.size() || U32(f, 48) < 480) return Fail("section 2 size");

    TBytes zeroed(f.begin() + 24, f.end());
    std::memset(zeroed.data(), 0, 32);
    uint8_t digest[16];
    CryptoPP::Weak::MD5().CalculateDigest(digest, zeroed.data(), zeroed.size());
    if (std::memcmp(digest, f.data() + 8, 16) != 0) return Fail("digest");

    // Trees follow the table in level order, back to back, to the end.
    uint64_t expectedTree = uint64_t{dataEnd} + 480;
    nextData = 56;
    for (unsigned level = 0; level < 24; level++) {
      size_t e = dataEnd + level * 20;
      TLevel& l = result.levels[level];
      l = {U32(f, e), U32(f, e + 4), U32(f, e + 8), U32(f, e + 12), U32(f, e + 16)};
      if (!l.treeOffset) {
        if (l.minY || l.minX || l.maxY || l.maxX) return Fail("bounds of an empty level");
        continue;
      }
      if (l.treeOffset != expectedTree) return Fail("tree offset of level " + std::to_string(level));
      level_ = level;
      bounds = {UINT32_MAX, UINT32_MAX, 0, 0};
      result.trees.emplace_back();
      uint64_t bytes;
      if (!Subtree(l.treeOffset, f.size(), 1, 0, UINT32_MAX, 0, UINT32_MAX, &bytes)) return false;
      if (bounds.minY != l.minY || bounds.minX != l.minX || bounds.maxY != l.maxY || bounds.maxX != l.maxX) {
        return Fail("bounds of level " + std::to_string(level));
      }
      expectedTree += bytes;
    }
    if (expectedTree != f.size()) return Fail("bytes after the trees");
    if (nextData != dataEnd) return Fail("tile data not all used");
    return true;
  }

  // The subtree at `at`, which must end by `limit`; keys within [lo, hi] per axis.
  bool Subtree(uint64_t at, uint64_t limit, unsigned axis, uint32_t loX, uint32_t hiX, uint32_t loY, uint32_t hiY,
               uint64_t* bytes) {
    if (at + 16 > limit) return Fail("node past its range");
    if (++depth > 200) return Fail("tree too deep");
    uint64_t key = U32(f, at) | uint64_t{U32(f, at + 4)} << 32;
    TNode n{static_cast<uint32_t>(key & 0x7FFFFF), static_cast<uint32_t>(key >> 23 & 0x7FFFFF),
            static_cast<uint32_t>(key >> 46 & 0x1FFFF), (key >> 63) != 0, U32(f, at + 8),
            U32(f, at + 12) & 0x7FFFFFFF, (U32(f, at + 12) >> 31) != 0};
    if (n.x >= (1u << level_) || n.y >= (1u << level_)) return Fail("tile number beyond its level");
    if (n.x < loX || n.x > hiX || n.y < loY || n.y > hiY) return Fail("node on the wrong side of an ancestor");
    result.trees.back().push_back(n);
    bounds.minX = std::min(bounds.minX, n.x);
    bounds.maxX = std::max(bounds.maxX, n.x);
    bounds.minY = std::min(bounds.minY, n.y);
    bounds.maxY = std::max(bounds.maxY, n.y);
    // Left keys are at most the node's, right keys above it, on this axis.
    const uint32_t k = axis ? n.x : n.y;
    uint64_t left = 0;
    if (n.leftBytes) {
      if (!Subtree(at + 16, at + 16 + n.leftBytes, 1 - axis, loX, axis ? k : hiX, loY, axis ? hiY : k, &left)) {
        return false;
      }
      if (left != n.leftBytes) return Fail("left subtree length");
    }
    // In-order: the node's data follows its left subtree's.
    TTile t{level_, n.x, n.y, n.sizeField, n.jpeg, n.offset, {}};
    if (n.offset) {
      uint32_t size = n.sizeField ? n.sizeField : 0x20000;
      if (n.offset != nextData || uint64_t{n.offset} + size > dataEnd) return Fail("tile data out of place");
      t.data.assign(f.begin() + n.offset, f.begin() + n.offset + size);
      nextData += size;
    } else if (n.sizeField || n.jpeg) {
      return Fail("size or JPEG bit without data");
    }
    result.tiles.push_back(std::move(t));
    uint64_t right = 0;
    if (n.hasRight) {
      if (k == UINT32_MAX) return Fail("right subtree without room");
      if (!Subtree(at + 16 + left, limit, 1 - axis, axis ? k + 1 : loX, hiX, axis ? loY : k + 1, hiY, &right)) {
        return false;
      }
    }
    *bytes = 16 + left + right;
    depth--;
    return true;
  }

  const TBytes& f;
  TFile result;
  uint32_t dataEnd = 0;
  uint64_t nextData = 0;
  unsigned level_ = 0;
  unsigned depth = 0;
  struct {
    uint32_t minX, minY, maxX, maxY;
  } bounds{};
};

inline TFile Read(const TBytes& file) { return CReader(file).Read(); }

}  // namespace QxrTest
