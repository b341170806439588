// The external-node tree: a 2-d tree over points, each point carrying the
// references of the CH node records that start or end there. Section 11 of
// a map file, and the node tree of the atlas file.
//
// Node, little-endian, no padding (every node is a multiple of 4 bytes):
//   0   i32  x of the node's point
//   4   i32  y of the node's point
//   8   u32  links: bits 0-7 length of the reference list in u32 words
//            (below 256); bit 8 set when a right subtree follows; bits
//            9-31 length of the left subtree in u32 words (0 = none)
//   12  the reference list: per entry of the point its reference word,
//       then its second u32 when bit 0 of the word is set
//   ..  the left subtree (keys on this node's axis at most the node's)
//   ..  the right subtree (keys greater)
// The root splits on y, its children on x, and so on alternating. An empty
// entry list writes nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/containers.h"
#include "core/streams.h"

// One reference of the tree. For map files the word is (CH node record
// offset / 4) << 3 | type-0x0a bit << 2 | metric << 1 | end node, and the
// second u32, present for an end node (bit 0), the link's cost.
struct TExternalNodeEntry {
  int32_t x;
  int32_t y;
  uint32_t word;
  uint32_t second;
};
static_assert(sizeof(TExternalNodeEntry) == 16);

// The split axes, named by the byte offset of their coordinate.
constexpr int kAxisX = 0;
constexpr int kAxisY = 4;

// A reference list of 1024 bytes or more, and a left subtree of 32 MiB or
// more, do not fit the links word.
constexpr uint32_t kMaxNodeListBytes = 1024;
constexpr uint32_t kMaxLeftSubtreeBytes = 0x2000000;

// The entries of one point: [first, first + count) of the sorted entries.
struct TNodeGroup {
  int32_t x;
  int32_t y;
  uint32_t first;
  uint32_t count;

  int32_t Key(int axis) const { return axis == kAxisX ? x : y; }
};

// Sorts the entries (by y, then x, signed), groups them by point and
// writes the tree at the stream's position; the stream ends at the tree's
// end. Throws "Too many CH-nodes connected to external node" and "Too many
// external nodes" (as plain texts) when a node exceeds the limits.
void WriteExternalNodeTree(CReallocArray<TExternalNodeEntry>& entries, CWriteStream& out);
// The subtree of a range of groups, split on `axis`.
void WriteExternalNodeSubtree(const TExternalNodeEntry* entries, TNodeGroup* groups, size_t count, CWriteStream& out,
                              int axis);
// Sorts the groups by their key on the axis and returns the median's index:
// every group after it has a greater key, every group before it one not
// greater.
size_t MedianSplit(TNodeGroup* groups, size_t count, int axis);
