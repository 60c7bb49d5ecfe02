// Hands an address to the user's own browser.
#pragma once

#include <string>

namespace launcher {

// UI thread. Hands the address to the platform's opener (openWithSystem:
// `xdg-open` on Linux, inheriting no descriptor beyond the standard three;
// the shell on Windows) and returns at once: the launcher never waits for the
// browser. Addresses that fail isOpenableHttpsUrl are refused. False, with
// `error` filled, when refused or when the opener could not be started.
[[nodiscard]] bool openInBrowser(const std::string& url, std::string& error);

}  // namespace launcher
