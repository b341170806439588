// Shared by the fuzz targets: the parsers under test read files by path, so
// each input goes through one scratch file; the log and standard output are
// silenced so that only sanitizer reports reach the terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace FuzzUtil {

// Silences g_Log and standard output; call once from LLVMFuzzerInitialize.
void Quiet();
// Writes the input to this process's scratch file and returns its path.
const char* WriteInput(const uint8_t* data, size_t size);
// A scratch directory of this process (ends in '/'), emptied on every call.
const std::string& EmptyScratchDirectory();

}  // namespace FuzzUtil
