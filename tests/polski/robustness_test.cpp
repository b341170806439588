// Damaged input never crashes the loader or the post-load steps: random
// edits of the fixture map, and random opening-hours texts. The sanitizer
// build checks memory and leaks on every round.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "polski/map.h"
#include "polski_testutil.h"

using namespace PolskiFormat;

namespace {

const char kAlphabet[] = "()[],=;|-+:0123456789~ \n\rENDxYy.e";

char RandomChar(std::mt19937& random) { return kAlphabet[random() % (sizeof kAlphabet - 1)]; }

TEST(Robustness, DamagedMapsLoad) {
  std::string fixture = TestUtil::ReadFile(std::string(ORLUMO_SOURCE_DIR) + "/tests/polski/data/fixture.mp");
  ASSERT_FALSE(fixture.empty());
  std::string path = TestUtil::MakeTempDir("polski_damaged") + "map.mp";
  std::mt19937 random(42);
  size_t loaded = 0;
  for (int round = 0; round < 300; round++) {
    std::string text = fixture;
    int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits; e++) {
      size_t at = random() % text.size();
      switch (random() % 4) {
        case 0: text[at] = RandomChar(random); break;
        case 1: text.insert(at, 1, RandomChar(random)); break;
        case 2: text.erase(at, 1 + random() % 16); break;
        default: text.insert(at, text.substr(random() % text.size(), 1 + random() % 64)); break;
      }
      if (text.empty()) text = "x";
    }
    TestUtil::WriteFile(path, text);
    CMap map;
    if (map.LoadFile(path.c_str(), nullptr) == nullptr) {
      loaded++;
      DropEmptyObjects(map);
      TestUtil::CStdoutCapture quiet;
      SplitMultiLevelPolylines(map);
      for (size_t i = 1; i < map.RoadAttributes.Size(); i++) {
        ASSERT_LE(map.RoadAttributes[i - 1]->RoadId, map.RoadAttributes[i]->RoadId);
      }
    }
  }
  EXPECT_GT(loaded, 0u);
}

TEST(Robustness, RandomOpeningHours) {
  const char* words[] = {"Mo", "Su", "Jan", "Dec", "SH", "PH", "off", "sunrise", "sunset", "10", "00", "24",
                         "7",  "-1", "99999999999", ":", "-", "+", ",", ";", "(", ")", "[", "]", " ", "24/7"};
  std::mt19937 random(7);
  size_t parsed = 0;
  for (int round = 0; round < 20000; round++) {
    std::string text;
    int n = static_cast<int>(random() % 12);
    for (int i = 0; i < n; i++) text += words[random() % (sizeof words / sizeof words[0])];
    CReallocArray<TOpeningRule> rules;
    ParseOpeningHours(text.c_str(), rules);
    if (!rules.Empty()) parsed++;
  }
  EXPECT_GT(parsed, 0u);
}

}  // namespace
