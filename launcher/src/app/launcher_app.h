// The application object: it owns every piece of state the page is shown,
// the job queue and its worker, the update check, the game watcher and the
// account thread. One exists per process. The game, saves, add-on and account
// operations are thin: their rules live in game/, addons/ and online/.
//
// Threads. The UI thread runs run(), every page command, the state document
// and every closure posted to it. The job worker runs job bodies. The check
// thread runs one update check at a time, the account thread one account
// request or sign-in check, the watcher thread waits for the started game.
// Members marked "mutex" are read and written under `mutex_` (the
// application mutex, also the job queue's); members marked "UI" are touched
// only on the UI thread. prefs_ and settings_ are written only on the UI
// thread and under the mutex, so other threads copy what they need of them
// under it.
#pragma once

#include "addons/addon_registry.h"
#include "addons/addon_scan_cache.h"
#include "base/ui_ports.h"
#include "base/ui_queue.h"
#include "data/game_settings.h"
#include "data/launcher_prefs.h"
#include "data/paths.h"
#include "game/game_watch.h"
#include "game/saves.h"
#include "online/account.h"
#include "online/usage_event.h"
#include "tasks/job_queue.h"
#include "update/feed.h"
#include "update/manifest.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace launcher {

class UiLoop;

using json = nlohmann::json;

// What the entry point learned before the application exists.
struct LaunchOptions {
  bool launchedAfterUpdate = false;  // "--updated" on the command line
  bool firstRun = false;             // "--first-run" on the command line
  // The executable's path, read once at start-up: the self-update renames the
  // running image, after which the system names it by its ".old" path.
  std::filesystem::path executable;
  // Arguments the restart after a self-update passes on ("--ui", "--port").
  std::vector<std::string> restartArguments;
};

// The game status from its inputs, first rule that holds: "busy", "running",
// "dev", "update", "ready", "not_installed", "unavailable".
struct GameStatusInputs {
  bool busy = false;            // a "game" or "repair" job is queued or running
  bool running = false;         // the game-running flag or the game's lock
  bool exeExists = false;       // the game's executable exists
  bool devBuild = false;
  bool usableFeed = false;      // the feed is ok and names a game version
  bool updateAvailable = false;
};
[[nodiscard]] const char* gameStatus(const GameStatusInputs& in);

class LauncherApp {
 public:
  explicit LauncherApp(UiQueue& ui);
  // Shuts down first if run() or startWorker() left threads running.
  ~LauncherApp();
  LauncherApp(const LauncherApp&) = delete;
  LauncherApp& operator=(const LauncherApp&) = delete;

  // UI thread, once: loads what the launcher knows, creates the window,
  // starts the worker, starts the web view, runs `loop` until the window is
  // gone (or SIGTERM/SIGINT close it), then shuts down. `releaseInstance`
  // runs right after the worker has been joined, before the slower threads,
  // so that a restarted launcher never finds this one holding the lock.
  // Returns 1 when the window cannot be created, else 0.
  int run(Shell& shell, UiLoop& loop, const LaunchOptions& options, std::function<void()> releaseInstance);

  // The steps of run(), for tests that drive the application without a loop.
  // load: the flags, paths, preferences, settings, installed manifest, saves,
  // and the start-up log line.
  void load(const LaunchOptions& options, const InstallPaths& paths);
  void attachShell(Shell* shell) { shell_ = shell; }
  void startWorker();
  // The shutdown order: ask the worker and the game watcher to stop, join the
  // worker, releaseInstance, join the check, account and watcher threads.
  // Waiting jobs are discarded; a running game is left running.
  void shutdown();

  // Page commands (UI thread): one JSON object each; never answers directly.
  void handleCommand(const json& command);

  // UI thread. One consistent snapshot of everything the page shows.
  [[nodiscard]] json buildState();

  // The marshalling operations. markStateDirty, postToUi and toast: any
  // thread, no lock needed. postToPage: UI thread.
  void markStateDirty();
  bool postToUi(std::function<void()> closure);
  void toast(const std::string& text);
  void postToPage(const json& message);

  // The update check (UI thread): starts one unless one runs.
  void checkForUpdates(bool applyAutoUpdates);

  // Job requests (UI thread).
  void queueGameUpdate(bool repair, bool playAfter);
  void updateSelf();

  // Maintenance (UI thread).
  void clearCache();
  void openFolder(const std::string& which);
  void uninstall();

  // The game (UI thread): PLAY's checks, the start, the window's on-play
  // choice and the watcher; onGameExited runs once the watched game ended.
  void playGame();
  void onGameExited(uint32_t exitCode);
  // Saves (UI thread): queue the backup or the checked restore job.
  void backupSaves();
  void restoreBackup(const std::string& name);
  // Any thread, no lock held: recounts the saves and backups for the state.
  // Of scans that overlap, the one begun last is kept. It walks every backup:
  // once the window shows, never on the UI thread.
  void scanSaves();
  // Add-ons (UI thread).
  void queueAddon(const std::string& id);
  void removeAddon(const std::string& id);
  void setAddonEnabled(const std::string& id, bool enabled);
  // The account (UI thread). `mode` is "signin", "create" or "signout".
  void accountRequest(const std::string& mode, const std::string& username, const std::string& password);
  void checkAccount();
  void loadAccount();
  // Fire and forget (UI thread; returns at once).
  void sendEvent(const std::string& kind);
  // Any thread, no lock held: the installed add-ons, for the state and the
  // check; what did not change since the last call comes from a cache.
  [[nodiscard]] std::vector<AddonInfo> listInstalledAddons();
  // Shutdown: ends the game watcher's wait (the game itself is left alone).
  void stopGameWatch();

