// Jitter removal: digitising noise in polygon rings. A ring is cyclic (its
// last vertex is followed by its first); vertices compare as exact doubles.
#pragma once

#include <cstddef>

#include "core/containers.h"
#include "core/geo.h"

namespace PolskiFormat {

inline bool SamePoint(const TPointD& a, const TPointD& b) { return a.x == b.x && a.y == b.y; }

// Deletes every vertex equal to the one before it, the closing pair
// (last, first) included; returns the number deleted. A ring of fewer than
// two vertices is left alone; one whose vertices are all equal keeps one.
size_t RemoveEqualConsecutive(CReallocArray<TPointD>& ring);

// Deletes spikes A, B, A (keeping the first A) until none is left, also
// across the ring's end; logs each and returns their number. A ring of
// fewer than three vertices is left alone.
size_t RemoveSpikes(CReallocArray<TPointD>& ring);

}  // namespace PolskiFormat
