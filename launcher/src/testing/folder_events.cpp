#include "testing/folder_events.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace launcher::testing {

FolderEvents::FolderEvents(const std::filesystem::path& folder) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  wd_ = ::inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_CLOSE_WRITE);
}

FolderEvents::~FolderEvents() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<FolderEvent> FolderEvents::take() {
  std::vector<FolderEvent> out;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;  // EAGAIN: nothing more queued
    for (ssize_t at = 0; at < n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const std::string name = event.len ? std::string(buffer + at + sizeof event) : std::string();
      if (event.mask & IN_CREATE) out.push_back({FolderEvent::Created, name});
      if (event.mask & IN_MOVED_TO) out.push_back({FolderEvent::MovedIn, name});
      if (event.mask & IN_MOVED_FROM) out.push_back({FolderEvent::MovedAway, name});
      if (event.mask & IN_DELETE) out.push_back({FolderEvent::Deleted, name});
      if (event.mask & IN_CLOSE_WRITE) out.push_back({FolderEvent::Written, name});
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
    }
  }
  return out;
}

}  // namespace launcher::testing
