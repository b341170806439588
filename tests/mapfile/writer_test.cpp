// The writer's failure paths and its geometry and index helpers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "app/config.h"
#include "mapfile/address.h"
#include "mapfile/records.h"
#include "mapfile/tiles.h"
#include "mapfile/words.h"
#include "mapfile/writer.h"
#include "support/testutil.h"

using namespace ZorvaneMap;
using namespace PolskiFormat;

namespace {

std::string MapText() {
  std::string text = "[IMG ID]\nName=T\nLevel0=24\nLevel1=20\n[END-IMG ID]\n"
                     "[POLYGON]\nType=0x13\nData0=(45,13),(45.001,13),(45.001,13.001)\n[END]\n";
  for (int i = 0; i < 100; i++) text += "[POI]\nType=0x2a00\nLabel=Cafe\nData0=(45.1,13.5)\n[END]\n";
  return text;
}

struct TFixture {
  std::string dir = TestUtil::MakeTempDir("writer");
  CConverterConfig config;
  CMap map;
  CMapWriter writer;
  TFixture() {
    TestUtil::WriteFile(dir + "map.mp", MapText());
    EXPECT_EQ(map.LoadFile((dir + "map.mp").c_str(), nullptr), nullptr);
  }
  bool Write(const std::string& path, const bool* stop = nullptr) {
    return WriteMapFile(writer, map, path, config, true, stop);
  }
};

TEST(MapWriter, WritesAndReplacesAFile) {
  TFixture f;
  std::string path = f.dir + "sub/dir/map.qx";
  ASSERT_TRUE(f.Write(path));
  std::string first = TestUtil::ReadFile(path);
  TestUtil::WriteFile(path, std::string(100000, 'x'));  // a longer old file is truncated
  ASSERT_TRUE(f.Write(path));
  EXPECT_EQ(TestUtil::ReadFile(path), first);
}

TEST(MapWriter, StopFlagLeavesNoFile) {
  TFixture f;
  bool stop = true;
  std::string path = f.dir + "stopped.qx";
  EXPECT_FALSE(f.Write(path, &stop));
  EXPECT_FALSE(TestUtil::FileExists(path));
}

TEST(MapWriter, FailedFinalFlushIsAFailure) {
  // The whole file sits in the 1 MiB buffer until the close: a file size
  // limit (above what the captured log needs) makes that last flush fail,
  // as a full disk would.
  TFixture f;
  std::string path = f.dir + "limited.qx";
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  struct rlimit small = old;
  small.rlim_cur = 2048;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  TestUtil::CStdoutCapture capture;
  bool written = f.Write(path);
  std::string out = capture.Finish();
  setrlimit(RLIMIT_FSIZE, &old);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_FALSE(written);
  EXPECT_NE(out.find("Error writing out file"), std::string::npos) << out;
  EXPECT_FALSE(TestUtil::FileExists(path));
}

TEST(MapWriter, DeviceOutputFailsAndIsNotDeleted) {
  TFixture f;
  std::string link = f.dir + "full.qx";
  ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
  TestUtil::CStdoutCapture capture;
  EXPECT_FALSE(f.Write(link));
  EXPECT_NE(capture.Finish().find("Error writing out file"), std::string::npos);
  EXPECT_EQ(access("/dev/full", F_OK), 0);
}

TEST(MapWriter, UncreatableFile) {
  TFixture f;
  TestUtil::CStdoutCapture capture;
  EXPECT_FALSE(f.Write(f.dir));  // a directory
  EXPECT_NE(capture.Finish().find("Error creating out file"), std::string::npos);
}

TEST(MapRecords, OffsetsStayBelowBit31) {
  // A record at 2^31 would carry the polygon bit in its offset; the map is
  // given up before anything is written there.
  CMapWriter writer;
  CPOI poi;
  poi.Points.PushBack(TPOIPoint{0, 13, 45});
  for (uint64_t at : {uint64_t(0x80000000), uint64_t(0x7FFFFFFD)}) {
    CMemStream image;
    image.Seek(at);
    try {
      WritePoiRecord(writer, poi, image);
      ADD_FAILURE() << "no error at " << at;
    } catch (const std::string& text) {
      EXPECT_EQ(text, "Too big out file");
    }
    EXPECT_EQ(image.Size(), 0u);
  }
}

TEST(MapGeometry, RingArea) {
  CReallocArray<TPointD> ring;
  for (TPointD p : {TPointD{0, 0}, TPointD{1, 0}, TPointD{1, 1}, TPointD{0, 1}}) ring.PushBack(p);
  double ccw = ComputeRingArea(ring);
  EXPECT_GT(ccw, 0);
  std::reverse(ring.begin(), ring.end());
  EXPECT_DOUBLE_EQ(ComputeRingArea(ring), -ccw);
  // Across the meridian the steps wrap.
  CReallocArray<TPointD> wrap;
  for (TPointD p : {TPointD{179.5, 0}, TPointD{-179.5, 0}, TPointD{-179.5, 1}, TPointD{179.5, 1}}) wrap.PushBack(p);
  EXPECT_NEAR(ComputeRingArea(wrap), ccw, 1e-9);
  // Steps of exactly +-180 degrees are corrected once, each by its own sign.
  // Last point C(90, -10) first: X = 90, S = sin(-10).
  //   A(-90, 0):  step -180 -> 180, X = 270, sum += 0 * 90 - 270 * sin(-10)
  //   B(90, 10):  step  180 -> -180, X = 90, sum += sin(10) * 270 - 90 * 0
  //   C(90, -10): step 0, X = 90,            sum += sin(-10) * 90 - 90 * sin(10)
  // sum = 360 sin(10): half of it, positive (counter-clockwise).
  CReallocArray<TPointD> half;
  for (TPointD p : {TPointD{-90, 0}, TPointD{90, 10}, TPointD{90, -10}}) half.PushBack(p);
  EXPECT_NEAR(ComputeRingArea(half), 180 * std::sin(10 * 0.017453292519943295), 1e-9);
}

TEST(MapGeometry, LabelPointInTheWiderInterval) {
  // A U open to the north: the scan latitude crosses it four times; the
  // right arm is wider, so the label point lies in the middle of it.
  CPolygon u;
  TDataLevel& ring = *u.Geometry.EmplaceBack();
  for (TPointD p : {TPointD{0, 0}, TPointD{10, 0}, TPointD{10, 10}, TPointD{6, 10}, TPointD{6, 2}, TPointD{2, 2},
                    TPointD{2, 10}, TPointD{0, 10}}) {
    ring.Points.PushBack(p);
  }
  CReallocArray<uint32_t> scratch;
  TGeoPoint p = ComputeLabelPoint(u, scratch);
  EXPECT_NEAR(p.x / 8388608.0, 8.0, 1e-6);
  EXPECT_NEAR(p.y / 8388608.0, 5.0, 1e-6);
  CPolygon empty;
  EXPECT_EQ(ComputeLabelPoint(empty, scratch), (TGeoPoint{0x7FFFFFFF, 0x7FFFFFFF}));
}

TEST(MapGeometry, LabelPointOfAWideSpanDoesNotOverflow) {
  // The points make a span from 170 east to 90 degrees (280 degrees, more
  // than an int32 holds in units); the scan line crosses at 170 and -179.
  CPolygon wide;
  TDataLevel& ring = *wide.Geometry.EmplaceBack();
  for (TPointD p : {TPointD{-179, -1}, TPointD{-90, -1}, TPointD{0, -1}, TPointD{90, -1}, TPointD{170, -1},
                    TPointD{170, 1}, TPointD{90, 1}, TPointD{0, 1}, TPointD{-90, 1}, TPointD{-179, 1}}) {
    ring.Points.PushBack(p);
  }
  CReallocArray<uint32_t> scratch;
  TGeoPoint p = ComputeLabelPoint(wide, scratch);
  EXPECT_NEAR(p.x / 8388608.0, 175.5, 1e-6);
  EXPECT_EQ(p.y, 0);
}

TEST(MapGeometry, Convexity) {
  CPolygon square, notch;
  TDataLevel& q = *square.Geometry.EmplaceBack();
  for (TPointD p : {TPointD{0, 0}, TPointD{1, 0}, TPointD{1, 1}, TPointD{0, 1}}) q.Points.PushBack(p);
  TDataLevel& n = *notch.Geometry.EmplaceBack();
  for (TPointD p : {TPointD{0, 0}, TPointD{2, 0}, TPointD{1, 0.5}, TPointD{2, 1}, TPointD{0, 1}}) n.Points.PushBack(p);
  EXPECT_TRUE(AreRingsConvex(square));
  EXPECT_FALSE(AreRingsConvex(notch));
}

TEST(MapRecords, OpeningHoursEncoding) {
  CMapWriter writer;
  CReallocArray<TOpeningRule> rules;
  TOpeningRule& holidays = *rules.EmplaceBack();  // SH, PH off: dates without months
  holidays.Dates.PushBack(TOpeningDate{0, 0, 0, 0, 1, 0});
  holidays.Dates.PushBack(TOpeningDate{0, 0, 0, 0, 0, 1});
  TOpeningRule& spans = *rules.EmplaceBack();  // sunrise-(sunset-00:30), every day
  spans.TimeSpans.PushBack(TTimeSpan{{0, TimeSunrise}, {-30, TimeSunsetOffset}});
  TOpeningRule& sat = *rules.EmplaceBack();  // Sa (a range of one)
  sat.Weekdays.PushBack(TWeekdayRange{6, 6});
  CMemStream image;
  image.Seek(3);  // an odd start: the alignment inside follows the image offset
  WriteOpeningHours(writer, rules, image);
  // Count at 3; rules from 5: SH/PH at 5 (dates 4-aligned at 8 and 12),
  // the span rule at 16 (span 4-aligned at 20), Saturday at 24; end 26.
  const std::vector<uint8_t> expected = {
      21, 0,                                   // 26 - 5 bytes
      1, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0,      // SH (another follows), PH
      4, 0, 0, 0, 0x00, 0x20, 0xE2, 0x5F,      // sunrise (kind 2), sunset - 30 (kind 5, 12-bit -30)
      2, 0x40,                                 // weekday mask: Saturday
  };
  std::vector<uint8_t> got(image.Data() + 3, image.Data() + image.Size());
  EXPECT_EQ(got, expected);
}

TEST(MapRecords, TooLongOpeningHoursKeepWholeRules) {
  CMapWriter writer;
  CReallocArray<TOpeningRule> rules;
  for (int i = 0; i < 3; i++) {
    TOpeningRule& r = *rules.EmplaceBack();
    for (int k = 0; k < 6000; k++) r.TimeSpans.PushBack(TTimeSpan{{480, TimeClock}, {600, TimeClock}});
  }
  CMemStream image;
  TestUtil::CStdoutCapture capture;
  WriteOpeningHours(writer, rules, image);
  EXPECT_NE(capture.Finish().find("Too long opening hours: 2 of 3 rules written"), std::string::npos);
  uint32_t count = image.Data()[0] | image.Data()[1] << 8;
  EXPECT_EQ(count + 2, image.Size());
  EXPECT_EQ(count, 2 * (4 + 4 * 6000u) - 2);  // each rule: flags, pad, spans
}

TEST(MapIndexes, HouseNumberOrder) {
  auto w = [](const char16_t* t) { return CWideString(t, std::char_traits<char16_t>::length(t)); };
  EXPECT_LT(CompareHouseNumbers(w(u"b"), w(u"2")), 0);
  EXPECT_LT(CompareHouseNumbers(w(u"2"), w(u"10")), 0);
  EXPECT_LT(CompareHouseNumbers(w(u"10"), w(u"10a")), 0);
  EXPECT_EQ(CompareHouseNumbers(w(u" 10 A"), w(u"10a")), 0);
  EXPECT_LT(CompareHouseNumbers(w(u"-3"), w(u"a")), 0);
  // Eleven digits: the parse stops at the tenth with 999999999 read, so the
  // number sorts far above 5, and the rest ("99", "7") decides between two.
  EXPECT_GT(CompareHouseNumbers(w(u"99999999999"), w(u"5")), 0);
  EXPECT_GT(CompareHouseNumbers(w(u"99999999999"), w(u"9999999997")), 0);
}

TEST(MapIndexes, WordsSplitAndFold) {
  CWordIndex index;
  const char16_t text[] = u"Caf\u00e9-BAR\u2014\u0401\u0436 bar\u00b7x\u00bby";
  index.AddWords(text, std::char_traits<char16_t>::length(text), 8, 0);
  index.AddWords(u"BAR", 3, 4, 1);
  CMemStream s;
  s.Seek(100);
  index.Write(s);
  // Words in unit order: bar, café, x, y, ёж folded to еж.
  EXPECT_EQ(index.WordCount(), 5u);
  const uint8_t* d = s.Data();
  uint32_t table = d[100] | d[101] << 8;
  EXPECT_EQ(d[table], 5);
  // First entry: "bar" with 4 | 1 << 31 and 8, ascending unsigned: 8 first.
  EXPECT_EQ(d[104], 3);
  EXPECT_EQ(d[106], 'b');
  uint32_t refs = 104 + 2 + 6;  // already 4-aligned behind the word
  EXPECT_EQ(d[refs], 2);
  EXPECT_EQ(d[refs + 4], 8);
  EXPECT_EQ(d[refs + 8 + 3], 0x80);
  for (char16_t sep : {u'-', u' ', u'\u2014', u'\u00ab', u'\u00b7', u'\u00bb', u'\u2000', u'\u206f'}) {
    EXPECT_TRUE(IsWordSeparator(sep));
  }
  for (char16_t unit : {u'a', u'Z', u'0', u'\u00e9', u'\u0451', u'\u2070'}) EXPECT_FALSE(IsWordSeparator(unit));
}

}  // namespace
