#include "core/platform/crashguard.h"

#include <cxxabi.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>

#include "core/platform/platform.h"

namespace Platform {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];
// Room for the handler, the capture (a few KiB of report) and the filter.
constexpr size_t kAltStackSize = 64 * 1024;
constexpr uintptr_t kOverflowMargin = 64 * 1024;
constexpr uintptr_t kPageFaultTrap = 14;
// Page-fault error code bits.
constexpr uintptr_t kFaultWrite = 2;
constexpr uintptr_t kFaultFetch = 16;

// Handlers have nothing but globals to reach; everything is static storage,
// so nothing is allocated when a fault strikes.
struct TGuardState {
  sigjmp_buf resume;
  TExceptionFilter filter;
  TAddressRange stack;
  // Set while the body runs; the first event clears it, so that a fault
  // while reporting ends the process the ordinary way instead of looping.
  volatile sig_atomic_t active;
  struct sigaction previousActions[kSignalCount];
  stack_t previousAltStack;
  std::terminate_handler previousTerminate;
  char note[kCrashNoteSize];
  // The output being written, removed at a crash; valid while the flag is set.
  volatile sig_atomic_t hasPartialFile;
  char partialFile[PATH_MAX];
};
TGuardState g_guard;
alignas(16) char g_altStack[kAltStackSize];

TCrashContext ContextFromMachine(const mcontext_t& m) {
  TCrashContext c;
  std::memset(&c, 0, sizeof c);
#if defined(__x86_64__)
  c.rax = m.gregs[REG_RAX];
  c.rbx = m.gregs[REG_RBX];
  c.rcx = m.gregs[REG_RCX];
  c.rdx = m.gregs[REG_RDX];
  c.rsp = m.gregs[REG_RSP];
  c.rbp = m.gregs[REG_RBP];
  c.rsi = m.gregs[REG_RSI];
  c.rdi = m.gregs[REG_RDI];
  c.r8 = m.gregs[REG_R8];
  c.r9 = m.gregs[REG_R9];
  c.r10 = m.gregs[REG_R10];
  c.r11 = m.gregs[REG_R11];
  c.r12 = m.gregs[REG_R12];
  c.r13 = m.gregs[REG_R13];
  c.r14 = m.gregs[REG_R14];
  c.r15 = m.gregs[REG_R15];
  c.rip = m.gregs[REG_RIP];
  c.eflags = static_cast<uint32_t>(m.gregs[REG_EFL]);
#elif defined(__i386__)
  c.eax = m.gregs[REG_EAX];
  c.ebx = m.gregs[REG_EBX];
  c.ecx = m.gregs[REG_ECX];
  c.edx = m.gregs[REG_EDX];
  c.esi = m.gregs[REG_ESI];
  c.edi = m.gregs[REG_EDI];
  c.ebp = m.gregs[REG_EBP];
  c.esp = m.gregs[REG_ESP];
  c.eip = m.gregs[REG_EIP];
  c.eflags = m.gregs[REG_EFL];
#else
#error "crash guard: unsupported processor"
#endif
  return c;
}

// The program's own machine code, as the linker marks it.
extern "C" const char __executable_start[];
extern "C" const char __etext[];
TAddressRange ProgramCode() {
  return TAddressRange{reinterpret_cast<uintptr_t>(__executable_start), reinterpret_cast<uintptr_t>(__etext)};
}

uintptr_t InstructionPointer(const TCrashContext& c) {
#if defined(__x86_64__)
  return c.rip;
#else
  return c.eip;
#endif
}

// What the faulting access did, from the page-fault error code.
uint32_t AccessKind(const mcontext_t& m) {
  uintptr_t trap = static_cast<uintptr_t>(m.gregs[REG_TRAPNO]), error = static_cast<uintptr_t>(m.gregs[REG_ERR]);
  if (trap != kPageFaultTrap) return kAccessRead;
  if (error & kFaultFetch) return kAccessExecute;
  return (error & kFaultWrite) ? kAccessWrite : kAccessRead;
}

