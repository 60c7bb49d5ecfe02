// The application as the launcher runs it, without a window or a loop: a real
// UiQueue that the test pumps, and a shell that records what the page was
// sent. Each harness has its own HOME and runtime folder.
#pragma once

#include "app/launcher_app.h"
#include "base/ui_queue.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace launcher {

// Looks inside the application (tests and benchmarks only).
struct LauncherAppProbe {
  static std::mutex& mutex(LauncherApp& app) { return app.mutex_; }
  static void setGameRunning(LauncherApp& app, bool running) {
    std::lock_guard lock(app.mutex_);
    app.gameRunning_ = running;
  }
  static void setSavesSummary(LauncherApp& app, nlohmann::json summary) {
    std::lock_guard lock(app.mutex_);
    app.savesSummary_ = std::move(summary);
  }
  static void setCatalog(LauncherApp& app, std::vector<CatalogEntry> catalog) {
    std::lock_guard lock(app.mutex_);
    app.catalog_ = std::move(catalog);
  }
  static void setServerStatus(LauncherApp& app, nlohmann::json status) {
    std::lock_guard lock(app.mutex_);
    app.serverStatus_ = std::move(status);
  }
  static void setFeed(LauncherApp& app, Feed feed) {
    std::lock_guard lock(app.mutex_);
    app.feed_ = std::move(feed);
  }
  // The sign-in in memory only (UI thread), as loadAccount would set it.
  static void setAccount(LauncherApp& app, std::string username, std::string server, std::string token) {
    app.account_.username = std::move(username);
    app.account_.server = std::move(server);
    app.account_.token = std::move(token);
  }
  static const AccountRecord& account(LauncherApp& app) { return app.account_; }
  // The state document with these installed add-ons in place of the
  // registry's scan.
  static nlohmann::json buildStateWithAddons(LauncherApp& app, std::vector<AddonInfo> addons) {
    LauncherApp::StateInputs in = app.readStateInputs();
    in.installedAddons = std::move(addons);
    return app.buildStateFrom(in);
  }
  static bool checkThreadJoinable(LauncherApp& app) { return app.checkThread_.joinable(); }
  static AddonScanCache::Counts addonScanCounts(LauncherApp& app) { return app.addonScanCache_.counts(); }
  static bool watcherJoinable(LauncherApp& app) { return app.gameWatcher_.joinable(); }
  static bool gameRunningFlag(LauncherApp& app) {
    std::lock_guard lock(app.mutex_);
    return app.gameRunning_;
  }
};

namespace testing {

// A shell that keeps every message sent to the page, parsed, and counts the
// window calls. UI thread only, like a real one.
class RecordingShell : public Shell {
 public:
  bool createWindow(std::string&) override { return true; }
  void createWebView(CommandHandler onCommand) override { onCommand_ = std::move(onCommand); }
  void sendToPage(const std::string& json) override;
  void minimize() override { ++minimizes; }
  void close() override { ++closes; }
  void beginDrag() override { ++drags; }
  void activate() override { ++activations; }
  void restore() override { ++restores; }

  // Called on the UI thread inside sendToPage, after the message is kept.
  std::function<void(const nlohmann::json&)> onMessage;

  std::vector<nlohmann::json> messages;
  int minimizes = 0;
  int closes = 0;
  int drags = 0;
  int activations = 0;
  int restores = 0;

  [[nodiscard]] std::vector<nlohmann::json> states() const;
  [[nodiscard]] std::vector<std::string> toasts() const;
  [[nodiscard]] std::vector<nlohmann::json> accountMessages() const;
  [[nodiscard]] nlohmann::json lastState() const;  // null before the first

 private:
  CommandHandler onCommand_;
};

// Install paths of a portable copy whose launcher folder is `folder`.
[[nodiscard]] InstallPaths portablePaths(const std::filesystem::path& folder);

class AppHarness {
 public:
  // Loads the application for `launcherFolder` (a portable copy unless the
  // folder says otherwise) with VANTOR_UPDATE_FEED set to `feed` ("/" means
  // no update server, so nothing ever leaves the machine; nullopt unsets it,
  // for a launcher folder whose update.json names a feed) and starts its
  // worker.
  explicit AppHarness(const std::filesystem::path& launcherFolder,
                      const std::optional<std::string>& feed = std::string("/"), LaunchOptions options = {});
  ~AppHarness();
  AppHarness(const AppHarness&) = delete;
  AppHarness& operator=(const AppHarness&) = delete;

  [[nodiscard]] LauncherApp& app() { return *app_; }
  [[nodiscard]] RecordingShell& shell() { return shell_; }
  [[nodiscard]] UiQueue& ui() { return ui_; }
  [[nodiscard]] const std::filesystem::path& home() const { return home_.path(); }

  void command(const nlohmann::json& command) { app_->handleCommand(command); }
  // Runs what the UI thread has been posted, once.
  void pump() { ui_.runPending(); }
  // Pumps until `done` holds (true) or `timeoutMs` passes (false).
  bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 30000);
  // Pumps until a state document sent from now on satisfies `match`; returns
  // it, or null after `timeoutMs`.
  nlohmann::json waitForState(const std::function<bool(const nlohmann::json&)>& match, int timeoutMs = 30000);
  // Sends `command` and pumps until the page has one more account message;
  // returns it, or null after `timeoutMs`.
  nlohmann::json accountReplyTo(const nlohmann::json& command, int timeoutMs = 30000);
  // Sends `command` and pumps until one more toast; its text, or "" after `timeoutMs`.
  std::string toastAfter(const nlohmann::json& command, int timeoutMs = 30000);
  // Pumps until the latest state document sent (perhaps already) satisfies
  // `match`; returns it, or null after `timeoutMs`.
  nlohmann::json latestStateWhen(const std::function<bool(const nlohmann::json&)>& match, int timeoutMs = 30000);
  // Pumps until the update check has finished and its results are shown.
  bool waitForCheck(int timeoutMs = 30000);
  // Pumps until no job is queued or running and the page was told so.
  bool waitForIdleQueue(int timeoutMs = 60000);

 private:
  ScopedHome home_;  // first: the application reads these until it is gone
  ScopedEnv feed_;
  UiQueue ui_;
  RecordingShell shell_;
  std::unique_ptr<LauncherApp> app_;
};

}  // namespace testing
}  // namespace launcher
