// What happens to the names in one folder while the object lives, as the
// kernel reports it (inotify): which names were created, moved in, moved
// away or deleted, in order. A test reads it to see, for instance, that a
// path was never without a file. Not thread-safe.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace launcher::testing {

struct FolderEvent {
  enum Kind { Created, MovedIn, MovedAway, Deleted, Written } kind;
  std::string name;
};

class FolderEvents {
 public:
  explicit FolderEvents(const std::filesystem::path& folder);
  ~FolderEvents();
  FolderEvents(const FolderEvents&) = delete;
  FolderEvents& operator=(const FolderEvents&) = delete;

  [[nodiscard]] bool watching() const { return wd_ >= 0; }
  // Every event queued so far (the kernel queues them as they happen, so
  // everything done before this call is there).
  [[nodiscard]] std::vector<FolderEvent> take();

 private:
  int fd_ = -1;
  int wd_ = -1;
};

}  // namespace launcher::testing
