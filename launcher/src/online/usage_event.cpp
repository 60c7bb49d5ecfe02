#include "online/usage_event.h"

#include "base/version.h"
#include "update/http.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

namespace launcher {

std::string usageEventBody(const std::string& name, const std::string& ref) {
  nlohmann::json event{{"event", name}, {"ref", ref}, {"version", launcherVersion}};
  return event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void sendUsageEventNow(const std::string& accountServer, const std::string& name, const std::string& ref) {
  if (accountServer.empty()) return;
  std::string response;
  int status = 0;
  std::string error;
  (void)sendJsonRequest("POST", accountServer + "/api/event", usageEventBody(name, ref), "", response, status, error);
}

namespace {
std::atomic<int> eventsInFlight{0};
}  // namespace

bool sendUsageEvent(const std::string& accountServer, const std::string& name, const std::string& ref) {
  if (accountServer.empty()) return false;
  ++eventsInFlight;
  try {
    std::thread([accountServer, name, ref] {
      sendUsageEventNow(accountServer, name, ref);
      --eventsInFlight;
    }).detach();
  } catch (...) {
    --eventsInFlight;
    return false;  // no thread to be had: the event is simply not sent
  }
  return true;
}

int usageEventsInFlight() { return eventsInFlight.load(); }

}  // namespace launcher
