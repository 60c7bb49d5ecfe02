#include "testing/folder_faults.h"

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace launcher::testing {

namespace {

struct Faults {
  std::mutex mutex;
  std::condition_variable changed;
  // FolderReadFailure: the folder, its skip and error, and reads per listing.
  bool failing = false;
  std::string failFolder;
  int failSkip = 0;
  int failError = 0;
  int failures = 0;
  std::map<const void*, int> readsByListing;
  // FolderReadGate.
  bool gating = false;
  std::string gateFolder;
  int gateSkip = 0;
  int gateReads = 0;
  bool gateUsed = false;  // one read is or was held
  bool held = false;
  bool released = false;
  bool timedOut = false;
};

Faults& faults() {
  static Faults* f = new Faults;  // never destroyed: other threads may read folders at exit
  return *f;
}

std::atomic<bool> active{false};

void updateActive(Faults& f) { active = f.failing || f.gating; }

std::string folderOf(DIR* dir) {
  char buffer[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(::dirfd(dir));
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string canonicalText(const std::filesystem::path& folder) {
  std::filesystem::path normal = folder.lexically_normal();
  if (!normal.has_filename() && normal.has_parent_path()) normal = normal.parent_path();  // "a/b/" is "a/b"
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(normal, ec);
  return (ec ? normal : canonical).string();
}

// True when this read must fail (errno is then set).
bool beforeRead(DIR* dir) {
  if (!active.load()) return false;
  const std::string folder = folderOf(dir);
  Faults& f = faults();
  std::unique_lock lock(f.mutex);
  if (f.gating && folder == f.gateFolder && !f.gateUsed) {
    if (f.gateReads++ >= f.gateSkip) {
      f.gateUsed = true;
      f.held = true;
      f.changed.notify_all();
      f.timedOut = !f.changed.wait_for(lock, std::chrono::seconds(60), [&] { return f.released; });
      f.held = false;
      f.changed.notify_all();
    }
  }
  if (f.failing && folder == f.failFolder && f.readsByListing[dir]++ >= f.failSkip) {
    ++f.failures;
    errno = f.failError;
    return true;
  }
  return false;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

FolderReadFailure::FolderReadFailure(const std::filesystem::path& folder, int skip, int error) {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  f.failing = true;
  f.failFolder = canonicalText(folder);
  f.failSkip = skip;
  f.failError = error;
  f.failures = 0;
  f.readsByListing.clear();
  updateActive(f);
}

FolderReadFailure::~FolderReadFailure() {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  f.failing = false;
  f.readsByListing.clear();
  updateActive(f);
}

int FolderReadFailure::failures() const {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  return f.failures;
}

FolderReadGate::FolderReadGate(const std::filesystem::path& folder, int skip) {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  f.gating = true;
  f.gateFolder = canonicalText(folder);
  f.gateSkip = skip;
  f.gateReads = 0;
  f.gateUsed = false;
  f.held = false;
  f.released = false;
  f.timedOut = false;
  updateActive(f);
}

FolderReadGate::~FolderReadGate() {
  release();
  Faults& f = faults();
  std::unique_lock lock(f.mutex);
  // A held reader must leave before the next gate resets the state.
  f.changed.wait(lock, [&] { return !f.held; });
  f.gating = false;
  updateActive(f);
}

bool FolderReadGate::waitUntilHeld(int timeoutMs) {
  Faults& f = faults();
  std::unique_lock lock(f.mutex);
  return f.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return f.held; });
}

void FolderReadGate::release() {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  f.released = true;
  f.changed.notify_all();
}

bool FolderReadGate::timedOut() const {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  return f.timedOut;
}

}  // namespace launcher::testing

// The interposed calls: the test binary's own definitions win over the C
// library's (libstdc++'s directory iterators call readdir).
extern "C" struct dirent* readdir(DIR* dir) {
  using Readdir = struct dirent* (*)(DIR*);
  static Readdir real = launcher::testing::next<Readdir>("readdir");
  if (launcher::testing::beforeRead(dir)) return nullptr;
  return real(dir);
}

extern "C" struct dirent64* readdir64(DIR* dir) {
  using Readdir64 = struct dirent64* (*)(DIR*);
  static Readdir64 real = launcher::testing::next<Readdir64>("readdir64");
  if (launcher::testing::beforeRead(dir)) return nullptr;
  return real(dir);
}
