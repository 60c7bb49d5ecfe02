#include "app/launcher_app.h"

#include "base/log.h"
#include "base/version.h"
#include "platform/platform.h"
#include "platform/ui_loop.h"
#include "update/location.h"

#include <system_error>

namespace launcher {

LauncherApp::LauncherApp(UiQueue& ui) : ui_(ui) {}

LauncherApp::~LauncherApp() { shutdown(); }

void LauncherApp::load(const LaunchOptions& options, const InstallPaths& paths) {
  launchedAfterUpdate_ = options.launchedAfterUpdate;
  firstRun_ = options.firstRun;
  executable_ = options.executable;
  restartArguments_ = options.restartArguments;
  paths_ = paths;
  accountStore_ = defaultAccountStore();
  loadAccount();
  LauncherPrefs prefs = loadLauncherPrefs();
  GameSettings settings = loadGameSettings(settingsPath());
  GameManifest installed;
  const bool installedValid = readInstalledManifest(paths_.gameFolder, installed);
  {
    std::lock_guard lock(mutex_);
    prefs_ = std::move(prefs);
    settings_ = std::move(settings);
    installedManifest_ = std::move(installed);
    installedManifestValid_ = installedValid;
  }
  scanSaves();
  logf("info", "Launcher {} | game folder {} | dev build {} | feed {}", launcherVersion,
       toUtf8(paths_.gameFolder), paths_.devBuild ? "true" : "false", feedBaseUrl(paths_.launcherFolder));
}

void LauncherApp::startWorker() {
  if (workerThread_.joinable()) return;
  workerThread_ = std::thread([this] { jobs_.runWorker(); });
}

int LauncherApp::run(Shell& shell, UiLoop& loop, const LaunchOptions& options,
                     std::function<void()> releaseInstance) {
  releaseInstance_ = std::move(releaseInstance);
  load(options, probeInstallPaths(options.executable.parent_path()));
  std::string error;
  if (!shell.createWindow(error)) {
    logf("error", "The window could not be created: {}", error);
    return 1;
  }
  shell_ = &shell;
  try {
    startWorker();
  } catch (const std::system_error& e) {
    logf("error", "The job worker could not be started: {}", e.what());
    shell_ = nullptr;
    return 1;
  }
  shell.createWebView([this](const json& command) { handleCommand(command); });
  // A logout or a service manager ends the launcher the way its window does.
  loop.onTerminateSignal([this] {
    logf("info", "Asked to stop by a signal");
    if (shell_) shell_->close();
  });
  loop.run();
  shutdown();
  return 0;
}

void LauncherApp::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  // The window is gone: closures posted from now on are dropped unrun, and
  // nothing reaches the page.
  ui_.shutdown();
  shell_ = nullptr;
  // Every thread is told at once; then they are joined one by one.
  jobs_.stop();
  checkStop_.store(true);
  stopGameWatch();
  if (workerThread_.joinable()) workerThread_.join();
  // Nothing writes installed files any more: a new launcher may start now,
  // even while a check or an account request still waits on a server.
  if (releaseInstance_) {
    releaseInstance_();
    releaseInstance_ = nullptr;
  }
  if (checkThread_.joinable()) checkThread_.join();
  if (accountThread_.joinable()) accountThread_.join();
  // Last: its wait ended with the stop event; the game runs on.
  gameWatcher_.join();
}

void LauncherApp::closeWindowLater() {
  (void)postToUi([this] {
    if (shell_) shell_->close();
  });
}

bool LauncherApp::gameRunningNow() {
  {
    std::lock_guard lock(mutex_);
    if (gameRunning_) return true;
  }
  return isGameRunning();
}

// Marshalling.

void LauncherApp::markStateDirty() {
  if (stateDirty_.exchange(true)) return;  // a push is pending: it will show this change too
  // A failed post (shutdown) leaves the flag set: nothing is shown any more.
  (void)ui_.post([this] { pushState(); });
}

void LauncherApp::pushState() {
  // Cleared before building, so a change made meanwhile asks for another push.
  stateDirty_.store(false);
  postToPage(buildState());
}

bool LauncherApp::postToUi(std::function<void()> closure) { return ui_.post(std::move(closure)); }

void LauncherApp::toast(const std::string& text) {
  (void)postToUi([this, text] { postToPage(json{{"type", "toast"}, {"text", text}}); });
}

void LauncherApp::postToPage(const json& message) {
  if (!shell_) return;
  // A path that is not valid UTF-8 must not abort the launcher.
  shell_->sendToPage(message.dump(-1, ' ', false, json::error_handler_t::replace));
}

}  // namespace launcher
