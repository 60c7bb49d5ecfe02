#include "app/launcher_main.h"

#include "app/launcher_app.h"
#include "app/player_copy.h"
#include "app/sync_command.h"
#include "base/log.h"
#include "base/ui_queue.h"
#include "base/version.h"
#include "data/instance_owner.h"
#include "data/paths.h"
#include "platform/instance.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/ui_loop.h"
#include "update/location.h"
#include "update/self_update.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace launcher {

namespace fs = std::filesystem;

namespace {

// How long a launcher started with "--updated" or "--first-run" waits for
// the running one to let go.
constexpr int handOverWaitMs = 5000;
// The exit status of a start refused because vantorctl holds the lock.
constexpr int exitBusy = 3;
// Allocator pools for all the process's threads: a sync runs up to eight
// threads at once (download workers, their hashers) whose extra pools stayed
// resident; one pool measured no slower, its buffers being reused.
constexpr int memoryPools = 1;

// The previous executable, moved aside by a self-update: deleted at start,
// trying a few times while the old process may still be ending.
void removeUpdateLeftover(const fs::path& executable) {
  if (executable.empty()) return;
  const fs::path old = siblingPath(executable, ".old");
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::error_code ec;
    const bool exists = fs::exists(fs::symlink_status(old, ec));
    if (ec || !exists) return;
    if (fs::remove(old, ec)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
}

constexpr const char* helpText =
    "Usage: vantor-launcher [--ui=gtk|browser|auto] [--port N]\n"
    "       vantor-launcher --sync FOLDER MANIFEST-LOCATION [--verify]\n"
    "       vantor-launcher --help | --version\n"
    "\n"
    "Installs, updates, verifies and starts Astrane: Vantor. With a display it\n"
    "opens its window; without one, or with --ui=browser, it serves its page on\n"
    "127.0.0.1 (on port N) and prints the address to open.\n"
    "\n"
    "  --ui=MODE   gtk (the window), browser (the page in a browser) or auto\n"
    "  --port N    browser mode's port (default: any free one)\n"
    "  --sync      brings FOLDER to the manifest's content, without a window;\n"
    "              vantorctl sync does the same\n"
    "\n"
    "Exit status: 0 ended normally, 1 could not start, 3 vantorctl is writing\n"
    "the game. From a terminal: vantorctl --help. More: man vantor-launcher.\n";

// A packaged launcher cannot update itself where it is: it runs the player's
// own copy instead (made on the first start). Nothing when this is not a
// packaged launcher, or is the copy itself; else the exit status.
std::optional<int> handOverToPlayerCopy(const std::vector<std::string>& args, const StartFlags& flags) {
  const fs::path executable = executablePath();
  fs::path share;
  if (!findPackageShare(executable.parent_path(), share)) return std::nullopt;
  std::error_code ec;
  if (fs::equivalent(executable.parent_path(), playerCopyFolder(), ec)) return std::nullopt;
  std::string error;
  const CopyState state = preparePlayerCopy(executable, share, error);
  if (state == CopyState::Failed) {
    std::fprintf(stderr, "vantor-launcher: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::string> argv{toUtf8(playerCopyExecutable())};
  argv.insert(argv.end(), args.begin(), args.end());
  // As an installer would: the copy's first start is a first run.
  if (state == CopyState::Created && !flags.firstRun) argv.push_back("--first-run");
  if (!replaceProcess(argv, error)) {
    std::fprintf(stderr, "vantor-launcher: %s\n", error.c_str());
    return 1;
  }
  return 0;  // not reached: the copy runs in this process now
}

}  // namespace

InfoRequest parseInfoRequest(const std::vector<std::string>& args) {
  InfoRequest request = InfoRequest::None;
  for (const std::string& a : args) {
    if (a == "--sync") return InfoRequest::None;
    if (a == "--help" || a == "-h") request = InfoRequest::Help;
    else if (a == "--version" && request == InfoRequest::None) request = InfoRequest::Version;
  }
  return request;
}

std::string infoText(InfoRequest request) {
  switch (request) {
    case InfoRequest::None: return {};
    case InfoRequest::Help: return helpText;
    case InfoRequest::Version: return std::string("vantor-launcher ") + launcherVersion + "\n";
  }
  return {};
}

StartFlags parseStartFlags(const std::vector<std::string>& args) {
  std::string joined;
  for (const std::string& a : args) {
    if (!joined.empty()) joined += ' ';
    joined += a;
  }
  StartFlags flags;
  flags.updated = joined.find("--updated") != std::string::npos;
  flags.firstRun = joined.find("--first-run") != std::string::npos;
  return flags;
}

std::vector<std::string> restartArguments(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--ui" || a == "--port") {
      out.push_back(a);
      if (i + 1 < args.size()) out.push_back(args[++i]);
    } else if (a.rfind("--ui=", 0) == 0 || a.rfind("--port=", 0) == 0) {
      out.push_back(a);
    }
  }
  return out;
}

bool usableExecutablePath(const fs::path& executable, std::string& error) {
  if (executable.empty()) {
    error = "Can't find the launcher's own file (the system did not say where it runs from)";
    return false;
  }
  if (!executable.is_absolute() || !executable.has_parent_path()) {
    error = "Can't use the launcher's own path " + toUtf8(executable) + ": it is not a full path";
    return false;
  }
  return true;
}

int launcherMain(int argc, char** argv, const ShellFactory& makeShell) {
  // UTF-8 on every system (Windows hands main its ANSI code page's text).
  std::vector<std::string> utf8 = commandLineArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& a : utf8) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  argc = static_cast<int>(utf8.size());
  argv = pointers.data();
  limitMemoryPools(memoryPools);

