#include "app/log.h"

#include "data/paths.h"
#include "platform/platform.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Process globals: the stream and the mutex that serialises opening and writing.
std::mutex logMutex;
std::ofstream logStream;

void openLocked(const fs::path& file) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  std::string ignored;
  (void)moveFileReplace(file, fs::path(file.native() + ".old"), MoveMode::Plain, ignored);
  if (logStream.is_open()) logStream.close();
  logStream.clear();
  logStream.open(file, std::ios::binary | std::ios::trunc);
}

}  // namespace

void startLog() { startLogAt((logsFolder() / "launcher.log").string()); }

void startLogAt(const std::string& logFileUtf8) {
  std::lock_guard lock(logMutex);
  openLocked(fs::path(logFileUtf8));
}

void stopLog() {
  std::lock_guard lock(logMutex);
  if (logStream.is_open()) logStream.close();
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
  std::lock_guard lock(logMutex);
  if (logStream.is_open() && logStream.good()) {
    logStream.write(line.data(), static_cast<std::streamsize>(line.size()));
    logStream.flush();
  }
  debugOutput(line);
}

}  // namespace launcher
