// The crash report's capture and formats on made-up contexts and stacks.
#include "core/crash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"

namespace {

// Collects the lines instead of printing them; no time prefix.
class CLinesLog : public CLog {
 public:
  CLinesLog() { timestamps = false; }
  void Write(const char* text, size_t length) override { lines.emplace_back(text, length); }
  std::vector<std::string> lines;
};

template <typename TWord>
TCrashReportOf<TWord> EmptyReport() {
  TCrashReportOf<TWord> report;
  std::memset(&report, 0, sizeof report);
  return report;
}

template <typename TWord>
std::vector<std::string> Print(const TCrashReportOf<TWord>& report) {
  CLinesLog log;
  PrintCrashReport(log, report);
  return log.lines;
}

TEST(CrashReport, Prints64BitLayout) {
  TCrashReportOf<uint64_t> report = EmptyReport<uint64_t>();
  report.recordCount = 1;
  report.records[0].code = 0xC0000005;
  report.records[0].address = 0x00007FF6123400ABull;
  report.records[0].parameterCount = 3;
  report.records[0].parameters[0] = 1;
  report.records[0].parameters[1] = 0x0000000100000000ull;
  report.records[0].parameters[2] = 0xFFFFFFFFFFFFFFFFull;
  auto& c = report.context;
  c.rax = 0x0000000100000000ull;
  c.rbx = 2, c.rcx = 3, c.rdx = 4, c.rsp = 5, c.rbp = 6, c.rsi = 7, c.rdi = 8;
  c.r8 = 9, c.r9 = 10, c.r10 = 11, c.r11 = 12, c.r12 = 13, c.r13 = 14, c.r14 = 15, c.r15 = 0xABCDEF0123456789ull;
  c.rip = 0x00007FF6123400ABull;
  c.eflags = 0x10246;
  report.frameCount = 1;
  report.frames[0] = {0x401234, 0x7FFE00001000ull, {1, 2, 3, 0x8000000000000000ull}};

  std::vector<std::string> expected = {
      "Unhandled exception C0000005 at 00007FF6123400AB",
      "0000000000000001",
      "0000000100000000",
      "FFFFFFFFFFFFFFFF",
      "rax=0000000100000000 rbx=0000000000000002 rcx=0000000000000003 rdx=0000000000000004",
      "rsp=0000000000000005 rbp=0000000000000006 rsi=0000000000000007 rdi=0000000000000008",
      " r8=0000000000000009  r9=000000000000000A r10=000000000000000B r11=000000000000000C",
      "r12=000000000000000D r13=000000000000000E r14=000000000000000F r15=ABCDEF0123456789",
      "rip=00007FF6123400AB eflags=00010246",
      "return 0000000000401234, frame 00007FFE00001000, params: 0000000000000001, 0000000000000002, "
      "0000000000000003, 8000000000000000",
  };
  EXPECT_EQ(Print(report), expected);
}

TEST(CrashReport, Prints32BitLayout) {
  TCrashReportOf<uint32_t> report = EmptyReport<uint32_t>();
  report.recordCount = 1;
  report.records[0] = {0xC0000094, 0x0804ABED, 1, {0xDEADBEEF}};
  report.context = {1, 2, 3, 4, 5, 6, 0x40800708, 0x408005EC, 0x0804ABED, 0x246};
  report.frameCount = 2;
  report.frames[0] = {0x0804B1DF, 0x40800708, {0x0804AC50, 0x408009B2, 0, 0xFFFFFFFF}};
  report.frames[1] = {0x0804AA48, 0x40800738, {0, 0, 0, 0}};
  std::vector<std::string> expected = {
      "Unhandled exception C0000094 at 0804ABED",
      "DEADBEEF",
      "eax=00000001 ebx=00000002 ecx=00000003 edx=00000004 esi=00000005 edi=00000006",
      "ebp=40800708 esp=408005EC eip=0804ABED eflags=00000246",
      "return 0804B1DF, frame 40800708, params: 0804AC50, 408009B2, 00000000, FFFFFFFF",
      "return 0804AA48, frame 40800738, params: 00000000, 00000000, 00000000, 00000000",
  };
  EXPECT_EQ(Print(report), expected);
}

TEST(CrashReport, NoteFollowsTheRecords) {
  TCrashReportOf<uint32_t> report = EmptyReport<uint32_t>();
  report.recordCount = 1;
  report.records[0] = {0xE06D7363, 0x1000, 0, {}};
  std::strcpy(report.note, "C++ exception std::runtime_error: 100% bad");
  std::vector<std::string> lines = Print(report);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "C++ exception std::runtime_error: 100% bad");
}

