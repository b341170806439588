// The PNG decoder of the raster packer, on a whole file in memory.
#include <cstddef>
#include <cstdint>

#include "fuzzutil.h"
#include "raster/pngdecoder.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzUtil::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TPngInfo info;
  CReallocArray<uint8_t> pixels;
  DecodePngImage(info, pixels, data, size);
  // A decoded image is exactly its RGBA pixels; an error leaves none.
  if (info.error == PngOk ? pixels.Size() != uint64_t{info.width} * info.height * 4 : pixels.Size() != 0) {
    __builtin_trap();
  }
  return 0;
}
