#include "app/sync_command.h"

#include "app/sync_progress.h"
#include "platform/platform.h"
#include "update/folder_sync.h"
#include "update/location.h"
#include "update/manifest.h"
#include "update/rate_limit.h"

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr int exitDone = 0;
constexpr int exitFailed = 1;
constexpr int exitUsage = 2;
constexpr int exitCancelled = 130;

// Set from the signal handler, so it must be lock-free.
std::atomic<bool> cancelRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onStopSignal(int) {
  // A second signal means "now": the staging area is safe to abandon at any
  // moment, so there is nothing to wait for.
  if (cancelRequested.exchange(true)) std::_Exit(exitCancelled);
}

constexpr const char* usageText =
    "Usage: vantor-launcher --sync FOLDER MANIFEST-LOCATION [--verify]\n"
    "\n"
    "Brings FOLDER to exactly the content of the manifest at MANIFEST-LOCATION\n"
    "(an http(s) URL, a file: URL or a path), fetching only what it cannot find\n"
    "locally. Files the manifest does not list are left alone.\n"
    "\n"
    "  --verify   check every file by its SHA-256 (repair) instead of trusting\n"
    "             FOLDER/manifest.json for files of the right size\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 bad usage, 130 cancelled (SIGINT or\n"
    "SIGTERM; run the same command again to resume).\n";

// A plain relative path is made absolute: the location is recorded in the
// folder's manifest.json and must mean the same from anywhere.
std::string absoluteLocation(const std::string& location) {
  if (isHttpUrl(location) || location.rfind("file:", 0) == 0) return location;
  std::error_code ec;
  fs::path path = fs::absolute(toWide(location), ec);
  return ec ? location : toUtf8(path.lexically_normal());
}

int cancelled() {
  std::fprintf(stderr, "Cancelled\n");
  return exitCancelled;
}

}  // namespace

bool isSyncCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--sync") return true;
  }
  return false;
}

bool parseSyncArguments(const std::vector<std::string>& args, SyncArguments& out) {
  out = SyncArguments{};
  bool sync = false;
  std::vector<std::string> positional;
  for (const std::string& a : args) {
    if (a == "--sync" && !sync) {
      sync = true;
    } else if (a == "--verify" && !out.verify) {
      out.verify = true;
    } else if (a.rfind("--", 0) == 0 || a.empty()) {
      return false;
    } else {
      positional.push_back(a);
    }
  }
  if (!sync || positional.size() != 2) return false;
  out.folder = positional[0];
  out.location = positional[1];
  return true;
}

int runSyncCommand(int argc, char** argv) {
  SyncArguments args;
  if (!parseSyncArguments(std::vector<std::string>(argv + 1, argv + argc), args)) {
    std::fputs(usageText, stderr);
    return exitUsage;
  }
  return runParsedSync(args);
}

int runParsedSync(const SyncArguments& args) {
  if (args.limitRate) downloadRateLimiter().setRate(*args.limitRate);
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
  // The game's lock lives in the runtime folder; one another user controls
  // could make a running game look stopped.
  {
    fs::path runtime;
    std::string why;
    if (!runtimeFolder(runtime, why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return exitFailed;
    }
  }
  const auto start = std::chrono::steady_clock::now();

  std::error_code ec;
  const fs::path folder = fs::absolute(toWide(args.folder), ec).lexically_normal();
  GameManifest manifest;
  std::string error;
  if (!loadManifest(absoluteLocation(args.location), manifest, error,
                    [] { return cancelRequested.load(); })) {
    if (cancelRequested.load()) return cancelled();
    std::fprintf(stderr, "%s\n", error.c_str());
    return exitFailed;
  }
  if (cancelRequested.load()) return cancelled();

  SyncProgressPrinter printer(stdout, isTerminal(StandardStream::Output));
  SyncReport report;
  const bool ok = syncFolder(
      folder, manifest, args.verify, cancelRequested, [&](const Progress& p) { printer.update(p); }, error,
      report);
  printer.finish();
  if (!ok) {
    if (error == "Cancelled" || cancelRequested.load()) return cancelled();
    std::fprintf(stderr, "%s\n", error.c_str());
    return error == folderBusyText ? args.busyStatus : exitFailed;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string summary = fmt::format(
      "Synced {} to {} (build {}): {} of {} files changed, {} removed, {:.1f} MB downloaded in {:.1f} s\n",
      toUtf8(folder), manifest.version, manifest.build, report.filesChanged, manifest.files.size(),
      report.filesRemoved, report.bytesDownloaded / 1e6, seconds);
  std::fputs(summary.c_str(), stdout);
  std::fflush(stdout);
  return exitDone;
}

}  // namespace launcher
