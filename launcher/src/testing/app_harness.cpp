#include "testing/app_harness.h"

#include <chrono>
#include <thread>

namespace launcher::testing {

namespace fs = std::filesystem;
using nlohmann::json;

void RecordingShell::sendToPage(const std::string& text) {
  messages.push_back(json::parse(text, nullptr, false));
  if (onMessage) onMessage(messages.back());
}

std::vector<json> RecordingShell::states() const {
  std::vector<json> out;
  for (const json& m : messages) {
    if (m.is_object() && m.value("type", "") == "state") out.push_back(m);
  }
  return out;
}

std::vector<std::string> RecordingShell::toasts() const {
  std::vector<std::string> out;
  for (const json& m : messages) {
    if (m.is_object() && m.value("type", "") == "toast") out.push_back(m.value("text", ""));
  }
  return out;
}

std::vector<json> RecordingShell::accountMessages() const {
  std::vector<json> out;
  for (const json& m : messages) {
    if (m.is_object() && m.value("type", "") == "account") out.push_back(m);
  }
  return out;
}

json RecordingShell::lastState() const {
  for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
    if (it->is_object() && it->value("type", "") == "state") return *it;
  }
  return nullptr;
}

InstallPaths portablePaths(const fs::path& folder) { return probeInstallPaths(folder); }

AppHarness::AppHarness(const fs::path& launcherFolder, const std::optional<std::string>& feed,
                       LaunchOptions options)
    : feed_("VANTOR_UPDATE_FEED", feed), ui_([] {}) {
  fs::create_directories(launcherFolder);
  if (options.executable.empty()) options.executable = launcherFolder / "vantor-launcher";
  app_ = std::make_unique<LauncherApp>(ui_);
  app_->load(options, probeInstallPaths(launcherFolder));
  app_->attachShell(&shell_);
  shell_.createWebView([this](const json& c) { app_->handleCommand(c); });
  app_->startWorker();
}

AppHarness::~AppHarness() { app_->shutdown(); }

bool AppHarness::pumpUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pump();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

json AppHarness::waitForState(const std::function<bool(const json&)>& match, int timeoutMs) {
  size_t seen = shell_.messages.size();  // only what arrives from now on
  json found;
  pumpUntil(
      [&] {
        for (; seen < shell_.messages.size(); ++seen) {
          const json& m = shell_.messages[seen];
          if (m.is_object() && m.value("type", "") == "state" && match(m)) {
            found = m;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

json AppHarness::accountReplyTo(const json& command, int timeoutMs) {
  const size_t before = shell_.accountMessages().size();
  app_->handleCommand(command);
  if (!pumpUntil([&] { return shell_.accountMessages().size() > before; }, timeoutMs)) return nullptr;
  return shell_.accountMessages().back();
}

std::string AppHarness::toastAfter(const json& command, int timeoutMs) {
  const size_t before = shell_.toasts().size();
  app_->handleCommand(command);
  if (!pumpUntil([&] { return shell_.toasts().size() > before; }, timeoutMs)) return {};
  return shell_.toasts().back();
}

json AppHarness::latestStateWhen(const std::function<bool(const json&)>& match, int timeoutMs) {
  json found;
  pumpUntil(
      [&] {
        const json s = shell_.lastState();
        if (!s.is_object() || !match(s)) return false;
        found = s;
        return true;
      },
      timeoutMs);
  return found;
}

bool AppHarness::waitForCheck(int timeoutMs) {
  return !waitForState(
              [](const json& s) { return s["feed"]["checked"] == true && s["feed"]["checking"] == false; },
              timeoutMs)
              .is_null();
}

bool AppHarness::waitForIdleQueue(int timeoutMs) {
  return !waitForState([](const json& s) { return s["queue"].empty() && s["task"].is_null(); }, timeoutMs)
              .is_null();
}

}  // namespace launcher::testing
