// The XML parser of the configuration files, on a buffer.
#include <cstddef>
#include <cstdint>

#include "core/xml.h"
#include "fuzzutil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzUtil::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    XML::CXMLParser parser;
    parser.Parse(reinterpret_cast<const char*>(data), size);
  } catch (const XML::CWrongXMLException&) {
    // Malformed input is refused; only a crash or a sanitizer report is a finding.
  }
  return 0;
}
