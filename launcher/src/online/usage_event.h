// The one usage event: a fresh installation starting for the first time,
// reported to the account server so that it can credit the referral. Fire and
// forget: nothing waits for it and nothing depends on its outcome.
#pragma once

#include <atomic>
#include <string>

namespace launcher {

// {"event": name, "ref": ref, "version": "1.0.0"} as compact text, keys sorted.
[[nodiscard]] std::string usageEventBody(const std::string& name, const std::string& ref);

// POSTs the event to accountServer + "/api/event" without a token and ignores
// the result (no retry, no log line). Blocks; never the UI thread. Does
// nothing when `accountServer` is empty.
void sendUsageEventNow(const std::string& accountServer, const std::string& name, const std::string& ref);

// sendUsageEventNow on a detached thread; returns at once. False when there
// was nothing to send (no account server). Any thread.
bool sendUsageEvent(const std::string& accountServer, const std::string& name, const std::string& ref);

// Events of this process whose thread sendUsageEvent started and which have
// not yet ended (sent or failed). Counted before sendUsageEvent returns, so a
// caller that sees 0 afterwards knows every event it caused has been answered:
// nobody joins the threads, but a test can wait for this. Any thread.
[[nodiscard]] int usageEventsInFlight();

// Lets an event go out once per process: the first claim() is true, every
// later one false, on any thread. The launcher keeps one for "install", so a
// page reload's second "ready" cannot credit a referral twice.
class OncePerProcess {
 public:
  [[nodiscard]] bool claim() { return !claimed_.exchange(true); }

 private:
  std::atomic<bool> claimed_{false};
};

}  // namespace launcher
