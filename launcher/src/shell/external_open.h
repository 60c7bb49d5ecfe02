// Hands an address to the user's own browser.
#pragma once

#include <string>

namespace launcher {

// UI thread (the child is reaped by the UI loop). Starts `xdg-open` with the
// address as its one argument, in a session of its own, inheriting no
// descriptor beyond the standard three, and returns at once: the launcher
// never waits for the browser. Addresses that fail isOpenableHttpsUrl are
// refused. False, with `error` filled, when refused or when the program could
// not be started.
[[nodiscard]] bool openInBrowser(const std::string& url, std::string& error);

}  // namespace launcher
