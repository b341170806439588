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

// A run indexed by its points, for matching many short runs against one
// long run: a match can only start where the long run holds the short run's
// first point, and those places are found without a scan. Gives the same
// answers as CPointRunMatcher::MatchRuns. The run must outlive the index.
class CRunIndex {
 public:
  void Build(const TPointD* run, size_t n);
  TRunMatch Match(const TPointD* b, size_t m, CPointRunMatcher& fallback) const;

 private:
  struct TSlot {
    uint64_t hash;
    size_t position;
  };
  const TPointD* run = nullptr;
  size_t count = 0;
  CReallocArray<TSlot> slots;  // sorted by hash
};

// Hash of one point; equal points (in the sense of SamePoint) hash equally.
uint64_t PointHash(const TPointD& p);

// Hash of a ring that does not depend on where the ring starts (equal rings
// in the sense of RingsEqual hash equally).
uint64_t RingHash(const TPointD* ring, size_t n);

}  // namespace PolskiFormat