// Only async-signal-safe calls: a handler runs this.
void RemovePartialFile() {
  if (!g_guard.hasPartialFile) return;
  g_guard.hasPartialFile = 0;
  struct stat st;
  if (stat(g_guard.partialFile, &st) == 0 && S_ISREG(st.st_mode)) unlink(g_guard.partialFile);
}

// The end of both handlers: the partial output goes, the filter sees the
// exception, and the body is abandoned.
[[noreturn]] void Report(const TExceptionPointers& pointers) {
  RemovePartialFile();
  g_guard.filter(pointers);
  siglongjmp(g_guard.resume, 1);
}

// The stack is realigned on entry: an emulator's signal frame may be only
// 8-aligned, and the 32-bit build keeps SSE values on a 16-aligned stack.
__attribute__((force_align_arg_pointer)) void OnSignal(int signal, siginfo_t* info, void* machineContext) {
  if (!g_guard.active) {
    // A second fault while reporting: let it end the process as it would
    // have without the guard (the faulting instruction runs again, abort()
    // raises again).
    struct sigaction standard;
    std::memset(&standard, 0, sizeof standard);
    standard.sa_handler = SIG_DFL;
    sigaction(signal, &standard, nullptr);
    return;
  }
  g_guard.active = 0;
  const mcontext_t& m = static_cast<const ucontext_t*>(machineContext)->uc_mcontext;
  TCrashContext context = ContextFromMachine(m);
  TExceptionInfo exception;
  exception.nested = nullptr;
  exception.record = ExceptionFromSignal(signal, info->si_code, InstructionPointer(context),
                                         reinterpret_cast<uintptr_t>(info->si_addr), AccessKind(m), g_guard.stack);
  Report(TExceptionPointers{&exception, &context, g_guard.stack, ProgramCode(), nullptr});
}

// "C++ exception TYPE: TEXT" for the exception being handled; the thrown
// object's address goes to *object when it is known.
void DescribeCurrentException(char* out, size_t size, uintptr_t* object) {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (!type) {
    std::snprintf(out, size, "C++ terminate without an active exception");
    return;
  }
  int status = 0;
  char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
  const char* name = demangled ? demangled : type->name();
  try {
    throw;
  } catch (const std::exception& e) {
    *object = reinterpret_cast<uintptr_t>(&e);
    std::snprintf(out, size, "C++ exception %s: %s", name, e.what());
  } catch (const std::string& s) {
    *object = reinterpret_cast<uintptr_t>(&s);
    std::snprintf(out, size, "C++ exception %s: %s", name, s.c_str());
  } catch (const char* s) {
    std::snprintf(out, size, "C++ exception %s: %s", name, s ? s : "(null)");
  } catch (...) {
    std::snprintf(out, size, "C++ exception %s", name);
  }
  std::free(demangled);
}

// Runs on the throwing stack: the unwinder found no handler and unwound nothing.
void OnTerminate() {
  if (!g_guard.active) std::abort();
  g_guard.active = 0;
  // getcontext fills only what a call preserves (not rax, r10, r11 or
  // eflags): the rest must read as zero, not as old stack bytes.
  ucontext_t machine;
  std::memset(&machine, 0, sizeof machine);
  getcontext(&machine);
  TCrashContext context = ContextFromMachine(machine.uc_mcontext);
  uintptr_t object = 0;
  DescribeCurrentException(g_guard.note, sizeof g_guard.note, &object);
  TExceptionInfo exception;
  std::memset(&exception, 0, sizeof exception);
  exception.record.code = kExceptionCpp;
  exception.record.address = InstructionPointer(context);
  exception.record.parameterCount = 3;
  exception.record.parameters[0] = kCppExceptionMagic;
  exception.record.parameters[1] = object;
  exception.record.parameters[2] = reinterpret_cast<uintptr_t>(abi::__cxa_current_exception_type());
  Report(TExceptionPointers{&exception, &context, g_guard.stack, ProgramCode(), g_guard.note});
}

