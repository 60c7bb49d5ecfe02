// `vantor-launcher --sync FOLDER MANIFEST-LOCATION [--verify]`: brings a folder
// to a manifest's content from the command line, without a window, with the
// same folder sync the launcher's jobs use. Progress goes to standard output
// (redrawn in place on a terminal), log lines and errors to standard error;
// the launcher's own log file is left alone. SIGINT or SIGTERM cancels,
// keeping the staging area so that the next run resumes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace launcher {

// True when the command line asks for a sync ("--sync" among the arguments).
[[nodiscard]] bool isSyncCommand(int argc, char** argv);

// Runs the sync command on the calling thread. The process exit code: 0 done,
// 1 failed (the reason on standard error), 2 bad usage, 130 cancelled.
[[nodiscard]] int runSyncCommand(int argc, char** argv);

struct SyncArguments {
  std::string folder;
  std::string location;
  bool verify = false;
  // What vantorctl sync adds: a speed limit in bytes a second (0: none;
  // unset: the process's limiter as it is), and the status for a folder
  // another sync holds (--sync says 1, as ever).
  std::optional<uint64_t> limitRate;
  int busyStatus = 1;
};

// Parses the arguments after the program name. False on bad usage.
[[nodiscard]] bool parseSyncArguments(const std::vector<std::string>& args, SyncArguments& out);

// The sync itself, once the arguments are parsed, with the same output and
// exit statuses; SIGINT and SIGTERM cancel it from here on.
[[nodiscard]] int runParsedSync(const SyncArguments& args);

}  // namespace launcher
