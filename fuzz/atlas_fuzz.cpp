// The atlas build over a damaged map file: the input is read as two maps,
// itself and a copy, so that its border nodes find partners in the other
// one's external-node tree and both metrics' graphs are joined, contracted
// and written. The build ends with an atlas file or a logged error.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzzutil.h"
#include "routing/atlas.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzUtil::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = FuzzUtil::WriteInput(data, size);
  const std::string& dir = FuzzUtil::EmptyScratchDirectory();
  const std::string copy = dir + "copy.qx";
  FILE* f = std::fopen(copy.c_str(), "wb");
  if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
  CReallocArray<std::string> maps;
  maps.PushBack(input);
  maps.PushBack(copy);
  // One builder for the run: a fresh one zeroes its page cache every time.
  static CAtlasBuilder builder;
  bool stop = false;
  BuildAtlas(builder, dir, maps, &stop);
  return 0;
}
