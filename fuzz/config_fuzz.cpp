// The parameter file: line reader, keys, 0/1 values, the files it names.
#include <cstddef>
#include <cstdint>

#include "app/config.h"
#include "fuzzutil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzUtil::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CConverterConfig config;
  config.LoadConfig(FuzzUtil::WriteInput(data, size));
  return 0;
}
