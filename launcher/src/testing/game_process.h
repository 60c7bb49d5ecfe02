// Test helpers around a started game: the stand-in game's record, checks on a
// process the test started, and process-wide states (descriptors without
// close-on-exec, ignored or blocked signals) a launched game must not inherit.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>

namespace launcher::testing {

// Copies the stand-in game `fakegame` into `gameFolder` as its executable
// ("Vantor"), with mode 0644 (as the sync writes it) or 0755. Fails the test
// on error.
enum class ExecBits { Missing, Present };
void installStandInGame(const std::filesystem::path& fakegame, const std::filesystem::path& gameFolder,
                        ExecBits bits);

// Waits (up to `timeoutMs`) for the stand-in game's record in `logsFolder`
// naming process `pid`; the parsed record, or a discarded value on time-out.
[[nodiscard]] nlohmann::json waitForGameRecord(const std::filesystem::path& logsFolder, int pid,
                                               int timeoutMs = 20000);

// True while process `pid` exists (a zombie counts until reaped).
[[nodiscard]] bool processExists(int pid);

// Reaps the test's own child `pid`, waiting up to `timeoutMs` and killing it
// after that: its exit code, 128 + N after signal N, or -1.
int reapChild(int pid, int timeoutMs);

// Opens a file and a socket without close-on-exec for the life of the object,
// as a careless library of the launcher might.
class InheritableDescriptors {
 public:
  InheritableDescriptors();
  ~InheritableDescriptors();
  InheritableDescriptors(const InheritableDescriptors&) = delete;
  InheritableDescriptors& operator=(const InheritableDescriptors&) = delete;
  [[nodiscard]] int file() const { return file_; }
  [[nodiscard]] int socket() const { return socket_; }

 private:
  int file_ = -1;
  int socket_ = -1;
};

// Ignores SIGINT and blocks SIGUSR1 on this thread for the life of the object:
// both would pass to a child started without resetting them.
class ScopedSignalState {
 public:
  ScopedSignalState();
  ~ScopedSignalState();
  ScopedSignalState(const ScopedSignalState&) = delete;
  ScopedSignalState& operator=(const ScopedSignalState&) = delete;

 private:
  struct Saved;
  Saved* saved_;
};

// Makes `file` immutable (chattr +i) for the life of the object, so that even
// root cannot delete, rename or write it. ok() false, with skipReason(), when
// not root or the file system has no such flag.
class ScopedImmutable {
 public:
  explicit ScopedImmutable(std::filesystem::path file);
  ~ScopedImmutable();
  ScopedImmutable(const ScopedImmutable&) = delete;
  ScopedImmutable& operator=(const ScopedImmutable&) = delete;
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] const std::string& skipReason() const { return skipReason_; }

 private:
  std::filesystem::path file_;
  bool ok_ = false;
  std::string skipReason_;
};

}  // namespace launcher::testing
