// A stand-in for the game. It holds the game lock while it runs, records how
// it was started in the logs folder, can rewrite settings.json and write a
// save, and ends the way a test asks. The launcher passes the player's launch
// options through, so a test steers it with them.
//
//   Vantor [--record FILE] [--hold-ms N] [--wait-for FILE] [--write-save NAME=TEXT]
//          [--set-setting SECTION.KEY=JSON] [--exit-code N] [--signal N] [anything else...]
//
// Once the lock is held, saves and settings are written, then the record goes
// to <logs>/fakegame.json (and to FILE): a JSON object with "args" (every
// argument after the program), "argv0", "cwd", "pid", "session" (its session
// id), "sigBlocked" and "sigIgnored" (hexadecimal masks from /proc), and "fds"
// (the descriptors it inherited, each {"fd", "target"}). A test that sees the
// record knows the game counts as running. Then it waits --hold-ms, and until
// the --wait-for file exists (at most two minutes), and ends: raising signal N
// (--signal) or exiting with N (--exit-code, default 0). Unknown arguments
// (the launcher's "--connect ADDRESS", other options) are only recorded.
// VANTOR_FAKEGAME_HOLD_MS, when set, is the default for --hold-ms.
#include "data/json_document.h"
#include "data/paths.h"
#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using launcher::json;

namespace {

bool parseInt(const std::string& text, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && end != text.c_str() && *end == '\0';
}

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "Name:\tvalue" of /proc/self/status.
std::string statusField(const std::string& status, const std::string& name) {
  size_t at = status.find("\n" + name + ":");
  if (at == std::string::npos) return {};
  size_t start = status.find_first_not_of(" \t", at + name.size() + 2);
  size_t end = status.find('\n', start);
  return status.substr(start, end - start);
}

// Field 6 of /proc/self/stat: the session id.
long sessionId() {
  std::string stat = slurp("/proc/self/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  // After ")": state ppid pgrp session
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = close + 2; i < stat.size() && fields.size() < 4; ++i) {
    if (stat[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += stat[i];
    }
  }
  long sid = -1;
  if (fields.size() == 4 && parseInt(fields[3], sid)) return sid;
  return -1;
}

// The descriptors this process holds but did not open itself.
json inheritedDescriptors(const fs::path& ownLock) {
  json list = json::array();
  std::error_code ec;
  std::vector<std::pair<long, std::string>> found;
  for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
    long fd = -1;
    if (!parseInt(it->path().filename().string(), fd)) continue;
    std::error_code linkError;
    fs::path target = fs::read_symlink(it->path(), linkError);
    found.emplace_back(fd, linkError ? std::string() : target.string());
  }
  for (const auto& [fd, target] : found) {
    // The listing's own descriptor is gone (or names a /proc fd folder); the lock is ours.
    if (target == ownLock.string()) continue;  // ownLock is canonical, as /proc shows it
    if (target.rfind("/proc/", 0) == 0 && target.find("/fd") != std::string::npos) continue;
    list.push_back({{"fd", fd}, {"target", target}});
  }
  return list;
}

bool writeAtomically(const fs::path& file, const std::string& text) {
  fs::path tmp = file;
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) return false;
  }
  // Replaces an earlier record on every system (a rename onto an existing
  // file fails on Windows).
  std::string error;
  return launcher::moveFileReplace(tmp, file, launcher::MoveMode::Plain, error);
}

bool setSetting(const std::string& assignment) {
  size_t eq = assignment.find('=');
  size_t dot = assignment.find('.');
  if (eq == std::string::npos || dot == std::string::npos || dot > eq) return false;
  json value = json::parse(assignment.substr(eq + 1), nullptr, false);
  if (value.is_discarded()) return false;
  const fs::path file = launcher::settingsPath();
  json settings = launcher::readJsonDocument(file, launcher::DocumentKind::Settings);
  if (!settings.is_object()) settings = json::object();
  json& section = settings[assignment.substr(0, dot)];
  if (!section.is_object()) section = json::object();
  section[assignment.substr(dot + 1, eq - dot - 1)] = value;
  return launcher::writeJsonDocument(file, settings, launcher::DocumentKind::Settings);
}

