#include "base/thread_start.h"

#include <mutex>
#include <system_error>

namespace launcher {

namespace {
std::mutex injectionMutex;
int startsToPass = 0;
int startsToFail = 0;

// True when this start is one a test asked to fail.
bool injectedFailure() {
  std::lock_guard lock(injectionMutex);
  if (startsToFail == 0) return false;
  if (startsToPass > 0) {
    --startsToPass;
    return false;
  }
  --startsToFail;
  return true;
}
}  // namespace

bool startThread(std::thread& thread, std::function<void()> body, std::string& error) {
  try {
    if (injectedFailure()) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    thread = std::thread(std::move(body));
    return true;
  } catch (const std::system_error& e) {
    error = "The system refused to start a thread (" + e.code().message() + ")";
  } catch (...) {
    error = "The system refused to start a thread";
  }
  return false;
}

void failThreadStartsForTesting(int skip, int count) {
  std::lock_guard lock(injectionMutex);
  startsToPass = skip;
  startsToFail = count;
}

}  // namespace launcher
