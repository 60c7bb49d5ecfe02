// The WinHTTP transport's sessions and their places at servers
// (ConnectionGate). Internal to http_winhttp.cpp.
//
// Each thread keeps one session, kept in fiber-local storage and closed when
// the thread ends, with the place at the one server its kept connection goes
// to, as the curl transport's thread handle does: the session is closed (its
// connections with it) and the place given back when the next request goes to
// another server, when the last request's connection did not stay open to the
// same server, when another thread waits for a place there, and when the
// thread ends.
#pragma once

#include "update/connection_gate.h"
#include "update/http.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <winhttp.h>

#include <chrono>
#include <string>

namespace launcher {

// A request's session: the calling thread's own, or a one-off when the
// thread's is busy (a request from inside a callback); either way with a
// place at `server` (as originOf names it) for the request's whole length.
class SessionLease {
 public:
  // Waits for a place at `server`; `stop` (asked at least every 100 ms) and
  // `deadline` end the wait, and get() is then null.
  SessionLease(const std::string& server, const StopRequested& stop, std::chrono::steady_clock::time_point deadline);
  ~SessionLease();
  SessionLease(const SessionLease&) = delete;
  SessionLease& operator=(const SessionLease&) = delete;

  // The session; null when the wait ended or WinHTTP could not open one.
  [[nodiscard]] HINTERNET get() const { return session_; }
  // Taken, or why there is no session.
  [[nodiscard]] ConnectionGate::Wait waited() const { return wait_; }
  // WinHttpOpen's error when the place was taken but get() is null.
  [[nodiscard]] DWORD openError() const { return openError_; }

  // Says the request's last answer was read to its end and left its
  // connection open to `finalServer`. Without it, or when that is another
  // server than the place's, the session and its connections are closed.
  void keepConnection(const std::string& finalServer) { kept_ = finalServer; }

 private:
  HINTERNET session_ = nullptr;
  ConnectionGate::Wait wait_ = ConnectionGate::Wait::Taken;
  DWORD openError_ = 0;
  bool oneOff_ = false;
  std::string server_;
  std::string kept_;
};

}  // namespace launcher
