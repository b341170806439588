#include "routing/nodetree.h"

#include <algorithm>

namespace {

uint32_t ReferenceBytes(const TExternalNodeEntry& e) { return (e.word & 1) ? 8 : 4; }

}  // namespace

size_t MedianSplit(TNodeGroup* groups, size_t count, int axis) {
  // Stable, so that a tree is the same bytes on every build.
  std::stable_sort(groups, groups + count,
                   [axis](const TNodeGroup& a, const TNodeGroup& b) { return a.Key(axis) < b.Key(axis); });
  const size_t c = count / 2;
  const int32_t key = groups[c].Key(axis);
  size_t first = c, last = c;
  while (first > 0 && groups[first - 1].Key(axis) == key) first--;
  while (last + 1 < count && groups[last + 1].Key(axis) == key) last++;
  // The run of c's key goes whole to one side: to the left when more of it
  // lies up to c than after it. first > 0 then: a run that starts at 0
  // always has more groups up to the middle than after it.
  return c - first + 1 > last - c ? last : first - 1;
}

void WriteExternalNodeSubtree(const TExternalNodeEntry* entries, TNodeGroup* groups, size_t count, CWriteStream& out,
                              int axis) {
  if (count == 0) return;
  const size_t m = MedianSplit(groups, count, axis);
  const TNodeGroup node = groups[m];
  out.WriteU32(static_cast<uint32_t>(node.x));
  out.WriteU32(static_cast<uint32_t>(node.y));
  const uint64_t linksAt = out.GetPos();
  out.WriteU32(0);
  const uint64_t listStart = out.GetPos();
  for (uint32_t i = 0; i < node.count; i++) {
    const TExternalNodeEntry& e = entries[node.first + i];
    out.WriteU32(e.word);
    if (ReferenceBytes(e) == 8) out.WriteU32(e.second);
  }
  const uint64_t listEnd = out.GetPos();
  const int next = axis == kAxisY ? kAxisX : kAxisY;
  WriteExternalNodeSubtree(entries, groups, m, out, next);
  const uint64_t rightStart = out.GetPos();
  WriteExternalNodeSubtree(entries, groups + m + 1, count - m - 1, out, next);
  const uint64_t end = out.GetPos();

  if (listEnd - listStart >= kMaxNodeListBytes) throw "Too many CH-nodes connected to external node";
  if (rightStart - listEnd >= kMaxLeftSubtreeBytes) throw "Too many external nodes";
  const uint32_t links = static_cast<uint32_t>((listEnd - listStart) / 4) | (end > rightStart ? 1u << 8 : 0) |
                         static_cast<uint32_t>((rightStart - listEnd) / 4) << 9;
  out.Seek(linksAt);
  out.WriteU32(links);
  out.Seek(end);
}

void WriteExternalNodeTree(CReallocArray<TExternalNodeEntry>& entries, CWriteStream& out) {
  std::stable_sort(entries.begin(), entries.end(), [](const TExternalNodeEntry& a, const TExternalNodeEntry& b) {
    return a.y != b.y ? a.y < b.y : a.x < b.x;
  });
  CReallocArray<TNodeGroup> groups;
  for (size_t i = 0; i < entries.Size(); i++) {
    const TExternalNodeEntry& e = entries[i];
    if (!groups.Empty() && groups.Back().x == e.x && groups.Back().y == e.y) {
      groups.Back().count++;
    } else {
      groups.PushBack(TNodeGroup{e.x, e.y, static_cast<uint32_t>(i), 1});
    }
  }
  WriteExternalNodeSubtree(entries.data, groups.data, groups.Size(), out, kAxisY);
}
