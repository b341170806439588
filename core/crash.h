// Crash report: the processor context, the chain of exception records and a
// stack walk, captured while the faulting stack still exists and printed
// through the log once it is gone. This part knows nothing of signals; the
// platform layer (core/platform/crashguard.h) hands it a filled-in context.
#pragma once

#include <cstddef>
#include <cstdint>

class CLog;

constexpr uint32_t kMaxCrashRecords = 10;
constexpr uint32_t kMaxCrashFrames = 20;
constexpr uint32_t kMaxExceptionParameters = 15;
constexpr size_t kCrashNoteSize = 256;

// Exception codes, in the numbering the report has always used.
constexpr uint32_t kExceptionAccessViolation = 0xC0000005;
constexpr uint32_t kExceptionInPageError = 0xC0000006;
constexpr uint32_t kExceptionIllegalInstruction = 0xC000001D;
constexpr uint32_t kExceptionFltDivideByZero = 0xC000008E;
constexpr uint32_t kExceptionFltInexactResult = 0xC000008F;
constexpr uint32_t kExceptionFltInvalidOperation = 0xC0000090;
constexpr uint32_t kExceptionFltOverflow = 0xC0000091;
constexpr uint32_t kExceptionFltUnderflow = 0xC0000093;
constexpr uint32_t kExceptionIntDivideByZero = 0xC0000094;
constexpr uint32_t kExceptionIntOverflow = 0xC0000095;
constexpr uint32_t kExceptionPrivilegedInstruction = 0xC0000096;
constexpr uint32_t kExceptionStackOverflow = 0xC00000FD;
constexpr uint32_t kExceptionDatatypeMisalignment = 0x80000002;
constexpr uint32_t kExceptionFatalAppExit = 0x40000015;  // abort()
constexpr uint32_t kExceptionCpp = 0xE06D7363;
// First parameter of a C++ exception record.
constexpr uint32_t kCppExceptionMagic = 0x19930520;
// First parameter of an access violation: what the faulting access did.
constexpr uint32_t kAccessRead = 0;
constexpr uint32_t kAccessWrite = 1;
constexpr uint32_t kAccessExecute = 8;

// The registers of one processor. Both layouts exist in every build, so that
// either report format can be checked anywhere; a build captures its own.
template <typename TWord>
struct TCrashContextOf;

template <>
struct TCrashContextOf<uint64_t> {
  uint64_t rax, rbx, rcx, rdx, rsp, rbp, rsi, rdi;
  uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  uint64_t rip;
  uint32_t eflags;

  uint64_t FramePointer() const { return rbp; }
  uint64_t StackPointer() const { return rsp; }
};

template <>
struct TCrashContextOf<uint32_t> {
  uint32_t eax, ebx, ecx, edx, esi, edi, ebp, esp, eip, eflags;

  uint32_t FramePointer() const { return ebp; }
  uint32_t StackPointer() const { return esp; }
};

template <typename TWord>
struct TExceptionRecordOf {
  uint32_t code;
  TWord address;
  uint32_t parameterCount;  // at most kMaxExceptionParameters
  TWord parameters[kMaxExceptionParameters];
};

template <typename TWord>
struct TCrashFrameOf {
  TWord returnAddress;
  TWord frameAddress;
  TWord parameters[4];
};

template <typename TWord>
struct TCrashReportOf {
  TCrashContextOf<TWord> context;
  TExceptionRecordOf<TWord> records[kMaxCrashRecords];
  uint32_t recordCount;
  uint32_t frameCount;
  TCrashFrameOf<TWord> frames[kMaxCrashFrames];
  // Type and text of an uncaught C++ exception, empty for a processor fault.
  char note[kCrashNoteSize];
};

// This build's own layouts.
using TCrashContext = TCrashContextOf<uintptr_t>;
using TExceptionRecord = TExceptionRecordOf<uintptr_t>;
using TCrashFrame = TCrashFrameOf<uintptr_t>;
using TCrashReport = TCrashReportOf<uintptr_t>;

// One exception as the platform layer hands it over; `nested` leads to the
// exception that this one arose from, null at the end of the chain.
struct TExceptionInfo {
  const TExceptionInfo* nested;
  TExceptionRecord record;
};

// [low, high) of the address space.
struct TAddressRange {
  uintptr_t low;
  uintptr_t high;

  bool Contains(uintptr_t address) const { return address >= low && address < high; }
};

struct TExceptionPointers {
  const TExceptionInfo* exception;
  const TCrashContext* context;
  TAddressRange stack;  // of the faulting thread; the walk reads nothing outside it
  TAddressRange code;   // the program's own machine code
  const char* note;  // null or a line about the exception
};

// Fills g_CrashReport and accepts the exception (returns 1).
int MainExceptionFilter(const TExceptionPointers& pointers);
// Copies the context, up to 10 records of the chain and walks up to 20
// frames. Allocates nothing.
TCrashReport CaptureCrashReport(const TExceptionPointers& pointers);
// Follows the chain of saved frame pointers from `framePointer`, each frame
// being {saved frame pointer, return address, parameters...}, reading only
// words in [stackPointer, stack.high) of the stack. The chain ends at a link
// that is null, not above the frame before, or not a frame. When code
// without frame pointers (the C and C++ runtimes) was running, the first
// link is no frame or leads nowhere; then, once, the walk resumes at the
// first intact chain of two frames above the last place it could read whose
// first return address lies in `code`. Returns the number of frames stored.
uint32_t WalkFramePointers(uintptr_t framePointer, uintptr_t stackPointer, TAddressRange stack, TAddressRange code,
                           TCrashFrame* frames, uint32_t maxFrames);

// Runs run(argument) under the crash guard: its result, or 1 after the crash
// report of a fault or an uncaught exception has been printed.
int RunWithCrashReport(int (*run)(const char*), const char* argument);

// While it lives, a crash (a fault or an uncaught exception under the guard)
// removes the regular file at `path` before the report is printed: an output
// being written must not stay behind half-done. One file at a time; a path
// too long to keep is not removed.
class CPartialOutputFile {
 public:
  explicit CPartialOutputFile(const char* path);
  ~CPartialOutputFile();
  CPartialOutputFile(const CPartialOutputFile&) = delete;
  CPartialOutputFile& operator=(const CPartialOutputFile&) = delete;
};

// Prints g_CrashReport through g_Log.
void PrintCrashReport();
// Prints a report in its word size's format, one log line at a time.
// Allocates nothing beyond what the log does.
template <typename TWord>
void PrintCrashReport(CLog& log, const TCrashReportOf<TWord>& report);

extern TCrashReport g_CrashReport;
