// Children through CreateProcessW with no handle inherited; folders and links
// through the shell (ShellExecuteW) on a thread of their own, so the UI
// thread never waits for the shell.
#include "platform/process.h"

#include "platform/windows/win_helpers.h"

#include <objbase.h>
#include <shellapi.h>

#include <system_error>
#include <thread>

namespace launcher {

namespace fs = std::filesystem;

bool spawnDetached(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error) {
  if (argv.empty() || argv[0].empty()) {
    error = "Nothing to start";
    return false;
  }
  HANDLE process = nullptr;
  DWORD pid = 0;
  DWORD code = 0;
  if (!win::startProcess(argv, options.workingFolder, process, pid, code)) {
    error = "Couldn't start " + argv[0] + ": " + win::errorText(code);
    return false;
  }
  // Nothing to reap on Windows: closing our handle lets the system forget it
  // once it ends. A child process outlives us whatever `newSession` says.
  ::CloseHandle(process);
  return true;
}

bool openWithSystem(const std::string& target, std::string& error) {
  if (target.empty()) {
    error = "Nothing to open";
    return false;
  }
  try {
    std::thread([wide = win::widen(target)] {
      // The shell's handlers may be COM objects that want an apartment.
      const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
      ::ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      if (SUCCEEDED(com)) ::CoUninitialize();
    }).detach();
  } catch (const std::system_error& e) {
    error = std::string("Couldn't open ") + target + ": " + e.what();
    return false;
  }
  return true;
}

bool makeExecutable(const fs::path&, std::string&) {
  // Windows runs any file with an executable name; there are no mode bits.
  return true;
}

void ignoreBrokenPipeSignal() {
  // No SIGPIPE on Windows: a write to a closed pipe or socket fails with an error.
}

void limitMemoryPools(int) {
  // The process heap grows no per-thread pools to limit.
}

bool replaceProcess(const std::vector<std::string>& argv, std::string& error) {
  // Windows cannot run another program in this process: the nearest is to
  // start it (sharing this console), wait for it and end with its exit code,
  // so that whoever started this process sees the other one's outcome.
  HANDLE process = nullptr;
  DWORD pid = 0;
  DWORD code = 0;
  if (!win::startProcess(argv, {}, process, pid, code)) {
    error = "Can't start " + (argv.empty() ? std::string("the program") : argv[0]) + ": " + win::errorText(code);
    return false;
  }
  const win::Handle owned(process);
  DWORD exitCode = 1;
  if (::WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process, &exitCode)) {
    error = "Lost track of process " + std::to_string(pid) + ": " + win::errorText(::GetLastError());
    return false;
  }
  ::ExitProcess(exitCode);
}

}  // namespace launcher
