// The tags file: XML document, type lists, word lists.
#include <cstddef>
#include <cstdint>

#include "app/tagsconfig.h"
#include "core/xml.h"
#include "fuzzutil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzUtil::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    CTagsConfig tags;
    LoadTagsConfig(tags, FuzzUtil::WriteInput(data, size));
  } catch (const XML::CWrongXMLException&) {
    // A malformed file ends the run through main's guard, by design.
  }
  return 0;
}
