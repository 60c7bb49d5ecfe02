// Who may ask browser mode's server for what: the checks every request head
// passes before anything is served. Pure; any thread.
//
// - Host must be exactly the served "127.0.0.1:PORT" (no other name, even one
//   that resolves here); Origin, when sent, exactly the served origin, and a
//   request that may change something (any method but GET and HEAD) must send
//   it; Sec-Fetch-Site, when sent, "same-origin" or "none", so no other site
//   (another port of 127.0.0.1 included) even gets a page; each of these at
//   most once.
// - The page's files and the bridge script are served to anyone who passes
//   those checks: they hold no secret. An address with a token is served only
//   while that token is unspent.
// - Commands and the event stream need the session secret in the
//   X-Vantor-Session header. Browsers send cookies of 127.0.0.1 to every port
//   of it, so nothing here ever rests on a cookie.
// - The token is traded for a session at POST /bridge/session, with the token
//   in the X-Vantor-Token header; the shell checks and spends it.
#pragma once

#include "shell/http_head.h"

#include <functional>
#include <string>
#include <string_view>

namespace launcher {

enum class Route {
  Page,             // GET or HEAD of a page file, "/" included
  BridgeScript,     // GET or HEAD /bridge/bridge.js
  SessionExchange,  // POST /bridge/session
  Command,          // POST /bridge/cmd
  Events,           // GET /bridge/events
};

struct RequestVerdict {
  int status = 0;  // 0: allowed; else the status to answer with (403, 405)
  Route route = Route::Page;
  std::string reason;  // for a refusal: why, for the log and the answer's text
  bool spentToken = false;  // refused for an address whose token is spent (or was never ours)
};

struct ServedAddress {
  std::string host;    // "127.0.0.1:PORT"
  std::string origin;  // "http://127.0.0.1:PORT"
};

struct Credentials {
  // True for a live session secret.
  std::function<bool(std::string_view)> isSession;
  // True for the token not yet spent.
  std::function<bool(std::string_view)> isUnspentToken;
};

[[nodiscard]] RequestVerdict checkRequest(const RequestHead& head, const ServedAddress& served,
                                          const Credentials& credentials);

// Compares secrets in a time that does not depend on where they differ.
[[nodiscard]] bool equalsInConstantTime(std::string_view a, std::string_view b);

inline constexpr std::string_view sessionHeader = "X-Vantor-Session";
inline constexpr std::string_view tokenHeader = "X-Vantor-Token";

}  // namespace launcher
