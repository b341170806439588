#include <cstdio>

#include "app/driver.h"
#include "core/crash.h"
#include "core/platform/platform.h"

int main(int argc, char** argv) {
  // The console may be a pipe whose reader quits early (| head): the maps
  // are converted all the same.
  Platform::IgnoreClosedConsole();
  std::printf("%s %u.%02u.%u\n", "Orlumo converter", 1u, 24u, 166u);
  if (argc != 2) {
    std::puts("Converts maps from .mp (Polish format) to .qx\nusage: converter config_file");
    return 1;
  }
  // A fault or an exception that escapes the run prints the crash report and gives exit code 1.
  return RunWithCrashReport(RunConverter, argv[1]);
}
