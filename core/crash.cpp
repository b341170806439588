#include "core/crash.h"

#include <cinttypes>
#include <cstring>

#include "core/log.h"
#include "core/platform/crashguard.h"

TCrashReport g_CrashReport;

int MainExceptionFilter(const TExceptionPointers& pointers) {
  g_CrashReport = CaptureCrashReport(pointers);
  return 1;
}

int RunWithCrashReport(int (*run)(const char*), const char* argument) {
  int result = 0;
  if (Platform::RunGuarded(run, argument, MainExceptionFilter, &result)) return result;
  PrintCrashReport();
  return 1;
}

CPartialOutputFile::CPartialOutputFile(const char* path) { Platform::SetCrashRemovesFile(path); }
CPartialOutputFile::~CPartialOutputFile() { Platform::SetCrashRemovesFile(nullptr); }

TCrashReport CaptureCrashReport(const TExceptionPointers& pointers) {
  TCrashReport report;
  std::memset(&report, 0, sizeof report);
  if (pointers.context) report.context = *pointers.context;
  for (const TExceptionInfo* e = pointers.exception; e && report.recordCount < kMaxCrashRecords; e = e->nested) {
    TExceptionRecord& record = report.records[report.recordCount++];
    record = e->record;
    if (record.parameterCount > kMaxExceptionParameters) record.parameterCount = kMaxExceptionParameters;
  }
  if (pointers.context) {
    report.frameCount =
        WalkFramePointers(pointers.context->FramePointer(), pointers.context->StackPointer(), pointers.stack,
                          pointers.code, report.frames, kMaxCrashFrames);
  }
  if (pointers.note) {
    std::strncpy(report.note, pointers.note, kCrashNoteSize - 1);
    report.note[kCrashNoteSize - 1] = 0;
  }
  return report;
}

namespace {

constexpr uintptr_t kWord = sizeof(uintptr_t);

// Reads words of the live part of a stack and nothing else, so that a wrong
// frame pointer ends the walk instead of faulting again.
class CStackReader {
 public:
  CStackReader(uintptr_t stackPointer, TAddressRange stack, TAddressRange code)
      : stack(stack), code(code), floor(stack.low) {
    // Below the stack pointer lies nothing of the walk, and perhaps no memory.
    if (stackPointer > stack.low && stackPointer < stack.high) floor = stackPointer;
  }
  bool Holds(uintptr_t address) const {
    return address % kWord == 0 && address >= floor && address < stack.high && stack.high - address >= kWord;
  }
  // Any word of the live stack may be read, padding and guard zones included:
  // the address sanitizer is told so.
  __attribute__((no_sanitize("address"))) uintptr_t Read(uintptr_t address) const {
    return Holds(address) ? *reinterpret_cast<const uintptr_t*>(address) : 0;
  }
  // {saved frame pointer, return address}, the return address pointing to code.
  bool IsFrame(uintptr_t fp) const {
    if (!Holds(fp) || !Holds(fp + kWord)) return false;
    uintptr_t returnAddress = Read(fp + kWord);
    return returnAddress != 0 && !stack.Contains(returnAddress);
  }
  // A frame returning into our code whose link is a frame above it that ends
  // the chain or links on upwards.
  bool StartsChain(uintptr_t fp) const {
    if (!IsFrame(fp) || !code.Contains(Read(fp + kWord))) return false;
    uintptr_t next = Read(fp);
    if (next <= fp || !IsFrame(next)) return false;
    uintptr_t after = Read(next);
    return after == 0 || after > next;
  }
  uintptr_t FindChain(uintptr_t from) const {
    uintptr_t fp = from < floor ? floor : from;
    fp += (kWord - fp % kWord) % kWord;
    for (; fp < stack.high && fp >= floor; fp += kWord) {
      if (StartsChain(fp)) return fp;
    }
    return 0;
  }
  uintptr_t Floor() const { return floor; }

 private:
  TAddressRange stack;
  TAddressRange code;
  uintptr_t floor;
};

}  // namespace

uint32_t WalkFramePointers(uintptr_t framePointer, uintptr_t stackPointer, TAddressRange stack, TAddressRange code,
                           TCrashFrame* frames, uint32_t maxFrames) {
  CStackReader reader(stackPointer, stack, code);
  uint32_t count = 0;
  bool resumed = false;
  uintptr_t fp = framePointer;
  uintptr_t searchFrom = reader.Floor();
  while (count < maxFrames) {
    if (!reader.IsFrame(fp)) {
      // Twice the same frame-less stretch would only repeat itself; and past
      // two frames the chain has reached code of ours and ends for good.
      if (resumed || count >= 2) break;
      resumed = true;
      fp = reader.FindChain(searchFrom);
      if (fp == 0) break;
    }
    TCrashFrame& frame = frames[count++];
    frame.returnAddress = reader.Read(fp + kWord);
    frame.frameAddress = fp;
    for (uintptr_t i = 0; i < 4; i++) frame.parameters[i] = reader.Read(fp + (2 + i) * kWord);
    uintptr_t next = reader.Read(fp);
    if (next == 0) break;
    searchFrom = fp + 2 * kWord;
    if (next <= fp) next = 0;  // callers' frames lie above: this is no chain
    fp = next;
  }
  return count;
}

