// The layers file: level table and per-kind type ranges.
#include <cstddef>
#include <cstdint>

#include "app/layersconfig.h"
#include "fuzzutil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzUtil::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CLayersConfig layers;
  LoadLayersConfig(layers, FuzzUtil::WriteInput(data, size));
  return 0;
}
