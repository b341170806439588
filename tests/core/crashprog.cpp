// Test-only program that crashes on purpose, under the same guard as the
// converter's main: crashprog null|divide|throw|recurse|abort|none.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "core/crash.h"
#include "core/log.h"

namespace {

// Volatile everywhere: the compiler must neither see the fault coming nor
// turn it into a trap instruction of its own.
int* volatile g_nowhere = nullptr;
volatile int g_zero = 0;
volatile int g_sink = 0;

__attribute__((noinline)) int CrashNullWrite() {
  *g_nowhere = 1;
  return 0;
}

__attribute__((noinline)) int CrashDivide() { return 1000 / g_zero; }

__attribute__((noinline)) int CrashThrow() {
  if (g_zero == 0) throw std::runtime_error("thrown on purpose");
  return 0;
}

// Each level keeps a buffer alive across the call, so neither tail calls nor
// inlining shorten the stack.
__attribute__((noinline)) int CrashRecurse(int depth) {
  volatile char buffer[512];
  buffer[depth % sizeof buffer] = static_cast<char>(depth);
  if (g_zero != 0) return buffer[0];
  return CrashRecurse(depth + 1) + buffer[depth % sizeof buffer];
}

__attribute__((noinline)) int CrashAbort() {
  std::abort();
}

int Run(const char* mode) {
  g_Log.Print("Crashing: %s", mode);
  if (std::strcmp(mode, "null") == 0) return CrashNullWrite();
  if (std::strcmp(mode, "divide") == 0) return CrashDivide();
  if (std::strcmp(mode, "throw") == 0) return CrashThrow();
  if (std::strcmp(mode, "recurse") == 0) return CrashRecurse(0);
  if (std::strcmp(mode, "abort") == 0) return CrashAbort();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::puts("usage: crashprog null|divide|throw|recurse|abort|none");
    return 2;
  }
  return RunWithCrashReport(Run, argv[1]);
}
