// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace TestUtil {

// The 32-bit build runs under an emulator and the sanitizer build is slow:
// long tests check a share of their cases there.
constexpr bool kEmulated = sizeof(void*) < 8;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr bool kSlow = kEmulated || kSanitized;

// A fresh, empty directory for one test (under the build tree), ending in '/'.
std::string MakeTempDir(const std::string& name);
void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Path of a file in the shared test inputs, or empty when they are absent.
std::string SharedPath(const std::string& relative);
// Unpacks a .gz file of the shared corpus into the temp tree; returns the path.
std::string Gunzip(const std::string& gzPath, const std::string& outDir);

// Captures what the process writes to standard output while it lives.
class CStdoutCapture {
 public:
  CStdoutCapture();
  ~CStdoutCapture();
  // Stops capturing and returns the text.
  std::string Finish();

 private:
  int savedFd = -1;
  std::string path;
};

// Replaces "H:MM:SS.mmm: " log stamps by "T: ".
std::string MaskTimestamps(const std::string& text);

}  // namespace TestUtil
