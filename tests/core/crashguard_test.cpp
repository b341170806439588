// The guard in-process: signal codes, a body that ends normally, a body that
// is abandoned at a fault, and handlers put back afterwards. The faults of a
// whole program (stack overflow, uncaught throw) are in crashprog_check.py.
#include "core/platform/crashguard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/testutil.h"

namespace {

TEST(CrashGuard, SignalsBecomeExceptionCodes) {
  const TAddressRange stack = {0x7000000, 0x7800000};
  struct TCase {
    int signal, code;
    uintptr_t address;
    uint32_t expected;
    uint32_t parameters;
  };
  const TCase cases[] = {
      {SIGSEGV, SEGV_MAPERR, 0, kExceptionAccessViolation, 2},
      {SIGSEGV, SEGV_ACCERR, 0x7800000, kExceptionAccessViolation, 2},  // just above the stack
      {SIGSEGV, SEGV_MAPERR, 0x7000000 - 0x10000 - 1, kExceptionAccessViolation, 2},
      {SIGSEGV, SEGV_MAPERR, 0x7000000 - 0x10000, kExceptionStackOverflow, 2},
      {SIGSEGV, SEGV_MAPERR, 0x6FFFFF8, kExceptionStackOverflow, 2},
      {SIGSEGV, SEGV_ACCERR, 0x77FFFFF, kExceptionStackOverflow, 2},
      {SIGBUS, BUS_ADRERR, 0x1234, kExceptionInPageError, 2},
      {SIGBUS, BUS_ADRALN, 0x1235, kExceptionDatatypeMisalignment, 0},
      {SIGFPE, FPE_INTDIV, 0, kExceptionIntDivideByZero, 0},
      {SIGFPE, FPE_INTOVF, 0, kExceptionIntOverflow, 0},
      {SIGFPE, FPE_FLTDIV, 0, kExceptionFltDivideByZero, 0},
      {SIGFPE, FPE_FLTINV, 0, kExceptionFltInvalidOperation, 0},
      {SIGILL, ILL_ILLOPN, 0, kExceptionIllegalInstruction, 0},
      {SIGILL, ILL_PRVOPC, 0, kExceptionPrivilegedInstruction, 0},
      {SIGABRT, SI_TKILL, 0, kExceptionFatalAppExit, 0},
  };
  for (const TCase& c : cases) {
    TExceptionRecord record = Platform::ExceptionFromSignal(c.signal, c.code, 0x401000, c.address, kAccessWrite, stack);
    EXPECT_EQ(record.code, c.expected) << c.signal << " " << c.code << " " << c.address;
    EXPECT_EQ(record.address, 0x401000u);
    ASSERT_EQ(record.parameterCount, c.parameters);
    if (c.parameters) {
      EXPECT_EQ(record.parameters[0], kAccessWrite);
      EXPECT_EQ(record.parameters[1], c.address);
    }
  }
  // Without known stack bounds nothing counts as an overflow.
  EXPECT_EQ(Platform::ExceptionFromSignal(SIGSEGV, SEGV_MAPERR, 0, 8, kAccessRead, {0, 0}).code,
            kExceptionAccessViolation);
}

TEST(CrashGuard, StackBoundsHoldThisFrame) {
  TAddressRange stack = Platform::CurrentStackBounds();
  int local = 0;
  EXPECT_TRUE(stack.Contains(reinterpret_cast<uintptr_t>(&local)));
}

TExceptionRecord g_seen;
int g_filterCalls = 0;
uint32_t g_seenFrames = 0;

int RecordingFilter(const TExceptionPointers& pointers) {
  g_filterCalls++;
  g_seen = pointers.exception->record;
  g_seenFrames = CaptureCrashReport(pointers).frameCount;
  return 1;
}

int ReturnsSeven(const char*) { return 7; }

__attribute__((noinline)) int RaisesSignal(const char* which) {
  raise(std::strcmp(which, "ill") == 0 ? SIGILL : SIGFPE);
  return 0;
}

__attribute__((noinline)) int Aborts(const char*) { std::abort(); }

TEST(CrashGuard, NormalBodyKeepsItsResult) {
  g_filterCalls = 0;
  int result = 0;
  EXPECT_TRUE(Platform::RunGuarded(ReturnsSeven, "", RecordingFilter, &result));
  EXPECT_EQ(result, 7);
  EXPECT_EQ(g_filterCalls, 0);
}

// SIGILL and SIGABRT: signals the sanitizers leave to the program.
TEST(CrashGuard, FaultAbandonsTheBodyAndRestoresHandlers) {
  struct sigaction before;
  sigaction(SIGILL, nullptr, &before);
  stack_t altBefore;
  sigaltstack(nullptr, &altBefore);

  g_filterCalls = 0;
  int result = -5;
  EXPECT_FALSE(Platform::RunGuarded(RaisesSignal, "ill", RecordingFilter, &result));
  EXPECT_EQ(result, -5);
  EXPECT_EQ(g_filterCalls, 1);
  EXPECT_EQ(g_seen.code, kExceptionIllegalInstruction);
  // raise() runs in the C library; the walk finds the frames of this program above it.
  EXPECT_GE(g_seenFrames, 2u);

  EXPECT_FALSE(Platform::RunGuarded(Aborts, "", RecordingFilter, &result));
  EXPECT_EQ(g_filterCalls, 2);
  EXPECT_EQ(g_seen.code, kExceptionFatalAppExit);
  EXPECT_GE(g_seenFrames, 2u);

  struct sigaction after;
  sigaction(SIGILL, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  stack_t alt;
  sigaltstack(nullptr, &alt);
  EXPECT_EQ(alt.ss_sp, altBefore.ss_sp);
  EXPECT_EQ(alt.ss_flags, altBefore.ss_flags);
}

// The output named while a crash strikes is removed; one named no longer,
// or a path that is no regular file, stays.
TEST(CrashGuard, CrashRemovesThePartialOutputFile) {
  std::string dir = TestUtil::MakeTempDir("crashguard");
  std::string partial = dir + "partial.qx", done = dir + "done.qx", fifo = dir + "fifo.qx";
  TestUtil::WriteFile(partial, "half");
  TestUtil::WriteFile(done, "whole");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int result = 0;
  {
    CPartialOutputFile named(done.c_str());
  }
  {
    CPartialOutputFile named(partial.c_str());
    EXPECT_FALSE(Platform::RunGuarded(RaisesSignal, "ill", RecordingFilter, &result));
  }
  EXPECT_FALSE(TestUtil::FileExists(partial));
  EXPECT_TRUE(TestUtil::FileExists(done));
  EXPECT_FALSE(Platform::RunGuarded(Aborts, "", RecordingFilter, &result));
  EXPECT_TRUE(TestUtil::FileExists(done));
  {
    CPartialOutputFile named(fifo.c_str());
    EXPECT_FALSE(Platform::RunGuarded(Aborts, "", RecordingFilter, &result));
  }
  struct stat st;
  EXPECT_EQ(stat(fifo.c_str(), &st), 0);
  {
    // A finished run removes nothing.
    CPartialOutputFile named(done.c_str());
    EXPECT_TRUE(Platform::RunGuarded(ReturnsSeven, "", RecordingFilter, &result));
  }
  EXPECT_TRUE(TestUtil::FileExists(done));
}

}  // namespace
