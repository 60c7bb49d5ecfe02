// Small pieces the Windows implementation files share: UTF-8 and UTF-16
// conversions, the system's error texts, an owned handle, and a thread that
// holds a named mutex for its owner. Internal to platform/windows/.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace launcher::win {

// UTF-8 to UTF-16 and back; invalid sequences become U+FFFD.
[[nodiscard]] std::wstring widen(std::string_view utf8);
[[nodiscard]] std::string narrow(std::wstring_view wide);

// The system's text for an error code ("The system cannot find the file
// specified."), without its line end; the number when there is no text.
[[nodiscard]] std::string errorText(DWORD code);

// True when `path` is owned by this user, or by the owner this process gives
// what it makes (an elevated process makes objects the Administrators
// group's). Else false, with the owner's SID (or why it cannot be read) in
// `owner`.
[[nodiscard]] bool ownedByThisUser(const std::filesystem::path& path, std::string& owner);

// A kernel handle closed on destruction. Null and INVALID_HANDLE_VALUE both
// count as none.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : h_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  [[nodiscard]] bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  [[nodiscard]] HANDLE get() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void reset(HANDLE h = nullptr) {
    if (valid()) ::CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

// Handles kept in the headers' integer members (-1 for none).
[[nodiscard]] inline std::intptr_t toSlot(HANDLE h) {
  return (h == nullptr || h == INVALID_HANDLE_VALUE) ? -1 : reinterpret_cast<std::intptr_t>(h);
}
[[nodiscard]] inline HANDLE fromSlot(std::intptr_t slot) {
  return slot < 0 ? nullptr : reinterpret_cast<HANDLE>(slot);
}

// A named mutex held by a thread of its own, so that the holder is this
// object (not the calling thread, as a mutex's owner would be): two objects in
// one thread exclude each other, and any thread may release. The system
// treats a mutex whose holder died as abandoned, which the next waiter gets.
class MutexHolder {
 public:
  enum class Result { Acquired, HeldElsewhere, Failed };
  // Waits up to `timeoutMs` for `name`. Failed (with `error`) when the mutex
  // or the thread cannot be made.
  static Result acquire(const std::wstring& name, DWORD timeoutMs, MutexHolder*& holder, std::string& error);
  // Releases the mutex, ends the thread and frees the holder.
  static void release(MutexHolder* holder);

 private:
  MutexHolder() = default;
  static DWORD WINAPI run(void* self);
  std::wstring name_;
  DWORD timeoutMs_ = 0;
  HANDLE thread_ = nullptr;
  HANDLE decided_ = nullptr;  // set once the wait has a result
  HANDLE releaseNow_ = nullptr;
  Result result_ = Result::Failed;
  DWORD error_ = 0;
};

}  // namespace launcher::win

namespace launcher::win {

// One command line from an argument vector, each argument quoted the way the
// C runtime's parser (and CommandLineToArgvW) splits it again, so the child
// sees exactly these words.
[[nodiscard]] std::wstring commandLine(const std::vector<std::string>& argv);

// CreateProcessW of argv[0] (a full path) with `argv` as its command line, no
// handle inherited, this process's environment, in `workingFolder` (empty:
// ours). False with the system's error code. On success `process` holds the
// process handle (the caller closes it) and `pid` its id.
[[nodiscard]] bool startProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingFolder,
                                HANDLE& process, DWORD& pid, DWORD& errorCode);

}  // namespace launcher::win
