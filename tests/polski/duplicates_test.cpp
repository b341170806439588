#include "polski/pointruns.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "polski/jitters.h"

using namespace PolskiFormat;

namespace {

TPointD P(char c) { return {double(c - 'A' + 1), -double(c - 'A' + 1)}; }

CReallocArray<TPointD> Points(const std::string& names) {
  CReallocArray<TPointD> run;
  for (char c : names) run.PushBack(P(c));
  return run;
}

// The comparison as first described: b laid against a at every offset.
TRunMatch NaiveMatchRuns(const CReallocArray<TPointD>& a, const CReallocArray<TPointD>& b) {
  size_t n = a.Size(), m = b.Size();
  if (n < m) return TRunMatch::Shorter;
  size_t misses = 0, offsets = n - m + 1;
  for (size_t s = 0; s < offsets; s++) {
    for (size_t t = 0; t < m; t++) {
      if (!SamePoint(a[s + t], b[t])) {
        misses++;
        break;
      }
    }
  }
  if (misses == 0) return TRunMatch::Equal;
  if (misses == offsets) return TRunMatch::Absent;
  return n != m ? TRunMatch::Contains : TRunMatch::Equal;
}

bool NaiveRingsEqual(const CReallocArray<TPointD>& a, const CReallocArray<TPointD>& b) {
  size_t n = a.Size();
  if (n != b.Size() || n == 0) return false;
  for (size_t s = 0; s < n; s++) {
    size_t t = 0;
    while (t < n && SamePoint(a[(s + t) % n], b[t])) t++;
    if (t == n) return true;
  }
  return false;
}

TEST(PointRuns, Cases) {
  struct {
    const char* a;
    const char* b;
    TRunMatch expected;
  } cases[] = {
      {"AB", "ABC", TRunMatch::Shorter},  {"ABC", "ABC", TRunMatch::Equal},
      {"ABCD", "BC", TRunMatch::Contains}, {"ABCD", "CB", TRunMatch::Absent},  // reversed run
      {"ABCD", "ABCD", TRunMatch::Equal}, {"AAA", "AA", TRunMatch::Equal},     // every offset agrees
      {"ABC", "ABD", TRunMatch::Absent},  {"ABAB", "AB", TRunMatch::Contains},
  };
  CPointRunMatcher matcher;
  for (const auto& c : cases) {
    CReallocArray<TPointD> a = Points(c.a), b = Points(c.b);
    EXPECT_EQ(matcher.MatchRuns(a.data, a.Size(), b.data, b.Size()), c.expected) << c.a << " " << c.b;
  }
}

TEST(PointRuns, RandomRunsAndRingsMatchNaiveComparison) {
  std::mt19937 rng(99);
  CPointRunMatcher matcher;
  for (int iter = 0; iter < 20000; iter++) {
    int alphabet = 1 + int(rng() % 3);
    std::string a, b;
    for (size_t i = rng() % 9; i > 0; i--) a += char('A' + rng() % unsigned(alphabet));
    for (size_t i = 1 + rng() % 5; i > 0; i--) b += char('A' + rng() % unsigned(alphabet));
    CReallocArray<TPointD> ra = Points(a), rb = Points(b);
    ASSERT_EQ(matcher.MatchRuns(ra.data, ra.Size(), rb.data, rb.Size()), NaiveMatchRuns(ra, rb)) << a << " " << b;
    CRunIndex index;
    index.Build(ra.data, ra.Size());
    ASSERT_EQ(index.Match(rb.data, rb.Size(), matcher), NaiveMatchRuns(ra, rb)) << a << " " << b;

    // Rings: b as a rotation of a, sometimes spoilt.
    std::string ring = a.empty() ? "A" : a;
    size_t shift = rng() % ring.size();
    std::string rotated = ring.substr(shift) + ring.substr(0, shift);
    if (rng() % 3 == 0) rotated[rng() % rotated.size()] = char('A' + rng() % 3);
    CReallocArray<TPointD> r1 = Points(ring), r2 = Points(rotated);
    bool equal = matcher.RingsEqual(r1.data, r1.Size(), r2.data, r2.Size());
    ASSERT_EQ(equal, NaiveRingsEqual(r1, r2)) << ring << " " << rotated;
    if (equal) {
      ASSERT_EQ(RingHash(r1.data, r1.Size()), RingHash(r2.data, r2.Size()));
    }
  }
}

TEST(PointRuns, RingDirectionMatters) {
  CPointRunMatcher matcher;
  CReallocArray<TPointD> a = Points("ABCD"), rotated = Points("CDAB"), reversed = Points("DCBA");
  EXPECT_TRUE(matcher.RingsEqual(a.data, 4, rotated.data, 4));
  EXPECT_FALSE(matcher.RingsEqual(a.data, 4, reversed.data, 4));
  EXPECT_NE(RingHash(a.data, 4), RingHash(reversed.data, 4));
  CReallocArray<TPointD> negativeZero, positiveZero;
  negativeZero.PushBack({-0.0, 1});
  positiveZero.PushBack({0.0, 1});
  EXPECT_TRUE(matcher.RingsEqual(negativeZero.data, 1, positiveZero.data, 1));
  EXPECT_EQ(RingHash(negativeZero.data, 1), RingHash(positiveZero.data, 1));
}

TEST(PointRuns, LongRunsAreLinear) {
  // 10^5 equal points: laid at every offset naively this is 10^10 comparisons.
  const size_t n = 100000;
  CReallocArray<TPointD> a, b;
  for (size_t i = 0; i < n; i++) a.PushBack({1, 2});
  for (size_t i = 0; i < n / 2; i++) b.PushBack({1, 2});
  CPointRunMatcher matcher;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(matcher.MatchRuns(a.data, n, b.data, n / 2), TRunMatch::Equal);
  b.Back() = {1, 3};
  EXPECT_EQ(matcher.MatchRuns(a.data, n, b.data, n / 2), TRunMatch::Absent);
  EXPECT_TRUE(matcher.RingsEqual(a.data, n, a.data, n));
  CRunIndex index;
  index.Build(a.data, n);
  EXPECT_EQ(index.Match(b.data, n / 2, matcher), TRunMatch::Absent);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
