#include "game/launch.h"

#include "base/log.h"
#include "platform/process.h"
#include "update/location.h"

#include <cerrno>

namespace launcher {

namespace fs = std::filesystem;

namespace {

bool isAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A host name of letters, digits, "." and "-", not beginning with "-" (the
// game would read it as an option), or "[" IPv6 "]".
bool isValidHost(const std::string& host) {
  if (host.empty() || host.front() == '-') return false;
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    bool colon = false;
    for (size_t i = 1; i + 1 < host.size(); ++i) {
      char c = host[i];
      if (c == ':') {
        colon = true;
      } else if (!isHexDigit(c) && c != '.') {
        return false;
      }
    }
    return colon;
  }
  for (char c : host) {
    if (!isAsciiAlnum(c) && c != '.' && c != '-') return false;
  }
  return true;
}

bool isValidPort(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  uint32_t value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

bool isValidHostPort(const std::string& text) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  return isValidHost(text.substr(0, colon)) && isValidPort(text.substr(colon + 1));
}

std::string feedHost(const std::string& feedBase) {
  size_t scheme = feedBase.find("://");
  if (scheme == std::string::npos) return {};
  std::string authority = feedBase.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  // User information ("user:secret@") never travels on to the game.
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string host;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return {};
    host = authority.substr(0, close + 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  return isValidHost(host) ? host : std::string();
}

std::string chooseJoinAddress(bool onlineEnabled, const std::string& onlineServer,
                              const nlohmann::json& serverStatus, const std::string& feedBase) {
  if (!onlineEnabled || !onlineServer.empty()) return {};
  if (serverStatus.is_object()) {
    auto it = serverStatus.find("address");
    if (it != serverStatus.end() && it->is_string()) {
      const std::string& address = it->get_ref<const std::string&>();
      if (isValidHostPort(address)) return address;
    }
  }
  std::string host = feedHost(feedBase);
  if (host.empty()) return {};
  return host + ":" + std::to_string(defaultGamePort);
}

bool splitLaunchOptions(const std::string& options, std::vector<std::string>& words) {
  words.clear();
  std::string word;
  bool inWord = false;  // a word has begun (even an empty "" one)
  enum class Quote { None, Single, Double } quote = Quote::None;
  for (size_t i = 0; i < options.size(); ++i) {
    const char c = options[i];
    const bool hasNext = i + 1 < options.size();
    switch (quote) {
      case Quote::Single:
        if (c == '\'') {
          quote = Quote::None;
        } else {
          word += c;
        }
        break;
      case Quote::Double:
        if (c == '"') {
          quote = Quote::None;
        } else if (c == '\\' && hasNext &&
                   (options[i + 1] == '$' || options[i + 1] == '`' || options[i + 1] == '"' ||
                    options[i + 1] == '\\' || options[i + 1] == '\n')) {
          if (options[i + 1] != '\n') word += options[i + 1];
          ++i;
        } else {
          word += c;
        }
        break;
      case Quote::None:
        if (isBlank(c)) {
          if (inWord) words.push_back(std::move(word));
          word.clear();
          inWord = false;
        } else if (c == '\'') {
          quote = Quote::Single;
          inWord = true;
        } else if (c == '"') {
          quote = Quote::Double;
          inWord = true;
        } else if (c == '\\' && hasNext) {
          if (options[i + 1] != '\n') {
            word += options[i + 1];
            inWord = true;
          }
          ++i;
        } else {
          word += c;
          inWord = true;
        }
        break;
    }
  }
  if (quote != Quote::None) {
    words.clear();
    return false;
  }
  if (inWord) words.push_back(std::move(word));
  return true;
}

bool buildGameArguments(const fs::path& executable, const std::string& joinAddress, const std::string& launchOptions,
                        std::vector<std::string>& argv) {
  argv.clear();
  std::vector<std::string> words;
  if (!splitLaunchOptions(launchOptions, words)) return false;
  argv.push_back(toUtf8(executable));
  if (!joinAddress.empty()) {
    argv.push_back("--connect");
    argv.push_back(joinAddress);
  }
  for (auto& w : words) argv.push_back(std::move(w));
  return true;
}

PlayDecision decidePlay(const PlayRequest& request) {
  PlayDecision decision;
  if (request.gameRunningFlag || request.gameLockHeld) {
    decision.refusal = gameAlreadyRunningText;
  } else if (!request.executableExists) {
    decision.refusal = gameNotInstalledText;
  } else if (request.gameJobQueued) {
    decision.refusal = waitForGameUpdateText;
  } else if (request.restoreRunning) {
    decision.refusal = waitForRestoreText;
  } else {
    decision.start = true;
    decision.joinAddress = chooseJoinAddress(request.onlineEnabled, request.onlineServer, request.serverStatus,
                                             request.feedBase);
  }
  return decision;
}

GameStart startGame(const fs::path& executable, const fs::path& gameFolder, const std::string& joinAddress,
                    const std::string& launchOptions) {
  GameStart start;
  std::vector<std::string> argv;
  int code = 0;
  std::string error;
  if (!buildGameArguments(executable, joinAddress, launchOptions, argv)) {
    code = EINVAL;
    writeLog("error", "The launch options leave a quote open");
  } else {
    // Manifests carry no file mode: a synced or copied game may lack its
    // execute bits. A failure here shows in the start's own error.
    std::string modeError;
    (void)makeExecutable(executable, modeError);
    if (startGameProcess(argv, gameFolder, start.process, code, error)) {
      start.ok = true;
      logf("info", "Game started (pid {}){}", start.process.pid(),
           joinAddress.empty() ? std::string() : " joining " + joinAddress);
      return start;
    }
  }
  logf("error", "Starting the game failed ({})", code);
  start.toast = gameStartFailedText;
  return start;
}

AfterStart afterStartAction(const std::string& onPlay, size_t jobsInQueue) {
  if (onPlay == "stay") return AfterStart::Stay;
  if (onPlay == "close" && jobsInQueue == 0) return AfterStart::CloseLauncher;
  return AfterStart::Minimize;
}

std::string gameExitToast(uint32_t exitCode) { return exitCode == 0 ? std::string() : gameCrashedText; }

}  // namespace launcher
