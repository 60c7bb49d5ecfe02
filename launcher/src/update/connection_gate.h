// A process-wide limit on the connections to one server. libcurl's own limit
// (CURLOPT_MAXCONNECTS) counts one handle's cache, and every thread keeps a
// handle of its own, so the count across threads is kept here: a thread
// holds one of a server's places for as long as it may have a connection to
// that server, from before it connects until that connection is closed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace launcher {

// At most this many connections to one server (scheme, host and port) at
// once, as the Windows transport's session allows.
inline constexpr int connectionsPerServer = 8;

class ConnectionGate {
 public:
  explicit ConnectionGate(int placesPerServer) : places_(placesPerServer) {}
  ConnectionGate(const ConnectionGate&) = delete;
  ConnectionGate& operator=(const ConnectionGate&) = delete;

  enum class Wait { Taken, Stopped, TimedOut };

  // Takes one of `server`'s places, waiting while all are held. `stop` (may
  // be empty) is asked at least every 100 ms while waiting and ends the wait
  // (Stopped); so does `deadline` (TimedOut). Any thread.
  [[nodiscard]] Wait acquire(const std::string& server, const std::function<bool()>& stop,
                             std::chrono::steady_clock::time_point deadline);
  // Gives back a place taken by acquire.
  void release(const std::string& server);

  // Places of `server` held, and threads waiting for one (tests, and the
  // handle that decides whether to keep its idle connection).
  [[nodiscard]] int held(const std::string& server) const;
  [[nodiscard]] int waiting(const std::string& server) const;

 private:
  struct Server {
    int held = 0;
    int waiting = 0;
  };
  const int places_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  std::map<std::string, Server> servers_;
};

// The gate every http(s) transfer of this process goes through:
// connectionsPerServer places a server. Never destroyed (threads that outlive
// main() may still release).
[[nodiscard]] ConnectionGate& serverConnections();

}  // namespace launcher
