// The per-map CH graph on thousands of small random street grids with area
// roads, chains (loop routes through them included), one-ways, U-turn bans
// and boundary nodes: every pair of routable links, both metrics, with and
// without type 0x0a roads, through the upward query and over the core
// overlay, agrees with the reference router. The grids are dense in chains,
// keys and area roads for their size, so that every rule meets every other.
#include <gtest/gtest.h>

#include "tests/routing/geomaptest.h"

using namespace GeoMapTest;

namespace {

TGridShape SmallShape(uint32_t seed) {
  return TGridShape{3 + seed % 3, 3 + seed / 3 % 3, 2 + seed % 4, 1 + seed % 5, seed % 3, 12};
}

TEST(GeoMapGraphRandom, SmallNetworksAllPairs) { CheckGrids(Scaled(2000), 1, SmallShape, 0, "small"); }

// The final contraction ordered afresh instead of in the first one's order.
TEST(GeoMapGraphRandom, SmallNetworksAllPairsOrderedTwice) {
  CheckGrids(Scaled(300), 5001, SmallShape, 0, "small, ordered twice", false);
}

}  // namespace
