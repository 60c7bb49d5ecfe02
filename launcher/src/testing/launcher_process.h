// The real launcher executable as a child process with its page on the
// standard streams (VANTOR_HEADLESS_PAGE=stdio): the test writes commands to
// its standard input and reads every page message from its standard output.
// A launcher it starts (a self-update's restart) inherits both, so the test
// keeps talking to whichever launcher reads them. Standard error goes to a
// file. One test thread owns it.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace launcher::testing {

class LauncherProcess {
 public:
  // Starts `argv` (argv[0] the executable) with this process's environment
  // plus `env`. started() says whether it did.
  explicit LauncherProcess(std::vector<std::string> argv, const std::map<std::string, std::string>& env = {});
  // Kills and reaps the child if it still runs.
  ~LauncherProcess();
  LauncherProcess(const LauncherProcess&) = delete;
  LauncherProcess& operator=(const LauncherProcess&) = delete;

  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] int pid() const { return pid_; }

  // Writes one command line. False when no process reads it any more.
  bool send(const nlohmann::json& command);
  // Closes our end of its standard input.
  void closeInput();

  // Reads messages until one satisfies `match` (returned), or `timeoutMs`
  // passes or every writer has gone (null). Messages read are kept.
  nlohmann::json waitFor(const std::function<bool(const nlohmann::json&)>& match, int timeoutMs = 30000);
  // Reads until every process holding its standard output has ended; false
  // after `timeoutMs`.
  bool waitForOutputEnd(int timeoutMs);
  [[nodiscard]] const std::vector<nlohmann::json>& messages() const { return messages_; }

  // SIGTERM or SIGKILL; harmless once it has ended.
  void terminate();
  void kill();
  // True while it runs (reaps it once ended).
  [[nodiscard]] bool running();
  // Waits up to `timeoutMs`: its exit code, 128 + N after signal N, or -1
  // when it is still running (it is left running).
  int wait(int timeoutMs);

  [[nodiscard]] std::string err() const;

 private:
  bool readSome(int timeoutMs);
  bool reap(bool block);

  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool outputEnded_ = false;
  bool exited_ = false;
  int exitCode_ = -1;
  std::string buffer_;
  std::string errFile_;
  std::vector<nlohmann::json> messages_;
};

// True when a state document's game section is `status`.
[[nodiscard]] bool hasGameStatus(const nlohmann::json& message, const std::string& status);
[[nodiscard]] bool isState(const nlohmann::json& message);
[[nodiscard]] bool isToast(const nlohmann::json& message, const std::string& text);

}  // namespace launcher::testing
