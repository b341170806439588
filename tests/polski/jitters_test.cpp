#include "polski/jitters.h"

#include "polski/cleaning.h"
#include "polski/cleaning_maps.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/log.h"
#include "support/testutil.h"

using namespace PolskiFormat;

namespace {

// Points named by letters: 'A' is (1, 10), 'B' (2, 20), ...
TPointD P(char c) { return {double(c - 'A' + 1), double(10 * (c - 'A' + 1))}; }

CReallocArray<TPointD> Ring(const std::string& names) {
  CReallocArray<TPointD> ring;
  for (char c : names) ring.PushBack(P(c));
  return ring;
}

std::string Names(const CReallocArray<TPointD>& ring) {
  std::string s;
  for (const TPointD& p : ring) s += char('A' + int(p.x) - 1);
  return s;
}

std::string JitterLine(const TPointD& a, const TPointD& b, const TPointD& c) {
  char line[256];
  std::snprintf(line, sizeof line, "Jitter on %f %f  %f %f  %f %f\n", a.y, a.x, b.y, b.x, c.y, c.x);
  return line;
}

// The plain way: delete one vertex at a time and step back.
size_t OracleEqualConsecutive(std::vector<TPointD>& v) {
  size_t deleted = 0;
  long i = 0;
  while (v.size() >= 2 && i < long(v.size())) {
    size_t j = (size_t(i) + 1) % v.size();
    if (SamePoint(v[size_t(i)], v[j])) {
      v.erase(v.begin() + long(j));
      deleted++;
      i -= j == 0 ? 2 : 1;
    }
    i++;
  }
  return deleted;
}

size_t OracleSpikes(std::vector<TPointD>& v, std::string* log) {
  size_t spikes = 0;
  long i = 0;
  while (v.size() >= 3 && i < long(v.size())) {
    size_t count = v.size(), at = size_t(i);
    size_t j = (at + 1) % count, k = (at + 2) % count;
    if (!SamePoint(v[at], v[k])) {
      i++;
      continue;
    }
    *log += JitterLine(v[at], v[j], v[k]);
    spikes++;
    v.erase(v.begin() + long(j));
    size_t kAfter = k > j ? k - 1 : k;
    v.erase(v.begin() + long(kAfter));
    long kept = long(at) - (j < at ? 1 : 0) - (k < at ? 1 : 0);
    i = kept - 1 < 0 ? 0 : kept - 1;
  }
  return spikes;
}

using JitterTest = CleaningTest::CPlainLogTest;

TEST_F(JitterTest, EqualConsecutiveCases) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},        {"A", "A"},        {"AA", "A"},         {"AAAA", "A"},
      {"ABCA", "BCA"},  // the closing pair wraps: the first vertex goes
      {"AABBCC", "ABC"}, {"AABCAA", "BCA"}, {"ABAB", "ABAB"},
  };
  for (const auto& c : cases) {
    CReallocArray<TPointD> ring = Ring(c.in);
    size_t deleted = RemoveEqualConsecutive(ring);
    EXPECT_EQ(Names(ring), c.out) << c.in;
    EXPECT_EQ(deleted, strlen(c.in) - strlen(c.out)) << c.in;
  }
}

TEST_F(JitterTest, SpikeCases) {
  struct {
    const char* in;
    const char* out;
    size_t spikes;
  } cases[] = {
      {"AB", "AB", 0},           // too short to hold a spike
      {"ABA", "A", 1},           //
      {"PQRQS", "PQS", 1},       // one spike
      {"PQRSRQT", "PQT", 2},     // nested spikes
      {"APQAB", "PQA", 1},       // spike ending on the first vertex
      {"BAPQA", "PQA", 1},       // last, first, second
      {"DCBAXYZABC", "XYZA", 3}, // a there-and-back path across the end
      {"ABCD", "ABCD", 0},
  };
  for (const auto& c : cases) {
    CReallocArray<TPointD> ring = Ring(c.in);
    TestUtil::CStdoutCapture capture;
    size_t spikes = RemoveSpikes(ring);
    std::string log = capture.Finish();
    EXPECT_EQ(Names(ring), c.out) << c.in;
    EXPECT_EQ(spikes, c.spikes) << c.in;
    CReallocArray<TPointD> input = Ring(c.in);
    std::vector<TPointD> oracle(input.begin(), input.end());
    std::string oracleLog;
    OracleSpikes(oracle, &oracleLog);
    EXPECT_EQ(log, oracleLog) << c.in;
  }
}