void Install() {
  // Load the time zone now: the first local-time call allocates, and a
  // report's log lines must not.
  GetLocalTime();
  stack_t alt;
  alt.ss_sp = g_altStack;
  alt.ss_size = kAltStackSize;
  alt.ss_flags = 0;
  sigaltstack(&alt, &g_guard.previousAltStack);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < kSignalCount; i++) sigaction(kFaultSignals[i], &action, &g_guard.previousActions[i]);
  g_guard.previousTerminate = std::set_terminate(OnTerminate);
}

void Uninstall() {
  std::set_terminate(g_guard.previousTerminate);
  for (size_t i = 0; i < kSignalCount; i++) sigaction(kFaultSignals[i], &g_guard.previousActions[i], nullptr);
  sigaltstack(&g_guard.previousAltStack, nullptr);
}

}  // namespace

void SetCrashRemovesFile(const char* path) {
  g_guard.hasPartialFile = 0;
  if (!path) return;
  size_t n = std::strlen(path);
  if (n == 0 || n >= sizeof g_guard.partialFile) return;
  std::memcpy(g_guard.partialFile, path, n + 1);
  // The path is complete before a handler may see the flag.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_guard.hasPartialFile = 1;
}

TAddressRange CurrentStackBounds() {
  TAddressRange bounds{0, 0};
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return bounds;
  void* address = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &address, &size) == 0) {
    bounds.low = reinterpret_cast<uintptr_t>(address);
    bounds.high = bounds.low + size;
  }
  pthread_attr_destroy(&attr);
  return bounds;
}

TExceptionRecord ExceptionFromSignal(int signal, int signalCode, uintptr_t instruction, uintptr_t faultAddress,
                                     uint32_t access, TAddressRange stack) {
  TExceptionRecord record;
  std::memset(&record, 0, sizeof record);
  record.address = instruction;
  bool memoryFault = false;
  switch (signal) {
    case SIGSEGV: {
      uintptr_t floor = stack.low > kOverflowMargin ? stack.low - kOverflowMargin : 0;
      bool overflow = stack.high > stack.low && faultAddress >= floor && faultAddress < stack.high;
      record.code = overflow ? kExceptionStackOverflow : kExceptionAccessViolation;
      memoryFault = true;
      break;
    }
    case SIGBUS:
      if (signalCode == BUS_ADRALN) {
        record.code = kExceptionDatatypeMisalignment;
      } else {
        record.code = kExceptionInPageError;
        memoryFault = true;
      }
      break;
    case SIGFPE:
      switch (signalCode) {
        case FPE_INTDIV: record.code = kExceptionIntDivideByZero; break;
        case FPE_INTOVF: record.code = kExceptionIntOverflow; break;
        case FPE_FLTDIV: record.code = kExceptionFltDivideByZero; break;
        case FPE_FLTOVF: record.code = kExceptionFltOverflow; break;
        case FPE_FLTUND: record.code = kExceptionFltUnderflow; break;
        case FPE_FLTRES: record.code = kExceptionFltInexactResult; break;
        default: record.code = kExceptionFltInvalidOperation; break;
      }
      break;
    case SIGILL:
      record.code = (signalCode == ILL_PRVOPC || signalCode == ILL_PRVREG) ? kExceptionPrivilegedInstruction
                                                                           : kExceptionIllegalInstruction;
      break;
    default:
      record.code = kExceptionFatalAppExit;
      break;
  }
  if (memoryFault) {
    record.parameterCount = 2;
    record.parameters[0] = access;
    record.parameters[1] = faultAddress;
  }
  return record;
}

bool RunGuarded(int (*body)(const char*), const char* argument, TExceptionFilter filter, int* result) {
  g_guard.filter = filter;
  g_guard.stack = CurrentStackBounds();
  Install();
  if (sigsetjmp(g_guard.resume, 1) != 0) {
    // Back from a handler: the body's frames are abandoned as they stood.
    Uninstall();
    return false;
  }
  g_guard.active = 1;
  int value = body(argument);
  g_guard.active = 0;
  Uninstall();
  *result = value;
  return true;
}

}  // namespace Platform
