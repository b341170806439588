// The map file reader on a whole file: the load, then every section read
// through a small page cache (so that pages are moved and evicted) in
// pieces of varied sizes, which must agree with one whole read; then the
// stream item readers over the road records, the CH node records and the
// external-node tree (each read gives a result or a stream error).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/log.h"
#include "fuzzutil.h"
#include "mapfile/reader.h"
#include "tests/mapfile/streamwalk.h"

namespace {

CStreamCache* g_Cache = nullptr;
// A damaged block table can make the image large: each section is read up
// to here.
constexpr uint32_t kMaxRead = 64 * 1024;

uint8_t g_Pieces[kMaxRead];
uint8_t g_Whole[kMaxRead];

bool ReadInPieces(ZorvaneMap::CMapFile& map, uint32_t offset, uint32_t size) {
  static const uint32_t kSizes[] = {1, 7, 1023, 2, 1024, 300, 3000, 4};
  try {
    map.Seek(offset);
    for (uint32_t done = 0, i = 0; done < size; i++) {
      uint32_t n = kSizes[i % (sizeof kSizes / sizeof kSizes[0])];
      if (n > size - done) n = size - done;
      std::memcpy(g_Pieces + done, map.GetData(n), n);
      done += n;
    }
    map.Seek(offset);
    map.Read(g_Whole, size);
  } catch (const TStreamException&) {
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzUtil::Quiet();
  g_Cache = new CStreamCache(12);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = FuzzUtil::WriteInput(data, size);
  ZorvaneMap::CMapFile map;
  if (map.Open(path, g_Cache) != ZorvaneMap::CMapFile::LoadOk) {
    if (map.IsAttached()) __builtin_trap();  // a failed load leaves the map detached
    return 0;
  }
  CLockGuard guard(g_Cache->Lock());
  for (uint32_t id = 1; id <= ZorvaneMap::kMapSectionCount; id++) {
    if (!map.HasSection(id)) continue;
    uint32_t offset = map.GetSectionOffset(id), length = map.GetSectionSize(id);
    if (length > kMaxRead) length = kMaxRead;
    if (ReadInPieces(map, offset, length) && std::memcmp(g_Pieces, g_Whole, length) != 0) __builtin_trap();
  }
  if (!g_Cache->IndexesConsistent()) __builtin_trap();
  // Few items per input: the fuzzer gains from many short runs.
  streamwalk::WalkStreamItems(map, 300);
  if (!g_Cache->IndexesConsistent()) __builtin_trap();
  return 0;
}