bool writeSave(const std::string& assignment) {
  size_t eq = assignment.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  const fs::path file = launcher::savesFolder() / assignment.substr(0, eq);
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << assignment.substr(eq + 1);
  return static_cast<bool>(out);
}

int fail(const std::string& what) {
  std::fprintf(stderr, "Vantor: %s\n", what.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> all = launcher::commandLineArguments(argc, argv);
  std::vector<std::string> args(all.begin() + (all.empty() ? 0 : 1), all.end());
  std::string record;
  std::string waitFor;
  std::vector<std::string> saves;
  std::vector<std::string> settings;
  long holdMs = 0;
  // The demo feed's game stays up a while so a player sees it running; an
  // explicit --hold-ms still wins.
  if (const auto demoHold = launcher::environmentVariable("VANTOR_FAKEGAME_HOLD_MS")) {
    if (!parseInt(*demoHold, holdMs) || holdMs < 0) holdMs = 0;
  }
  long exitCode = 0;
  long signalNumber = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    const std::string& a = args[i];
    if (!hasValue) continue;
    if (a == "--record") {
      record = args[++i];
    } else if (a == "--wait-for") {
      waitFor = args[++i];
    } else if (a == "--write-save") {
      saves.push_back(args[++i]);
    } else if (a == "--set-setting") {
      settings.push_back(args[++i]);
    } else if (a == "--hold-ms") {
      if (!parseInt(args[++i], holdMs) || holdMs < 0) return fail("bad --hold-ms " + args[i]);
    } else if (a == "--exit-code") {
      if (!parseInt(args[++i], exitCode) || exitCode < 0 || exitCode > 255) return fail("bad --exit-code " + args[i]);
    } else if (a == "--signal") {
      if (!parseInt(args[++i], signalNumber) || signalNumber < 1 || signalNumber > 64) {
        return fail("bad --signal " + args[i]);
      }
    }
  }

  // Taken before anything else is recorded; the kernel drops it however the
  // process ends.
  launcher::GameLock lock;
  std::string error;
  if (!lock.acquire(error)) return fail(error);
  // The inherited descriptors, seen before this program opens any of its own.
  std::error_code ec;
  json fds = inheritedDescriptors(fs::weakly_canonical(launcher::gameLockPath(), ec));

  for (const std::string& s : saves) {
    if (!writeSave(s)) return fail("can't write the save " + s);
  }
  for (const std::string& s : settings) {
    if (!setSetting(s)) return fail("can't set " + s);
  }

  const std::string status = slurp("/proc/self/status");
  const long pid = launcher::currentProcessId();
  json document{{"args", args},
                {"argv0", all.empty() ? "" : all[0]},
                {"cwd", fs::current_path(ec).string()},
                {"pid", pid},
                {"session", sessionId()},
                {"sigBlocked", statusField(status, "SigBlk")},
                {"sigIgnored", statusField(status, "SigIgn")},
                {"fds", fds}};
  const std::string text = document.dump(2) + "\n";
  {
    std::ofstream log(launcher::logsFolder() / "game.log", std::ios::app);
    log << "Vantor stand-in started with " << args.size() << " arguments\n";
  }
  if (!writeAtomically(launcher::logsFolder() / "fakegame.json", text)) return fail("can't write the record");
  if (!record.empty() && !writeAtomically(record, text)) return fail("can't write " + record);

  std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  if (!waitFor.empty()) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!fs::exists(waitFor, ec) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (signalNumber > 0) {
    const int sig = static_cast<int>(signalNumber);
    // A handler of this program's own (a sanitizer's) would turn the signal
    // into something else; an ignored disposition is what the game inherited
    // and stays, so a launcher that passes one on is caught.
    if (std::signal(sig, SIG_DFL) == SIG_IGN) std::signal(sig, SIG_IGN);
    std::raise(sig);
    // Still here: the signal was ignored or blocked, which the launcher must
    // never let a game inherit.
    return fail("signal " + std::to_string(signalNumber) + " did not end the game");
  }
  return static_cast<int>(exitCode);
}
