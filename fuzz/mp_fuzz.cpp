// A whole map conversion: .mp loader, the three cleaning passes, the map
// writer with its routing graphs, as the run driver calls them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/config.h"
#include "app/driver.h"
#include "fuzzutil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzUtil::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CConverterConfig config;
  config.removeJitters = config.removeDupes = config.generalize = true;
  std::string input = FuzzUtil::WriteInput(data, size);
  CReallocArray<std::string> written;
  bool stop = false;
  // Both image layouts: the size's low bit picks plain or compressed.
  ConvertMap(input, FuzzUtil::EmptyScratchDirectory(), config, size & 1, written, &stop, 0);
  return 0;
}
