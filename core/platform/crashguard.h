// The guard around a run: processor faults and C++ exceptions that nothing
// catches are caught here, their context captured while the faulting stack
// still exists, and the run abandoned. POSIX signals with an alternate
// signal stack (so that a stack overflow is caught too) and a terminate
// handler underneath.
#pragma once

#include <cstdint>

#include "core/crash.h"

namespace Platform {

using TExceptionFilter = int (*)(const TExceptionPointers& pointers);

// Runs body(argument). When a processor fault (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGABRT) or a C++ exception that nothing catches ends it, `filter`
// sees the exception while the faulting stack still exists; the body is then
// abandoned without unwinding and the call returns false. Otherwise *result
// gets the body's result and the call returns true. One guard at a time, on
// one thread; the previous handlers are back when it returns.
bool RunGuarded(int (*body)(const char*), const char* argument, TExceptionFilter filter, int* result);

// Names the regular file that a fault or an uncaught exception under the
// guard removes before the filter runs; null names none. A path longer than
// the guard keeps is not named.
void SetCrashRemovesFile(const char* path);

// The bounds of the calling thread's stack; {0, 0} when unknown.
TAddressRange CurrentStackBounds();

// The exception record for a fault signal: its code, the faulting instruction
// and, for memory faults, the access kind (kAccessRead/Write/Execute) and
// address as parameters. A memory fault at the stack's lower end or within
// 64 KiB below it is a stack overflow.
TExceptionRecord ExceptionFromSignal(int signal, int signalCode, uintptr_t instruction, uintptr_t faultAddress,
                                     uint32_t access, TAddressRange stack);

}  // namespace Platform
