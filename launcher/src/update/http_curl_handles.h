// The curl transport's handles: the process-wide share, and the easy handle
// each thread keeps with its place at a server (ConnectionGate). Internal to
// the curl transport (http_curl.cpp).
#pragma once

#include "update/connection_gate.h"
#include "update/http.h"

#include <curl/curl.h>

#include <chrono>
#include <string>

namespace launcher {

// The one share of the process (DNS cache and TLS sessions only), created
// thread-safely on first use and never destroyed; null when curl could not
// make it.
[[nodiscard]] CURLSH* sharedSession();

// scheme://host:port of an http(s) URL, lowercased, the port filled in when
// implied; "" when it cannot be parsed. One server, as connections are
// counted.
[[nodiscard]] std::string originOf(const std::string& url);

// A request's easy handle: the calling thread's own, or a one-off when the
// thread's is busy (a request from inside a callback); either way with a
// place at the URL's server for the request's whole length. The thread's
// handle keeps one connection, to the server whose place the thread holds,
// between requests; it is closed (and the place given back) when the next
// request goes to another server, when the last request's connection did not
// stay open to the same server, when another thread waits for a place there,
// and when the thread ends.
class Request {
 public:
  // Waits for a place at the URL's server; `stop` (asked at least every
  // 100 ms) and `deadline` end the wait, and get() is then null.
  Request(const std::string& url, const StopRequested& stop, std::chrono::steady_clock::time_point deadline);
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // The handle, reset; null when the wait ended or curl could not make one.
  [[nodiscard]] CURL* get() const { return handle_; }
  // Taken, or why there is no handle.
  [[nodiscard]] ConnectionGate::Wait waited() const { return wait_; }

 private:
  CURL* handle_ = nullptr;
  ConnectionGate::Wait wait_ = ConnectionGate::Wait::Taken;
  bool oneOff_ = false;
  std::string server_;  // a one-off's place
};

}  // namespace launcher