TEST_F(JitterTest, SpikeLogLine) {
  CReallocArray<TPointD> ring = Ring("PQRQS");
  TestUtil::CStdoutCapture capture;
  RemoveSpikes(ring);
  EXPECT_EQ(capture.Finish(), "Jitter on 170.000000 17.000000  180.000000 18.000000  170.000000 17.000000\n");
}

// Random rings over a few distinct points: the one-pass versions give the
// same rings, counts and log lines as deleting vertex by vertex, and leave
// neither equal neighbours nor spikes behind.
TEST_F(JitterTest, RandomRingsMatchStepwiseDeletion) {
  std::mt19937 rng(12345);
  std::string oracleLog;
  TestUtil::CStdoutCapture capture;
  for (int iter = 0; iter < 4000; iter++) {
    size_t n = rng() % 14;
    int alphabet = 2 + int(rng() % 4);
    std::string names;
    for (size_t i = 0; i < n; i++) names += char('A' + int(rng() % unsigned(alphabet)));

    CReallocArray<TPointD> ring = Ring(names);
    std::vector<TPointD> oracle(ring.begin(), ring.end());
    size_t equal = RemoveEqualConsecutive(ring);
    size_t spikes = RemoveSpikes(ring);
    size_t oracleEqual = OracleEqualConsecutive(oracle);
    size_t oracleSpikes = OracleSpikes(oracle, &oracleLog);

    CReallocArray<TPointD> expected;
    for (const TPointD& p : oracle) expected.PushBack(p);
    ASSERT_EQ(Names(ring), Names(expected)) << names;
    ASSERT_EQ(equal, oracleEqual) << names;
    ASSERT_EQ(spikes, oracleSpikes) << names;
    ASSERT_EQ(n, ring.Size() + equal + 2 * spikes) << names;
    size_t m = ring.Size();
    for (size_t i = 0; m >= 2 && i < m; i++) {
      ASSERT_FALSE(SamePoint(ring[i], ring[(i + 1) % m])) << names << " -> " << Names(ring);
      if (m >= 3) {
        ASSERT_FALSE(SamePoint(ring[i], ring[(i + 2) % m])) << names << " -> " << Names(ring);
      }
    }
  }
  EXPECT_EQ(capture.Finish(), oracleLog);
}

TEST_F(JitterTest, LongRingIsLinear) {
  // A there-and-back path of 200000 vertices collapses to its start.
  CReallocArray<TPointD> ring;
  const int half = 100000;
  for (int i = 0; i <= half; i++) ring.PushBack({i * 1e-5, 0});
  for (int i = half - 1; i >= 1; i--) ring.PushBack({i * 1e-5, 0});
  g_Log.enabled = false;
  size_t spikes = RemoveSpikes(ring);
  g_Log.enabled = true;
  EXPECT_EQ(ring.Size(), 2u);
  EXPECT_EQ(spikes, size_t(half - 1));
}

TEST_F(JitterTest, PassTouchesPolygonsOnlyAndCounts) {
  CleaningTest::CTestMap t;
  std::vector<TPointD> noisy = {P('P'), P('P'), P('Q'), P('R'), P('Q'), P('S')};
  CPolygon* area = t.Area(0x3, {{0, noisy}, {1, {P('A'), P('B'), P('A'), P('C')}}, {1, {}}});
  CPolyline* line = t.Line(0x2, {{0, noisy}});
  TestUtil::CStdoutCapture capture;
  RemoveJitters(t.map);
  EXPECT_EQ(capture.Finish(), JitterLine(P('Q'), P('R'), P('Q')) + JitterLine(P('A'), P('B'), P('A')) +
                                  "Input polygon vertex count\t: 10\n"
                                  "Output polygon vertex count\t: 5\n"
                                  "Equal consequent vertices deleted: 1\n"
                                  "Jitters deleted: 2\n");
  EXPECT_EQ(Names(area->Geometry[0].Points), "PQS");
  EXPECT_EQ(Names(area->Geometry[1].Points), "AC");
  EXPECT_EQ(line->Geometry[0].Points.Size(), 6u);
}

TEST_F(JitterTest, EmptyMapLogsZeroCounts) {
  CleaningTest::CTestMap t;
  TestUtil::CStdoutCapture capture;
  RemoveJitters(t.map);
  EXPECT_EQ(capture.Finish(),
            "Input polygon vertex count\t: 0\nOutput polygon vertex count\t: 0\n"
            "Equal consequent vertices deleted: 0\nJitters deleted: 0\n");
}

}  // namespace
