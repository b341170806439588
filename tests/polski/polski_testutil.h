// Helpers of the Polish-format tests: sections fed from text the way the
// loader feeds them, and maps loaded from text written to a temp file.
#pragma once

#include <list>
#include <string>

#include "polski/map.h"
#include "support/testutil.h"

namespace PolskiTest {

// Keeps the line texts alive while sections point into them.
class CPairSource {
 public:
  // Feeds the key=value lines of `text` (one per line) to the section.
  template <class TSection>
  TSection& Feed(TSection& section, const std::string& text) {
    std::string& buffer = buffers.emplace_back(text + "\n");
    size_t start = 0;
    for (size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
      buffer[end] = 0;
      int type;
      std::string_view key;
      const char* value;
      if (PolskiFormat::ClassifyLine(&buffer[start], &type, &key, &value) == PolskiFormat::LineKeyValue) {
        PolskiFormat::AppendPair(section, key, value);
      }
    }
    return section;
  }

 private:
  std::list<std::string> buffers;
};

// Writes `text` into a fresh temp file and loads it into `map`.
inline const char* LoadText(PolskiFormat::CMap& map, const std::string& text, const bool* stop = nullptr) {
  std::string path = TestUtil::MakeTempDir("polski_load") + "map.mp";
  TestUtil::WriteFile(path, text);
  return map.LoadFile(path.c_str(), stop);
}

// A header that parses, for maps whose other sections are under test.
inline const char* kHeader = "[IMG ID]\nName=Test\nLevel0=24\nLevel1=20\n[END-IMG ID]\n";

}  // namespace PolskiTest