void PrintCrashReport() { PrintCrashReport(g_Log, g_CrashReport); }

template <typename TWord>
void PrintCrashReport(CLog& log, const TCrashReportOf<TWord>& report) {
  static_assert(sizeof(TWord) == 8 || sizeof(TWord) == 4);
  constexpr bool k64 = sizeof(TWord) == 8;
  for (uint32_t i = 0; i < report.recordCount && i < kMaxCrashRecords; i++) {
    const TExceptionRecordOf<TWord>& record = report.records[i];
    if constexpr (k64) {
      log.Print("Unhandled exception %08X at %016" PRIX64, record.code, uint64_t(record.address));
    } else {
      log.Print("Unhandled exception %08X at %08" PRIX32, record.code, uint32_t(record.address));
    }
    for (uint32_t p = 0; p < record.parameterCount && p < kMaxExceptionParameters; p++) {
      if constexpr (k64) {
        log.Print("%016" PRIX64, uint64_t(record.parameters[p]));
      } else {
        log.Print("%08" PRIX32, uint32_t(record.parameters[p]));
      }
    }
  }
  // A note that lacks its terminator (a damaged report) is left out.
  if (report.note[0] && std::memchr(report.note, 0, kCrashNoteSize)) log.PrintText(report.note);

  const TCrashContextOf<TWord>& c = report.context;
  if constexpr (k64) {
    log.Print("rax=%016" PRIX64 " rbx=%016" PRIX64 " rcx=%016" PRIX64 " rdx=%016" PRIX64, c.rax, c.rbx, c.rcx, c.rdx);
    log.Print("rsp=%016" PRIX64 " rbp=%016" PRIX64 " rsi=%016" PRIX64 " rdi=%016" PRIX64, c.rsp, c.rbp, c.rsi, c.rdi);
    log.Print(" r8=%016" PRIX64 "  r9=%016" PRIX64 " r10=%016" PRIX64 " r11=%016" PRIX64, c.r8, c.r9, c.r10, c.r11);
    log.Print("r12=%016" PRIX64 " r13=%016" PRIX64 " r14=%016" PRIX64 " r15=%016" PRIX64, c.r12, c.r13, c.r14, c.r15);
    log.Print("rip=%016" PRIX64 " eflags=%08" PRIX32, c.rip, c.eflags);
  } else {
    log.Print("eax=%08" PRIX32 " ebx=%08" PRIX32 " ecx=%08" PRIX32 " edx=%08" PRIX32 " esi=%08" PRIX32
              " edi=%08" PRIX32,
              c.eax, c.ebx, c.ecx, c.edx, c.esi, c.edi);
    log.Print("ebp=%08" PRIX32 " esp=%08" PRIX32 " eip=%08" PRIX32 " eflags=%08" PRIX32, c.ebp, c.esp, c.eip,
              c.eflags);
  }

  for (uint32_t i = 0; i < report.frameCount && i < kMaxCrashFrames; i++) {
    const TCrashFrameOf<TWord>& f = report.frames[i];
    if constexpr (k64) {
      log.Print("return %016" PRIX64 ", frame %016" PRIX64 ", params: %016" PRIX64 ", %016" PRIX64 ", %016" PRIX64
                ", %016" PRIX64,
                uint64_t(f.returnAddress), uint64_t(f.frameAddress), uint64_t(f.parameters[0]),
                uint64_t(f.parameters[1]), uint64_t(f.parameters[2]), uint64_t(f.parameters[3]));
    } else {
      log.Print("return %08" PRIX32 ", frame %08" PRIX32 ", params: %08" PRIX32 ", %08" PRIX32 ", %08" PRIX32
                ", %08" PRIX32,
                uint32_t(f.returnAddress), uint32_t(f.frameAddress), uint32_t(f.parameters[0]),
                uint32_t(f.parameters[1]), uint32_t(f.parameters[2]), uint32_t(f.parameters[3]));
    }
  }
}

template void PrintCrashReport<uint64_t>(CLog&, const TCrashReportOf<uint64_t>&);
template void PrintCrashReport<uint32_t>(CLog&, const TCrashReportOf<uint32_t>&);
