#include "support/testutil.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TestUtil {

std::string MakeTempDir(const std::string& name) {
  std::filesystem::path p = std::filesystem::path(ORLUMO_TEST_TMP) / (name + "." + std::to_string(getpid()));
  std::filesystem::remove_all(p);
  std::filesystem::create_directories(p);
  return p.string() + "/";
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream f(path, std::ios::binary);
  f << contents;
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

std::string SharedPath(const std::string& relative) {
  std::string p = std::string(ORLUMO_SHARED_DIR) + "/" + relative;
  return std::filesystem::exists(p) ? p : std::string();
}

std::string Gunzip(const std::string& gzPath, const std::string& outDir) {
  std::string name = std::filesystem::path(gzPath).filename().string();
  if (name.size() > 3 && name.substr(name.size() - 3) == ".gz") name.resize(name.size() - 3);
  std::string out = outDir + name;
  std::string cmd = "gzip -dc '" + gzPath + "' > '" + out + "'";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot unpack " + gzPath);
  return out;
}

CStdoutCapture::CStdoutCapture() {
  std::fflush(stdout);
  path = MakeTempDir("capture") + "stdout.txt";
  savedFd = dup(1);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, 1);
  close(fd);
}

std::string CStdoutCapture::Finish() {
  if (savedFd < 0) return std::string();
  std::fflush(stdout);
  dup2(savedFd, 1);
  close(savedFd);
  savedFd = -1;
  return ReadFile(path);
}

CStdoutCapture::~CStdoutCapture() { Finish(); }

std::string MaskTimestamps(const std::string& text) {
  // A stamp at a line start: H:MM:SS.mmm: or HH:MM:SS.mmm:, then a blank.
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    bool lineStart = i == 0 || text[i - 1] == '\n';
    size_t h = 0;
    while (lineStart && h < 2 && i + h < text.size() && isDigit(text[i + h])) h++;
    const char* shape = ":dd:dd.ddd: ";
    size_t k = 0;
    if (h > 0) {
      for (; shape[k] && i + h + k < text.size(); k++) {
        char c = text[i + h + k];
        if (shape[k] == 'd' ? !isDigit(c) : c != shape[k]) break;
      }
    }
    if (h > 0 && !shape[k]) {
      out += "T: ";
      i += h + k;
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace TestUtil
