// Starting and stopping a server program a test runs (nginx, gunicorn): one
// place for the fork, the process group and the clean-up, so that no server
// outlives its test however the test ends.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher::testing {

struct ServerLaunch {
  std::vector<std::string> argv;  // argv[0]: the program's full path
  std::vector<std::string> env;   // "NAME=value" each; empty: this process's environment
  std::filesystem::path folder;   // its working folder; empty: ours
  std::filesystem::path output;   // standard output and error go here
  bool appendOutput = false;      // else the file is truncated first
};

// Forks and executes the program as the leader of a process group of its own
// (so the workers it forks end with it), with SIGTERM sent to it when the
// test process dies without running its destructors, standard input from
// /dev/null, default signal handlers and an empty signal mask. The signal
// follows the forking thread: the thread that starts a server must outlive
// it. Returns the pid, or -1 with `error`.
[[nodiscard]] int startServerProcess(const ServerLaunch& launch, std::string& error);

// SIGTERM to `pid`, up to `grace` for it to end, then SIGKILL to whatever of
// its group is left; reaps it.
void stopServerProcess(int pid, std::chrono::milliseconds grace);

}  // namespace launcher::testing