// A chain of 12 nested exceptions: the first 10 are kept and printed, each
// with as many parameter lines as it has parameters.
TEST(CrashReport, ChainOfTwelveKeepsTen) {
  TExceptionInfo chain[12];
  std::memset(chain, 0, sizeof chain);
  for (uint32_t i = 0; i < 12; i++) {
    chain[i].nested = i + 1 < 12 ? &chain[i + 1] : nullptr;
    chain[i].record.code = 0xC0000000 + i;
    chain[i].record.address = 0x1000 + i;
    chain[i].record.parameterCount = i % 4;
    for (uint32_t p = 0; p < i % 4; p++) chain[i].record.parameters[p] = 0x100 * i + p;
  }
  chain[0].record.parameterCount = 40;  // more than a record holds: cut to 15
  TCrashContext context;
  std::memset(&context, 0, sizeof context);
  TExceptionPointers pointers{chain, &context, {0, 0}, {0, 0}, nullptr};
  TCrashReport report = CaptureCrashReport(pointers);
  EXPECT_EQ(report.recordCount, 10u);
  EXPECT_EQ(report.records[0].parameterCount, kMaxExceptionParameters);
  EXPECT_EQ(report.records[9].code, 0xC0000009u);
  EXPECT_EQ(report.frameCount, 0u);

  std::vector<std::string> lines = Print(report);
  size_t registerLines = sizeof(uintptr_t) == 8 ? 5 : 2;
  size_t parameterLines = 15;
  for (uint32_t i = 1; i < 10; i++) parameterLines += i % 4;
  ASSERT_EQ(lines.size(), 10 + parameterLines + registerLines);
  size_t records = 0;
  for (const std::string& line : lines) records += line.rfind("Unhandled exception ", 0) == 0;
  EXPECT_EQ(records, 10u);
  // Record 3 has three parameters: its three lines follow it.
  size_t at = (1 + 15) + (1 + 1) + (1 + 2);
  EXPECT_EQ(lines[at], sizeof(uintptr_t) == 8 ? "Unhandled exception C0000003 at 0000000000001003"
                                              : "Unhandled exception C0000003 at 00001003");
  EXPECT_EQ(lines[at + 3].find("302"), lines[at + 3].size() - 3);
  EXPECT_EQ(lines[at + 4].rfind("Unhandled exception C0000004", 0), 0u);
}

TEST(CrashReport, FilterFillsTheGlobalReportAndAccepts) {
  TExceptionInfo exception;
  std::memset(&exception, 0, sizeof exception);
  exception.record.code = kExceptionIntDivideByZero;
  TCrashContext context;
  std::memset(&context, 0xAB, sizeof context);
  TExceptionPointers pointers{&exception, &context, {0, 0}, {0, 0}, "a note"};
  EXPECT_EQ(MainExceptionFilter(pointers), 1);
  EXPECT_EQ(g_CrashReport.recordCount, 1u);
  EXPECT_EQ(g_CrashReport.records[0].code, kExceptionIntDivideByZero);
  EXPECT_EQ(std::memcmp(&g_CrashReport.context, &context, sizeof context), 0);
  EXPECT_STREQ(g_CrashReport.note, "a note");
}

// ---- Frame-pointer walk over a made-up stack ----------------------------

// A stack of words whose frames are laid out by index: frame at word i is
// {saved frame pointer, return address, parameters...}.
struct TFakeStack {
  static constexpr size_t kWords = 256;
  uintptr_t words[kWords] = {};
  uintptr_t At(size_t i) const { return reinterpret_cast<uintptr_t>(&words[i]); }
  TAddressRange Bounds() const { return {At(0), At(kWords)}; }
  void Frame(size_t i, size_t next, uintptr_t returnAddress) {
    words[i] = next ? At(next) : 0;
    words[i + 1] = returnAddress;
  }
};

constexpr TAddressRange kCode = {0x400000, 0x500000};

TEST(CrashWalk, FollowsTheChainToItsEnd) {
  TFakeStack stack;
  stack.Frame(10, 40, 0x401000);
  stack.words[12] = 7, stack.words[13] = 8, stack.words[14] = 9, stack.words[15] = 10;
  stack.Frame(40, 100, 0x402000);
  stack.Frame(100, 0, 0x7F001234);  // into the C library: still a frame
  TCrashFrame frames[kMaxCrashFrames];
  uint32_t n = WalkFramePointers(stack.At(10), stack.At(8), stack.Bounds(), kCode, frames, kMaxCrashFrames);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(frames[0].returnAddress, 0x401000u);
  EXPECT_EQ(frames[0].frameAddress, stack.At(10));
  EXPECT_EQ(frames[0].parameters[0], 7u);
  EXPECT_EQ(frames[0].parameters[3], 10u);
  EXPECT_EQ(frames[1].frameAddress, stack.At(40));
  EXPECT_EQ(frames[2].returnAddress, 0x7F001234u);
}

