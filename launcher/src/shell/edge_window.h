// The window of the Windows launcher until it can host WebView2: the
// browser-mode page opened in an application window of the system's Edge
// (no tabs or address bar), else in the default browser. Windows only.
#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// Edge's executable as the App Paths registry key names it (the user's key,
// then the machine's), or an empty path when Edge is not installed.
[[nodiscard]] std::filesystem::path findEdge();

// Opens `address` (the page's loopback address) in an application window of
// `edge` ("--app=ADDRESS"), or with the default browser when `edge` is empty
// or cannot be started. Returns at once. False, with `error` filled, when
// nothing could be started.
[[nodiscard]] bool openPageWindow(const std::filesystem::path& edge, const std::string& address, std::string& error);

}  // namespace launcher
