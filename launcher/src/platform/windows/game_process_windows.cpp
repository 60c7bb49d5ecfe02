// Windows: CreateProcessW, and WaitForMultipleObjects on the process handle
// and a manual-reset event as the stop event.
#include "platform/game_process.h"

#include "platform/windows/win_helpers.h"

namespace launcher {

namespace fs = std::filesystem;

void GameProcess::reset() {
  if (handle_ >= 0) ::CloseHandle(win::fromSlot(handle_));
  handle_ = -1;
  pid_ = -1;
}

bool startGameProcess(const std::vector<std::string>& argv, const fs::path& workingFolder, GameProcess& process,
                      int& errorCode, std::string& error) {
  process.reset();
  HANDLE handle = nullptr;
  DWORD pid = 0;
  DWORD code = 0;
  if (!win::startProcess(argv, workingFolder, handle, pid, code)) {
    errorCode = static_cast<int>(code);
    error = win::errorText(code);
    return false;
  }
  process.pid_ = static_cast<int>(pid);
  process.handle_ = win::toSlot(handle);
  return true;
}

StopEvent::StopEvent() { fd_ = win::toSlot(::CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

StopEvent::~StopEvent() {
  if (fd_ >= 0) ::CloseHandle(win::fromSlot(fd_));
}

void StopEvent::signal() {
  signalled_.store(true);
  if (fd_ >= 0) ::SetEvent(win::fromSlot(fd_));
}

WaitOutcome waitForExitOrStop(GameProcess& process, const StopEvent& stop) {
  WaitOutcome outcome;
  if (!process.valid() || process.handle_ < 0) return outcome;
  HANDLE handles[2] = {win::fromSlot(process.handle_), win::fromSlot(stop.fd_)};
  const DWORD count = stop.fd_ >= 0 ? 2 : 1;
  for (;;) {
    // Without a stop event, look at the flag every 200 ms.
    const DWORD wait = ::WaitForMultipleObjects(count, handles, FALSE, count == 2 ? INFINITE : 200);
    // The process comes first in the list: an exit already done wins over a stop.
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0) {
      DWORD code = 0;
      if (!::GetExitCodeProcess(handles[0], &code)) code = 0;
      process.reset();
      outcome.end = WaitEnd::Exited;
      outcome.exitCode = code;
      return outcome;
    }
    if (wait == WAIT_FAILED) ::Sleep(200);  // should never happen; never spin
    if (stop.signalled()) {
      outcome.end = WaitEnd::Stopped;
      return outcome;
    }
  }
}

}  // namespace launcher
