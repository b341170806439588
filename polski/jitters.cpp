#include "polski/jitters.h"

#include <cstring>

#include "core/log.h"
#include "polski/cleaning.h"

namespace PolskiFormat {

namespace {

void LogJitter(const TPointD& a, const TPointD& b, const TPointD& c) {
  g_Log.Print("Jitter on %f %f  %f %f  %f %f", a.y, a.x, b.y, b.x, c.y, c.x);
}

// Keeps ring[head, end) as the whole ring.
void KeepRange(CReallocArray<TPointD>& ring, size_t head, size_t end) {
  if (head > 0 && end > head) std::memmove(static_cast<void*>(ring.data), ring.data + head, (end - head) * sizeof(TPointD));
  ring.Resize(end - head);
}

}  // namespace

// Deleting one vertex at a time and stepping back would cost a block move per
// deletion; one compacting pass gives the same ring: each run of equal
// vertices keeps its first, then the ring's start loses vertices that repeat
// its end.
size_t RemoveEqualConsecutive(CReallocArray<TPointD>& ring) {
  size_t n = ring.Size();
  if (n < 2) return 0;
  TPointD* p = ring.data;
  size_t end = 1;
  for (size_t r = 1; r < n; r++) {
    if (!SamePoint(p[r], p[end - 1])) p[end++] = p[r];
  }
  size_t head = 0;
  while (end - head >= 2 && SamePoint(p[end - 1], p[head])) head++;
  KeepRange(ring, head, end);
  return n - ring.Size();
}

// The walk that deletes B and the second A of each A, B, A and then steps
// back two vertices is a stack: the ring's prefix p[0, top) holds the
// vertices kept so far, and a vertex equal to the one below the top removes
// the top and itself. What is left to check afterwards are the triples that
// cross the ring's end; those delete from both ends of the kept range.
size_t RemoveSpikes(CReallocArray<TPointD>& ring) {
  size_t n = ring.Size();
  if (n < 3) return 0;
  TPointD* p = ring.data;
  size_t spikes = 0;
  size_t top = 0;
  for (size_t r = 0; r < n; r++) {
    if (top >= 2 && SamePoint(p[top - 2], p[r])) {
      LogJitter(p[top - 2], p[top - 1], p[r]);
      top--;
      spikes++;
    } else {
      p[top++] = p[r];
    }
  }
  size_t head = 0;
  while (top - head >= 3) {
    if (SamePoint(p[top - 2], p[head])) {  // last but one, last, first
      LogJitter(p[top - 2], p[top - 1], p[head]);
      top--;
      head++;
    } else if (SamePoint(p[top - 1], p[head + 1])) {  // last, first, second
      LogJitter(p[top - 1], p[head], p[head + 1]);
      head += 2;
    } else {
      break;
    }
    spikes++;
  }
  KeepRange(ring, head, top);
  return spikes;
}

void RemoveJitters(CMap& map) {
  uint64_t input = 0, output = 0, equal = 0, jitters = 0;
  for (size_t i = 0; i < map.Polygons.Size(); i++) {
    for (TDataLevel& ring : map.Polygon(i)->Geometry) {
      input += ring.Points.Size();
      equal += RemoveEqualConsecutive(ring.Points);
      jitters += RemoveSpikes(ring.Points);
      output += ring.Points.Size();
    }
  }
  g_Log.Print("Input polygon vertex count\t: %llu", static_cast<unsigned long long>(input));
  g_Log.Print("Output polygon vertex count\t: %llu", static_cast<unsigned long long>(output));
  g_Log.Print("Equal consequent vertices deleted: %llu", static_cast<unsigned long long>(equal));
  g_Log.Print("Jitters deleted: %llu", static_cast<unsigned long long>(jitters));
}

}  // namespace PolskiFormat
