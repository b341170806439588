// Opening what is not a regular file never waits: a FIFO that nobody writes
// (or reads) is refused at once. The alarm ends a test whose open blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/platform/platform.h"
#include "core/streams.h"
#include "support/testutil.h"

namespace {

class CAlarm {
 public:
  CAlarm() { alarm(60); }
  ~CAlarm() { alarm(0); }
};

TEST(Fifo, ReadAndWriteOpensRefuseAFifoWithoutWaiting) {
  CAlarm alarm;
  std::string dir = TestUtil::MakeTempDir("fifo");
  std::string fifo = dir + "x.mp";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Platform::OpenFileForRead(fifo.c_str()), Platform::kInvalidFile);
  CFileReadStream read(1024);
  EXPECT_FALSE(read.Open(fifo.c_str()));
  CFileWriteStream write(1024);
  EXPECT_FALSE(write.Open(fifo.c_str(), false));
  EXPECT_FALSE(write.Open(fifo.c_str(), true));
  struct stat st;
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));  // not replaced by a file
}

TEST(Fifo, RegularFilesOpenBlockingAsUsual) {
  std::string dir = TestUtil::MakeTempDir("fifo_regular");
  TestUtil::WriteFile(dir + "a.mp", "abc");
  Platform::TFileHandle file = Platform::OpenFileForRead((dir + "a.mp").c_str());
  ASSERT_NE(file, Platform::kInvalidFile);
  EXPECT_EQ(fcntl(file, F_GETFL) & O_NONBLOCK, 0);
  char bytes[4] = {};
  EXPECT_EQ(Platform::ReadFile(file, bytes, 4), 3u);
  EXPECT_STREQ(bytes, "abc");
  Platform::CloseFile(file);
  FILE* f = Platform::OpenStdioFile((dir + "b.qx").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fcntl(fileno(f), F_GETFL) & O_NONBLOCK, 0);
  std::fclose(f);
  EXPECT_EQ(Platform::OpenStdioFile(dir.c_str(), "rb"), nullptr);
}

}  // namespace
