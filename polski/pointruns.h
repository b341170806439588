// Exact comparison of point runs and rings for the duplicate search.
// Points compare as exact doubles (see SamePoint).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/containers.h"
#include "core/geo.h"

namespace PolskiFormat {

// How run b lies in run a (same direction only).
enum class TRunMatch {
  Shorter,   // a has fewer points than b
  Absent,    // b appears at no offset of a (or a run is empty)
  Contains,  // b appears at some offsets of a but not all
  Equal,     // b appears at every offset 0 .. n - m of a
};

// Finds runs by their borders (Knuth-Morris-Pratt) so each comparison is
// linear in the two lengths; keeps its table between calls.
class CPointRunMatcher {
 public:
  TRunMatch MatchRuns(const TPointD* a, size_t n, const TPointD* b, size_t m);
  // True when both rings hold the same, non-zero number of points and b
  // equals a read cyclically from some start, in the same direction.
  bool RingsEqual(const TPointD* a, size_t n, const TPointD* b, size_t m);

 private:
  void BuildBorders(const TPointD* b, size_t m);
  CReallocArray<size_t> borders;
};

// Hash of a ring that does not depend on where the ring starts (equal rings
// in the sense of RingsEqual hash equally).
uint64_t RingHash(const TPointD* ring, size_t n);

}  // namespace PolskiFormat
