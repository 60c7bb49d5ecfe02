// The script browser mode puts first in the page's head: it defines
// window.chrome.webview over fetch, so the page's own code is the same in
// the window and in a browser.
//
// It trades the address's one-time token for a session secret (POST
// /bridge/session, the token in X-Vantor-Token), takes the token out of the
// address bar, and keeps the secret in memory and in sessionStorage, where a
// reload of the same tab finds it and no other tab or site can. Every command
// (POST /bridge/cmd) and the event stream (GET /bridge/events, read as a
// streaming fetch of Server-Sent Events) carry it in X-Vantor-Session.
// Commands wait until the stream is open and go one at a time, in order; a
// dropped stream is opened again after the server's "retry". Without a
// session the page says how to get one.
#pragma once

#include <string_view>

namespace launcher {

[[nodiscard]] std::string_view browserBridgeScript();

}  // namespace launcher
