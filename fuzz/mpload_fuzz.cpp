// The .mp loader and the steps on the loaded map, without the writer: the
// whole conversion (mp) spends most of each run writing the file, this one
// tries many more texts per second.
#include <cstddef>
#include <cstdint>
#include <new>

#include "core/streams.h"
#include "fuzzutil.h"
#include "polski/cleaning.h"
#include "polski/map.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzUtil::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PolskiFormat::CMap map;
  bool stop = false;
  try {
    if (map.LoadFile(FuzzUtil::WriteInput(data, size), &stop)) return 0;
    PolskiFormat::RemoveJitters(map);
    PolskiFormat::RemoveDuplicates(map);
    PolskiFormat::Generalize(map);
    PolskiFormat::DropEmptyObjects(map);
    PolskiFormat::SplitMultiLevelPolylines(map);
  } catch (const std::bad_alloc&) {
    // As in the driver: a map too large for memory fails alone.
  } catch (const TStreamException&) {
  }
  return 0;
}
