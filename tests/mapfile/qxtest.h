// Helpers of the map file tests: files in the test directory, the file
// checker, and reading back what was written.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/dirutil.h"
#include "support/testutil.h"

namespace qxtest {

inline std::string TempPath(const std::string& name) { return std::string(ORLUMO_TEST_TMP) + "/mapfile/" + name; }

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::string text = TestUtil::ReadFile(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Runs tools/qxcheck.py over files or directories (one run: python starts
// slowly); returns its faults, empty when every file passes.
inline std::string RunChecker(const std::vector<std::string>& paths) {
  std::string out = TempPath("checker-output.txt");
  CreatePathDirectories(out);
  std::string cmd = "python3 " + std::string(ORLUMO_SOURCE_DIR) + "/tools/qxcheck.py";
  for (const std::string& p : paths) cmd += " '" + p + "'";
  cmd += " > '" + out + "' 2>&1";
  int rc = std::system(cmd.c_str());
  std::vector<uint8_t> text = ReadFileBytes(out);
  std::string result(text.begin(), text.end());
  if (rc != 0 && result.empty()) result = "checker failed with status " + std::to_string(rc);
  // A pass prints one line saying what was checked, nothing else.
  const std::string passed = " checked: all valid\n";
  if (rc == 0 && result.find('\n') + 1 == result.size() && result.ends_with(passed)) result.clear();
  if (rc == 0 && !result.empty()) result = "checker passed but printed: " + result;
  return result;
}
inline std::string RunChecker(const std::string& path) { return RunChecker(std::vector<std::string>{path}); }

inline uint32_t U32At(const std::vector<uint8_t>& b, size_t p) {
  return b[p] | b[p + 1] << 8 | b[p + 2] << 16 | static_cast<uint32_t>(b[p + 3]) << 24;
}
inline uint16_t U16At(const std::vector<uint8_t>& b, size_t p) { return static_cast<uint16_t>(b[p] | b[p + 1] << 8); }

}  // namespace qxtest
