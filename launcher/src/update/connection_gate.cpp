#include "update/connection_gate.h"

namespace launcher {

namespace {
constexpr auto stopCheckInterval = std::chrono::milliseconds(50);
}  // namespace

ConnectionGate::Wait ConnectionGate::acquire(const std::string& server, const std::function<bool()>& stop,
                                             std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  Server& s = servers_[server];
  ++s.waiting;
  Wait result = Wait::Taken;
  while (s.held >= places_) {
    // The stop check may take its own locks: never call it under ours.
    lock.unlock();
    const bool stopped = stop && stop();
    lock.lock();
    if (stopped) {
      result = Wait::Stopped;
      break;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      result = Wait::TimedOut;
      break;
    }
    if (s.held < places_) break;
    freed_.wait_until(lock, std::min(deadline, now + stopCheckInterval));
  }
  --s.waiting;
  if (result == Wait::Taken) {
    ++s.held;
  } else if (s.held == 0 && s.waiting == 0) {
    servers_.erase(server);
  }
  return result;
}

void ConnectionGate::release(const std::string& server) {
  {
    std::lock_guard lock(mutex_);
    auto it = servers_.find(server);
    if (it == servers_.end() || it->second.held == 0) return;
    --it->second.held;
    if (it->second.held == 0 && it->second.waiting == 0) servers_.erase(it);
  }
  freed_.notify_all();
}

int ConnectionGate::held(const std::string& server) const {
  std::lock_guard lock(mutex_);
  auto it = servers_.find(server);
  return it == servers_.end() ? 0 : it->second.held;
}

int ConnectionGate::waiting(const std::string& server) const {
  std::lock_guard lock(mutex_);
  auto it = servers_.find(server);
  return it == servers_.end() ? 0 : it->second.waiting;
}

ConnectionGate& serverConnections() {
  static ConnectionGate* gate = new ConnectionGate(connectionsPerServer);
  return *gate;
}

}  // namespace launcher