  // The job queue (tests and job bodies).
  [[nodiscard]] JobQueue& jobs() { return jobs_; }

 private:
  friend struct LauncherAppProbe;  // tests and benchmarks look inside

  class QueueHost : public JobQueueHost {
   public:
    explicit QueueHost(LauncherApp& app) : app_(app) {}
    void markStateDirty() override { app_.markStateDirty(); }
    void postToUi(std::function<void()> closure) override { (void)app_.postToUi(std::move(closure)); }
    void toast(const std::string& text) override { app_.toast(text); }

   private:
    LauncherApp& app_;
  };

  // What the state document needs of the file system, read before the lock
  // so that no worker waits on a disk for the page.
  struct StateInputs {
    bool exeExists = false;
    bool gameLockHeld = false;
    std::string feedBase;
    std::string dataPath;
    std::string savesPath;
    std::filesystem::path addonsFolder;
    std::vector<AddonInfo> installedAddons;
  };
  [[nodiscard]] StateInputs readStateInputs();
  // Takes the mutex for the whole build: one consistent snapshot.
  [[nodiscard]] json buildStateFrom(const StateInputs& in);

  void pushState();
  void runCheck(const std::string& channel, bool applyAutoUpdates);
  void onReady();
  void setPrefs(const json& value);
  void jobControl(const std::string& name, const json& command);
  [[nodiscard]] bool gameRunningNow();  // the flag or the lock; takes the mutex
  // After this command or closure returns, the window closes and the
  // launcher shuts down, as its close button would make it.
  void closeWindowLater();
  void watchGame(GameProcess process);
  [[nodiscard]] SavesFolders savesFolders() const;
  // The feed base when it is http(s), worked out anew on every use.
  [[nodiscard]] std::string accountServer() const;
  void applyAccountOutcome(const AccountOutcome& outcome);
  // Starts `request` on the account thread, which must be free.
  void startAccountRequest(AccountRequest request);
  // The account thread's last closure ran: join it, then start a request that
  // waited for it.
  void accountThreadDone();

  // The road to the UI thread and the page.
  UiQueue& ui_;
  Shell* shell_ = nullptr;  // UI
  std::function<void()> releaseInstance_;

  // Start flags and locations (UI; constant after load()).
  bool launchedAfterUpdate_ = false;
  bool firstRun_ = false;
  bool nativeDrag_ = false;  // no drag regions in this web view: the page sends "drag"
  std::filesystem::path executable_;
  std::vector<std::string> restartArguments_;
  InstallPaths paths_;

  std::mutex mutex_;  // the application mutex

  LauncherPrefs prefs_;    // UI writes, under the mutex
  GameSettings settings_;  // UI writes, under the mutex

  // The update check (mutex).
  Feed feed_;
  GameManifest latestManifest_;
  uint64_t downloadSize_ = 0;
  std::vector<CatalogEntry> catalog_;
  json serverStatus_ = json::object();
  bool checking_ = false;
  bool checked_ = false;
  std::thread checkThread_;  // UI
  std::atomic<bool> checkStop_{false};  // set at shutdown: the check's long fetches end

  // What the add-on scan read, kept between state documents (its own lock).
  AddonScanCache addonScanCache_;

  // The installed game (mutex).
  GameManifest installedManifest_;
  bool installedManifestValid_ = false;

  QueueHost queueHost_{*this};
  JobQueue jobs_{mutex_, queueHost_};
  std::thread workerThread_;

  // The game and saves (mutex). The watcher owns the watcher thread and the
  // stop event; UI.
  bool gameRunning_ = false;
  GameWatcher gameWatcher_;
  json savesSummary_ = json::object();
  uint64_t savesScansStarted_ = 0;  // scans begun, numbered from 1
  uint64_t savesScanShown_ = 0;     // the number of the scan savesSummary_ holds

  std::atomic<bool> stateDirty_{false};

  // The account (UI): the sign-in, where it is kept, and the one thread its
  // requests and the sign-in check share.
  AccountRecord account_;
  AccountStore accountStore_;
  std::thread accountThread_;
  // The account thread is out (its closing closure has not run yet). The UI
  // thread never joins it then: a slow server would freeze the window.
  bool accountThreadBusy_ = false;
  // A request made while a sign-in check was out; it starts when the check ends.
  std::optional<AccountRequest> waitingAccountRequest_;
  // The "install" usage event goes out once per process, however often the
  // page says "ready".
  OncePerProcess installEvent_;

  bool shutDown_ = false;  // UI
};

}  // namespace launcher
