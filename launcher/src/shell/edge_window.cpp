#include "shell/edge_window.h"

#include "base/log.h"
#include "platform/process.h"
#include "update/location.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <vector>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* appPathsKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\msedge.exe";

fs::path defaultValue(HKEY root) {
  DWORD size = 0;
  if (::RegGetValueW(root, appPathsKey, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr, nullptr, &size) !=
          ERROR_SUCCESS ||
      size == 0 || size > 64 * 1024) {
    return {};
  }
  std::wstring value(size / sizeof(wchar_t), L'\0');
  if (::RegGetValueW(root, appPathsKey, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr, value.data(),
                     &size) != ERROR_SUCCESS) {
    return {};
  }
  value.resize(wcsnlen(value.c_str(), value.size()));
  // Some installers store the path quoted.
  if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"') value = value.substr(1, value.size() - 2);
  return fs::path(value);
}

}  // namespace

fs::path findEdge() {
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    const fs::path edge = defaultValue(root);
    std::error_code ec;
    if (!edge.empty() && edge.is_absolute() && fs::is_regular_file(edge, ec)) return edge;
  }
  return {};
}

bool openPageWindow(const fs::path& edge, const std::string& address, std::string& error) {
  if (!edge.empty()) {
    if (spawnDetached({toUtf8(edge), "--app=" + address}, SpawnOptions{}, error)) return true;
    logf("warn", "Couldn't open the page in Edge, trying the default browser: {}", error);
  }
  return openWithSystem(address, error);
}

}  // namespace launcher
