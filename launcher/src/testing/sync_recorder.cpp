#include "testing/sync_recorder.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

namespace launcher::testing {

namespace {

std::mutex recordMutex;
bool recording = false;
std::atomic<bool> failFolderFlushes{false};
std::vector<std::string>* recorded = nullptr;

std::string fdPath(int fd) {
  char buffer[4096];
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("?");
}

void record(std::string event) {
  std::lock_guard lock(recordMutex);
  if (recording && recorded) recorded->push_back(std::move(event));
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

SyncRecorder::SyncRecorder() {
  std::lock_guard lock(recordMutex);
  delete recorded;
  recorded = new std::vector<std::string>;
  recording = true;
}

SyncRecorder::~SyncRecorder() {
  std::lock_guard lock(recordMutex);
  recording = false;
  delete recorded;
  recorded = nullptr;
}

std::vector<std::string> SyncRecorder::events() const {
  std::lock_guard lock(recordMutex);
  return recorded ? *recorded : std::vector<std::string>{};
}

FolderFlushFailure::FolderFlushFailure() { failFolderFlushes = true; }
FolderFlushFailure::~FolderFlushFailure() { failFolderFlushes = false; }

}  // namespace launcher::testing

// The interposed calls: the test binary's own definitions win over the C
// library's, and forward to it.
extern "C" int fsync(int fd) {
  using Fsync = int (*)(int);
  static Fsync real = launcher::testing::next<Fsync>("fsync");
  launcher::testing::record("fsync " + launcher::testing::fdPath(fd));
  struct stat st {};
  if (launcher::testing::failFolderFlushes.load() && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EIO;
    return -1;
  }
  return real(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
  using Rename = int (*)(const char*, const char*);
  static Rename real = launcher::testing::next<Rename>("rename");
  int result = real(from, to);
  launcher::testing::record(std::string("rename ") + from + " -> " + to + (result == 0 ? "" : " (failed)"));
  return result;
}
