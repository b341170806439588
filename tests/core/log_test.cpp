#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "support/testutil.h"

namespace {

class CMemoryLog : public CLog {
 public:
  void Write(const char* text, size_t length) override {
    lines.push_back(std::string(text, length));
    EXPECT_EQ(text[length], '\0');
  }
  std::vector<std::string> lines;
};

bool LooksLikeStamp(const std::string& s) {
  return TestUtil::MaskTimestamps(s) == "T: " + s.substr(s.find(": ") + 2);
}

}  // namespace

TEST(Log, PrintCutsAt1023Characters) {
  CMemoryLog log;
  std::string exact(1023, 'e'), longer(1500, 'l');
  log.Print("%s", exact.c_str());
  log.Print("%s", longer.c_str());
  log.Print("%d%%", 50);
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[0], exact);
  EXPECT_EQ(log.lines[1], longer.substr(0, 1023));
  EXPECT_EQ(log.lines[2], "50%");
}

TEST(Log, PrintTextIsLiteralAndUnlimited) {
  CMemoryLog log;
  std::string big(5000, 'b');
  log.PrintText("100%s done");
  log.PrintText(big.c_str());
  EXPECT_EQ(log.lines[0], "100%s done");
  EXPECT_EQ(log.lines[1], big);
  log.enabled = false;
  log.Print("x");
  log.PrintText("y");
  EXPECT_EQ(log.lines.size(), 2u);
}

TEST(Log, TimestampFormat) {
  CMemoryLog log;
  char buf[48];
  int n = log.FormatTimestamp(buf);
  ASSERT_GT(n, 0);
  std::string stamp(buf, n);
  EXPECT_TRUE(LooksLikeStamp(stamp + "x")) << stamp;
  // Hours have no leading zero: one digit up to 9, the hour 0 included.
  EXPECT_TRUE(stamp.find(':') == 1 || stamp[0] != '0') << stamp;
  log.timestamps = false;
  EXPECT_EQ(log.FormatTimestamp(buf), 0);
  EXPECT_EQ(TestUtil::MaskTimestamps("9:05:03.042: hi\n12:00:00.000: x\nno 1:00:00.000: "),
            "T: hi\nT: x\nno 1:00:00.000: ");
}

TEST(Log, ConsoleLineHasStampAndNewline) {
  CStdOutLog log;
  TestUtil::CStdoutCapture capture;
  log.Print("hello %u", 7u);
  log.timestamps = false;
  log.PrintText("plain");
  EXPECT_EQ(TestUtil::MaskTimestamps(capture.Finish()), "T: hello 7\nplain\n");
}

TEST(Log, FileLogAppendsCrLfLines) {
  std::string dir = TestUtil::MakeTempDir("filelog");
  CFileLog log;
  log.fileName = dir + "run.log";
  log.Print("first %d", 1);
  log.PrintText("second");
  std::string text = TestUtil::ReadFile(log.fileName);
  EXPECT_EQ(TestUtil::MaskTimestamps(text), "T: first 1\r\nT: second\r\n");
  log.fileName = dir;  // cannot be opened: the message is dropped
  log.PrintText("lost");
}
