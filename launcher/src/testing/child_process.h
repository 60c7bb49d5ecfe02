// A real child process for integration tests: the launcher's --sync, the
// stand-in game, the release tools. Standard output and error go to files the
// test reads afterwards; standard input is /dev/null. The object owns the
// process: one still running at destruction is killed and reaped.
#pragma once

#include <string>
#include <vector>

namespace launcher::testing {

enum class Signal { Interrupt, Terminate, Kill };

class ChildProcess {
 public:
  // Starts argv[0] (a path, or a name looked up in PATH) with the rest as its
  // arguments and this process's environment. started() says whether it did.
  explicit ChildProcess(std::vector<std::string> argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] bool started() const { return pid_ > 0 || exited_; }
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] int pid() const { return pid_; }

  void sendSignal(Signal signal);
  // Stops it (SIGSTOP) and returns once the system reports it stopped: true.
  // False when it had ended first (it is then reaped; wait() gives its exit
  // code). While stopped it keeps everything it holds (locks, connections)
  // and does nothing, so a test can act on "still running" without a race.
  [[nodiscard]] bool stop();
  // Lets a stopped process go on (SIGCONT).
  void resume();
  // True while it runs (reaps it when it has ended).
  [[nodiscard]] bool running();
  // Waits up to `timeoutMs` (then kills it). The exit code, or 128 + N after
  // signal N, as a shell reports it; -1 when it had to be killed for time.
  int wait(int timeoutMs = 600000);

  // What it printed so far.
  [[nodiscard]] std::string out() const;
  [[nodiscard]] std::string err() const;
  [[nodiscard]] const std::vector<std::string>& argv() const { return argv_; }

 private:
  bool reap(bool block);

  std::vector<std::string> argv_;
  std::string folder_;  // holds stdout / stderr
  int pid_ = -1;
  bool exited_ = false;
  int exitCode_ = -1;
  std::string error_;
};

struct ProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a command to its end (at most `timeoutMs`, then it is killed: -1).
[[nodiscard]] ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutMs = 600000);

// "exit N" plus both outputs, for a test failure message.
[[nodiscard]] std::string describe(const ProcessResult& r);

}  // namespace launcher::testing
