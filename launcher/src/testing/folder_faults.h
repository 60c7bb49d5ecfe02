// Faults in reading folders, for tests of code that lists them: readdir is
// interposed in the test binaries (as fsync and rename are by sync_recorder)
// and forwarded unchanged unless one of these objects lives and names the
// folder being read. Folders are named as the system names an open
// descriptor of them (an absolute path without links). Any thread.
#pragma once

#include <filesystem>

namespace launcher::testing {

// While it lives, reading the entries of `folder` fails with `error` (EIO by
// default) from the (skip + 1)-th read of each listing on: with skip 0 the
// listing fails at once, with skip 1 after its first entry, as a disk that
// fails half-way through a folder does.
class FolderReadFailure {
 public:
  explicit FolderReadFailure(const std::filesystem::path& folder, int skip = 0, int error = 5);
  ~FolderReadFailure();
  FolderReadFailure(const FolderReadFailure&) = delete;
  FolderReadFailure& operator=(const FolderReadFailure&) = delete;

  // Reads that failed so far.
  [[nodiscard]] int failures() const;
};

// While it lives, the first read of `folder`'s entries after the first
// `skip` reads (counted over every listing of it) waits until release(), the
// object's end, or 60 s; the reads of every other listing, and later reads,
// go on. So a test can hold one scan half-way while others run.
class FolderReadGate {
 public:
  explicit FolderReadGate(const std::filesystem::path& folder, int skip = 0);
  ~FolderReadGate();
  FolderReadGate(const FolderReadGate&) = delete;
  FolderReadGate& operator=(const FolderReadGate&) = delete;

  // Waits until a read is held (true), for at most `timeoutMs`.
  [[nodiscard]] bool waitUntilHeld(int timeoutMs);
  // Lets the held read, if any, go on.
  void release();
  // True when the held read went on because 60 s had passed.
  [[nodiscard]] bool timedOut() const;
};

}  // namespace launcher::testing
