#include <cstdio>
#include <exception>

#include "app/driver.h"
#include "core/log.h"

int main(int argc, char** argv) {
  std::printf("%s %u.%02u.%u\n", "Orlumo converter", 1u, 24u, 166u);
  if (argc != 2) {
    std::puts("Converts maps from .mp (Polish format) to .qx\nusage: converter config_file");
    return 1;
  }
  try {
    return RunConverter(argv[1]);
  } catch (...) {
    // Until the crash report lands: an escaping exception ends the run.
    g_Log.PrintText("Unhandled exception");
    return 1;
  }
}
