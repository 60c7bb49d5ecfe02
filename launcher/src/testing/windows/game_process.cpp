// Windows bodies of the started-game helpers: processes by handle, and no
// descriptors, signal dispositions or immutable flags to hand on.
#include "testing/game_process.h"

#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace launcher::testing {

namespace fs = std::filesystem;

void installStandInGame(const fs::path& fakegame, const fs::path& gameFolder, ExecBits) {
  std::error_code ec;
  fs::create_directories(gameFolder, ec);
  ASSERT_FALSE(ec) << ec.message();
  const fs::path exe = gameFolder / gameExecutableName;
  // Not copy_file with overwrite_existing: this runtime refuses an existing target.
  ASSERT_TRUE(::CopyFileW(fakegame.c_str(), exe.c_str(), FALSE)) << "copying " << fakegame << ": " << ::GetLastError();
}

nlohmann::json waitForGameRecord(const fs::path& logsFolder, int pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const fs::path file = logsFolder / "fakegame.json";
  for (;;) {
    std::ifstream in(file, std::ios::binary);
    if (in) {
      nlohmann::json record = nlohmann::json::parse(in, nullptr, false);
      if (record.is_object() && record.value("pid", -1L) == pid) return record;
    }
    if (std::chrono::steady_clock::now() > deadline) return nlohmann::json(nlohmann::json::value_t::discarded);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool processExists(int pid) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process) return false;
  const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return running;
}

int reapChild(int pid, int timeoutMs) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                 static_cast<DWORD>(pid));
  if (!process) return -1;
  int code = -1;
  if (::WaitForSingleObject(process, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
    DWORD exit = 0;
    if (::GetExitCodeProcess(process, &exit)) code = static_cast<int>(exit);
  } else {
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 5000);
  }
  ::CloseHandle(process);
  return code;
}

// Handles are never inherited by the launcher's children (CreateProcessW
// without inheritance); there is nothing to open here.
InheritableDescriptors::InheritableDescriptors() = default;
InheritableDescriptors::~InheritableDescriptors() = default;

struct ScopedSignalState::Saved {};
ScopedSignalState::ScopedSignalState() : saved_(nullptr) {}
ScopedSignalState::~ScopedSignalState() = default;

ScopedImmutable::ScopedImmutable(fs::path file) : file_(std::move(file)) {
  skipReason_ = "Linux-only: the immutable flag (chattr +i)";
}

ScopedImmutable::~ScopedImmutable() = default;

}  // namespace launcher::testing
