// A processor fault while a map is written ends the run through the crash
// guard, without the writer's own cleanup: the file being written must not
// stay behind. The fault runs in a child process, whose abandoned frames
// then leak nothing into this one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/config.h"
#include "core/crash.h"
#include "mapfile/writer.h"
#include "polski/map.h"
#include "support/testutil.h"

namespace {

struct TWriteJob {
  PolskiFormat::CMap* map;
  const CConverterConfig* config;
  std::string path;
  const bool* stop;
};
TWriteJob g_job;

int WriteJob(const char*) {
  CMapWriter writer;
  return WriteMapFile(writer, *g_job.map, g_job.path, *g_job.config, true, g_job.stop) ? 0 : 2;
}

// Runs the job under the guard in a child with its output in `log`; returns
// the child's exit code, or -1 when it did not exit.
int RunGuardedChild(const std::string& log) {
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    int code = RunWithCrashReport(WriteJob, "");
    std::fflush(stdout);
    _exit(code);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(MapWriterCrash, FaultWhileWritingLeavesNoFile) {
  std::string dir = TestUtil::MakeTempDir("writer_crash");
  TestUtil::WriteFile(dir + "map.mp",
                      "[IMG ID]\nName=T\nLevel0=24\nLevel1=20\n[END-IMG ID]\n"
                      "[POI]\nType=0x2a00\nLabel=Cafe\nData0=(45.1,13.5)\n[END]\n");
  PolskiFormat::CMap map;
  ASSERT_EQ(map.LoadFile((dir + "map.mp").c_str(), nullptr), nullptr);
  CConverterConfig config;
  // The stop flag lies on a page that cannot be read: the writer's first
  // look at it, with its file open, is a processor fault.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* flag = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(flag, MAP_FAILED);
  g_job = {&map, &config, dir + "out/map.qx", static_cast<const bool*>(flag)};

  EXPECT_EQ(RunGuardedChild(dir + "crash.log"), 1);
  std::string log = TestUtil::ReadFile(dir + "crash.log");
  EXPECT_NE(log.find("Unhandled exception C0000005"), std::string::npos) << log;
  EXPECT_FALSE(TestUtil::FileExists(g_job.path));
  EXPECT_TRUE(TestUtil::FileExists(dir + "out/"));  // the writer had got as far as its directory

  // With the flag readable the same write goes through and keeps its file.
  ASSERT_EQ(mprotect(flag, page, PROT_READ | PROT_WRITE), 0);
  EXPECT_EQ(RunGuardedChild(dir + "ok.log"), 0);
  EXPECT_TRUE(TestUtil::FileExists(g_job.path));
  munmap(flag, page);
}

}  // namespace
