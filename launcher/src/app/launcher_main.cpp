#include "app/launcher_main.h"

#include "app/launcher_app.h"
#include "app/sync_command.h"
#include "base/log.h"
#include "base/ui_queue.h"
#include "data/paths.h"
#include "platform/instance.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/ui_loop.h"
#include "update/location.h"
#include "update/self_update.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace launcher {

namespace fs = std::filesystem;

namespace {

// How long a launcher started with "--updated" or "--first-run" waits for
// the running one to let go.
constexpr int handOverWaitMs = 5000;

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

}  // namespace

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

  // A command-line sync leaves the log and the lock alone: a running launcher owns them.
  if (isSyncCommand(argc, argv)) return runSyncCommand(argc, argv);
  ignoreBrokenPipeSignal();

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const StartFlags flags = parseStartFlags(args);

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
    (void)requestActivation();
    return 0;
  }
  if (lock == LockResult::Failed) {
    // Without the lock two launchers could write one game folder at once.
    std::fprintf(stderr, "vantor-launcher: %s\n", error.c_str());
    return 1;
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
