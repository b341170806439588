// The per-map CH graph on larger random street grids (area roads, chains,
// one-ways, U-turn bans, boundary nodes) against the reference router:
// all pairs on grids of up to 12 x 8 crossings, random sources on a grid of
// 24 x 20, both metrics, with and without type 0x0a roads, through the
// upward query and over the core overlay.
#include <gtest/gtest.h>

#include "tests/routing/geomaptest.h"

using namespace GeoMapTest;

namespace {

TEST(GeoMapGraphGrids, AllPairs) {
  CheckGrids(Scaled(40), 100000, [](uint32_t seed) {
    return TGridShape{8 + seed % 5, 6 + seed % 3, 10 + seed % 8, 6 + seed % 5, 2 + seed % 3};
  }, 0, "grid");
}

TEST(GeoMapGraphGrids, LargeGridRandomSources) {
  CheckGrids(Scaled(8) >= 8 ? 2 : 1, 200000, [](uint32_t) { return TGridShape{24, 20, 70, 30, 8, 25}; }, 12,
             "large");
}

}  // namespace
