#include "fuzzutil.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"

namespace FuzzUtil {

namespace {

constexpr const char* kPrefix = "orlumo-fuzz-";

void RemoveTree(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (unlink((dir + name).c_str()) != 0) RemoveTree(dir + name + "/");
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

// Scratch directories of processes that are gone (killed runs never clean up).
void RemoveStaleScratch(const std::string& base) {
  DIR* d = opendir(base.c_str());
  if (!d) return;
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name.rfind(kPrefix, 0) != 0) continue;
    long pid = std::strtol(name.c_str() + std::strlen(kPrefix), nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) RemoveTree(base + "/" + name + "/");
  }
  closedir(d);
}

// Held for the whole run (never destroyed, so the exit handler can use it).
const std::string& Scratch() {
  static const std::string* dir = [] {
    // Memory-backed when there is one: a disk file per input costs more than the parse.
    struct stat shm;
    const char* tmp = std::getenv("TMPDIR");
    if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && access("/dev/shm", W_OK) == 0) tmp = "/dev/shm";
    std::string base = tmp && *tmp ? tmp : "/tmp";
    RemoveStaleScratch(base);
    std::string path = base + "/" + kPrefix + std::to_string(getpid());
    RemoveTree(path + "/");
    if (mkdir(path.c_str(), 0700) != 0) std::abort();
    std::atexit([] { RemoveTree(Scratch()); });
    return new std::string(path + "/");
  }();
  return *dir;
}

}  // namespace

void Quiet() {
  g_Log.enabled = false;
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
}

const char* WriteInput(const uint8_t* data, size_t size) {
  static const std::string* path = new std::string(Scratch() + "input");
  FILE* f = std::fopen(path->c_str(), "wb");
  if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
  return path->c_str();
}

const std::string& EmptyScratchDirectory() {
  static const std::string* dir = new std::string(Scratch() + "out/");
  RemoveTree(*dir);
  mkdir(dir->c_str(), 0700);
  return *dir;
}

}  // namespace FuzzUtil