  // A command-line sync leaves the log and the lock alone: a running launcher owns them.
  if (isSyncCommand(argc, argv)) return runSyncCommand(argc, argv);
  ignoreBrokenPipeSignal();

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (const InfoRequest info = parseInfoRequest(args); info != InfoRequest::None) {
    const std::string text = infoText(info);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const StartFlags flags = parseStartFlags(args);
  if (std::optional<int> code = handOverToPlayerCopy(args, flags)) return *code;

  std::string error;
  // Another local user could read or plant the files of a data folder that
  // is not ours alone.
  std::string dataError;
  const bool dataFolderUsable = checkDataFolder(dataError);
  {
    // Another local user could hold the locks of a folder that is not ours alone.
    std::filesystem::path runtime;
    if (!runtimeFolder(runtime, error)) {
      // Without the lock the log may be a running launcher's: add to it only.
      if (dataFolderUsable) appendToLog(logsFolder());
      logf("error", "No safe runtime folder: {}", error);
      std::fprintf(stderr, "vantor-launcher: %s\n", error.c_str());
      return 1;
    }
  }
  if (!dataFolderUsable) {
    logf("error", "No safe data folder: {}", dataError);
    return 1;
  }
  // Every folder of the launcher lies beside its executable: without its path
  // they would all be relative to wherever the launcher was started from.
  const fs::path executable = executablePath();
  if (!usableExecutablePath(executable, error)) {
    logf("error", "{}", error);
    return 1;
  }

  InstanceLock instance;
  LockResult lock = instance.tryAcquire(error);
  if (lock == LockResult::HeldElsewhere && (flags.updated || flags.firstRun)) {
    lock = instance.acquireWaiting(handOverWaitMs, error);
  }
  if (lock == LockResult::HeldElsewhere) {
    // Another launcher runs: bring it to the front and leave no trace.
    if (requestActivation()) return 0;
    // vantorctl has no window to show, and is writing what this one would.
    InstanceOwner owner;
    if (readInstanceOwner(owner) && owner.program == "vantorctl" && isInstanceLockHeld()) {
      std::fprintf(stderr, "vantor-launcher: %s\n", instanceBusyText().c_str());
      return exitBusy;
    }
    return 0;
  }
  if (lock == LockResult::Failed) {
    // Without the lock two launchers could write one game folder at once.
    std::fprintf(stderr, "vantor-launcher: %s\n", error.c_str());
    return 1;
  }

  // Tells a refused vantorctl who holds the lock.
  (void)recordInstanceOwner("vantor-launcher", "window");
  {
    // The player's copy says which version it is, for the next package upgrade.
    std::error_code ec;
    const fs::path folder = executablePath().parent_path();
    if (fs::equivalent(folder, playerCopyFolder(), ec)) recordCopyVersion(folder);
  }
  startLog(logsFolder());
  LaunchOptions options;
  options.launchedAfterUpdate = flags.updated;
  options.firstRun = flags.firstRun;
  options.executable = executable;
  options.restartArguments = restartArguments(args);
  removeUpdateLeftover(options.executable);

  UiLoop loop;
  UiQueue ui([&loop, &ui] { loop.invoke([&ui] { ui.runPending(); }); });
  std::unique_ptr<Shell> shell = makeShell(args, loop, ui);
  if (!shell) {
    logf("error", "No window or page could be set up");
    return 1;
  }
  ActivationListener activation;
  if (!activation.start(
          [&shell] {
            logf("info", "Another start asked for the window");
            shell->activate();
          },
          error)) {
    logf("warn", "A second start cannot reach this launcher: {}", error);
  }

  int code;
  {
    LauncherApp app(ui);
    code = app.run(*shell, loop, options, [&] {
      // The socket goes first: once the lock is free a new launcher may bind its own.
      activation.stop();
      instance.release();
    });
  }
  activation.stop();
  instance.release();
  if (code == 0 && shell->failed()) code = 1;
  return code;
}

}  // namespace launcher
