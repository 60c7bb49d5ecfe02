#include "base/log.h"

#include "platform/platform.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace launcher {

namespace fs = std::filesystem;

namespace {

// The stream and the mutex that serialises opening and writing. Created on
// first use and never destroyed: a detached thread (usage events) may still
// log while the process runs its static destructors, and every line is
// flushed already, so nothing is lost when the system closes the file.
struct LogState {
  std::mutex mutex;
  std::ofstream stream;
};

LogState& logState() {
  static LogState* state = new LogState;
  return *state;
}

void openLocked(LogState& state, const fs::path& file) {
  // Close first: an open file cannot be moved on every system.
  if (state.stream.is_open()) state.stream.close();
  state.stream.clear();
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  std::string ignored;
  fs::path old = file;
  old += ".old";
  (void)moveFileReplace(file, old, MoveMode::Plain, ignored);
  state.stream.open(file, std::ios::binary | std::ios::trunc);
}

}  // namespace

void appendToLog(const fs::path& logsFolder) {
  LogState& state = logState();
  std::lock_guard lock(state.mutex);
  if (state.stream.is_open()) state.stream.close();
  state.stream.clear();
  state.stream.open(logsFolder / "launcher.log", std::ios::binary | std::ios::app);
}

void startLog(const fs::path& logsFolder) { startLogAt((logsFolder / "launcher.log").string()); }

void startLogAt(const std::string& logFileUtf8) {
  LogState& state = logState();
  std::lock_guard lock(state.mutex);
  openLocked(state, fs::path(logFileUtf8));
}

void stopLog() {
  LogState& state = logState();
  std::lock_guard lock(state.mutex);
  if (state.stream.is_open()) state.stream.close();
}

void writeLog(const std::string& level, const std::string& message) {
  std::string line;
  try {
    auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    auto time = std::chrono::hh_mm_ss(now - std::chrono::floor<std::chrono::days>(now));
    line = fmt::format("{:02}:{:02}:{:02} [{}] {}\n", time.hours().count(), time.minutes().count(),
                       time.seconds().count(), level, message);
  } catch (...) {
    return;  // only an allocation failure gets here; logging never throws
  }
  LogState& state = logState();
  std::lock_guard lock(state.mutex);
  if (state.stream.is_open() && state.stream.good()) {
    state.stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    state.stream.flush();
  }
  debugOutput(line);
}

}  // namespace launcher