TEST(CrashWalk, StopsAtTwentyFrames) {
  TFakeStack stack;
  for (size_t i = 0; i < 30; i++) stack.Frame(4 + 8 * i, 4 + 8 * (i + 1), 0x401000 + i);
  TCrashFrame frames[kMaxCrashFrames];
  EXPECT_EQ(WalkFramePointers(stack.At(4), stack.At(0), stack.Bounds(), kCode, frames, kMaxCrashFrames), 20u);
  EXPECT_EQ(frames[19].returnAddress, 0x401000u + 19);
}

// Parameters beyond the stack's end read as 0 rather than outside it.
TEST(CrashWalk, ReadsNothingBeyondTheTop) {
  TFakeStack stack;
  stack.Frame(10, TFakeStack::kWords - 3, 0x401000);
  stack.Frame(TFakeStack::kWords - 3, 0, 0x402000);
  stack.words[TFakeStack::kWords - 1] = 55;
  TCrashFrame frames[kMaxCrashFrames];
  ASSERT_EQ(WalkFramePointers(stack.At(10), stack.At(0), stack.Bounds(), kCode, frames, kMaxCrashFrames), 2u);
  EXPECT_EQ(frames[1].parameters[0], 55u);
  EXPECT_EQ(frames[1].parameters[1], 0u);
  EXPECT_EQ(frames[1].parameters[3], 0u);
}

// Links that lead down, outside the stack, to a misaligned place or to a
// frame without return address end the chain.
TEST(CrashWalk, BadLinksEndTheChain) {
  enum TLink { Below, Self, Outside, Misaligned };
  for (TLink kind : {Below, Self, Outside, Misaligned}) {
    TFakeStack stack;
    stack.Frame(30, 45, 0x401000);
    stack.Frame(45, 60, 0x402000);
    stack.Frame(60, 0, 0x403000);
    stack.Frame(20, 0, 0x404000);  // a frame below the stack pointer: never read
    const uintptr_t links[] = {stack.At(20), stack.At(60), 0x1000, stack.At(80) + 1};
    stack.words[60] = links[kind];
    TCrashFrame frames[kMaxCrashFrames];
    uint32_t n = WalkFramePointers(stack.At(30), stack.At(25), stack.Bounds(), kCode, frames, kMaxCrashFrames);
    EXPECT_EQ(n, 3u) << "link kind " << kind;
  }
  TFakeStack stack;
  stack.Frame(30, 45, 0x401000);
  stack.Frame(45, 60, 0);  // no return address: not a frame
  TCrashFrame frames[kMaxCrashFrames];
  EXPECT_EQ(WalkFramePointers(stack.At(30), stack.At(0), stack.Bounds(), kCode, frames, kMaxCrashFrames), 1u);
}

// A fault in code without frame pointers: the frame pointer register holds
// something else; the walk resumes at the first chain above the stack
// pointer whose frame returns into our code.
TEST(CrashWalk, ResumesAboveFramelessCode) {
  TFakeStack stack;
  stack.words[12] = stack.At(13);  // points up the stack, but returns "into" the stack: no frame
  stack.words[13] = stack.At(50);
  stack.Frame(20, 30, 0x7F001234);  // a chain, but returning into the C library
  stack.Frame(30, 0, 0x7F005678);
  stack.Frame(40, 50, 0x401000);
  stack.Frame(50, 70, 0x402000);
  stack.Frame(70, 0, 0x403000);
  stack.Frame(4, 40, 0x401111);  // below the stack pointer: never read
  TCrashFrame frames[kMaxCrashFrames];
  uintptr_t garbage = 0x12345678;
  uint32_t n = WalkFramePointers(garbage, stack.At(10), stack.Bounds(), kCode, frames, kMaxCrashFrames);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(frames[0].frameAddress, stack.At(40));
  EXPECT_EQ(frames[2].returnAddress, 0x403000u);

  // The handler's own frame, then a link broken by frame-less code.
  stack.Frame(8, 0, 0x401999);
  stack.words[8] = 0x55;
  n = WalkFramePointers(stack.At(8), stack.At(8), stack.Bounds(), kCode, frames, kMaxCrashFrames);
  ASSERT_EQ(n, 4u);
  EXPECT_EQ(frames[0].returnAddress, 0x401999u);
  EXPECT_EQ(frames[1].frameAddress, stack.At(40));

  // Nothing to resume at: no frames, and the report still prints the rest.
  TFakeStack empty;
  EXPECT_EQ(WalkFramePointers(garbage, empty.At(0), empty.Bounds(), kCode, frames, kMaxCrashFrames), 0u);
}

}  // namespace
