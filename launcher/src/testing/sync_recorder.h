// Records the file-system calls that make a save durable, fsync and rename,
// in the order this process makes them, so tests can check that data reaches
// the disk before the rename that commits it. The calls are interposed in the
// test binary and forwarded unchanged to the system; recording is on only
// while a SyncRecorder lives. Any thread.
#pragma once

#include <string>
#include <vector>

namespace launcher::testing {

class SyncRecorder {
 public:
  SyncRecorder();
  ~SyncRecorder();
  SyncRecorder(const SyncRecorder&) = delete;
  SyncRecorder& operator=(const SyncRecorder&) = delete;

  // "fsync <path>" and "rename <from> -> <to>", oldest first.
  [[nodiscard]] std::vector<std::string> events() const;
};

// While one lives, every fsync of a folder fails with EIO (a device that
// cannot flush), after being recorded; fsync of a file is untouched.
class FolderFlushFailure {
 public:
  FolderFlushFailure();
  ~FolderFlushFailure();
  FolderFlushFailure(const FolderFlushFailure&) = delete;
  FolderFlushFailure& operator=(const FolderFlushFailure&) = delete;
};

}  // namespace launcher::testing
