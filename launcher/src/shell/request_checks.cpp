#include "shell/request_checks.h"

namespace launcher {
namespace {

RequestVerdict refuse(int status, Route route, std::string reason) { return {status, route, std::move(reason), false}; }

}  // namespace

bool equalsInConstantTime(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

RequestVerdict checkRequest(const RequestHead& head, const ServedAddress& served, const Credentials& credentials) {
  const bool read = head.method == "GET" || head.method == "HEAD";
  Route route = Route::Page;
  if (head.path == "/bridge/cmd") {
    route = Route::Command;
  } else if (head.path == "/bridge/events") {
    route = Route::Events;
  } else if (head.path == "/bridge/session") {
    route = Route::SessionExchange;
  } else if (head.path == "/bridge/bridge.js") {
    route = Route::BridgeScript;
  }

  // A page of any other site, or a name that merely resolves here, never gets in.
  if (head.count("Host") != 1 || head.value("Host") != served.host)
    return refuse(403, route, "the Host is not " + served.host);
  // Any other site's request carries its Origin; only a browser's own
  // navigations and same-origin reads come without one, and never a POST.
  const std::size_t origins = head.count("Origin");
  if (origins > 1) return refuse(403, route, "more than one Origin");
  if (origins == 1 && head.value("Origin") != served.origin) return refuse(403, route, "a foreign Origin");
  if (origins == 0 && !read) return refuse(403, route, "no Origin on a " + head.method);
  // The browser says where a request comes from even where Origin is not
  // sent (a navigation, a frame, an image): only this page or the player.
  const std::size_t sites = head.count("Sec-Fetch-Site");
  if (sites > 1) return refuse(403, route, "more than one Sec-Fetch-Site");
  if (sites == 1 && head.value("Sec-Fetch-Site") != "same-origin" && head.value("Sec-Fetch-Site") != "none")
    return refuse(403, route, "a request from another site");

  const bool wantsPost = route == Route::Command || route == Route::SessionExchange;
  if (wantsPost ? head.method != "POST" : !read) return refuse(405, route, head.method + " is not allowed here");

  switch (route) {
    case Route::Command:
    case Route::Events:
      if (head.count(sessionHeader) != 1 || !credentials.isSession || !credentials.isSession(head.value(sessionHeader)))
        return refuse(403, route, "no live session");
      break;
    case Route::SessionExchange:
      if (head.count(tokenHeader) != 1) return refuse(403, route, "no token");
      break;
    case Route::Page: {
      std::string token;
      if (head.queryParameter("token", token) &&
          (!credentials.isUnspentToken || !credentials.isUnspentToken(token)))
      {
        RequestVerdict verdict = refuse(403, route, "a spent or wrong token");
        verdict.spentToken = true;
        return verdict;
      }
      break;
    }
    case Route::BridgeScript:
      break;
  }
  return {0, route, {}, false};
}

}  // namespace launcher
