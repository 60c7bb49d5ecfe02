// The launcher's log: data/logs/launcher.log, replaced at every start with the
// previous run's file kept as launcher.log.old. Every line also goes to the
// debugger channel.
#pragma once

#include <fmt/format.h>

#include <filesystem>
#include <string>

namespace launcher {

// Opens a fresh "launcher.log" in `logsFolder`, moving the previous one to
// ".old". Called once by the entry point before anything else logs. Failures
// are silent: lines then reach only the debugger channel.
void startLog(const std::filesystem::path& logsFolder);

// Opens "launcher.log" in `logsFolder` for appending, leaving it and its
// ".old" where they are: for a start that is refused before it owns the log,
// which may belong to a launcher that runs. Failures are silent.
void appendToLog(const std::filesystem::path& logsFolder);

// Opens the log at an explicit path (tests); same rules as startLog.
void startLogAt(const std::string& logFileUtf8);

// Closes the log file (tests; the process otherwise keeps it to the end).
void stopLog();

// Writes "HH:MM:SS [level] message\n" (UTC) and flushes it before returning,
// so the file is complete up to the last line. Any thread; never throws.
void writeLog(const std::string& level, const std::string& message);

template <typename... Args>
void logf(const char* level, fmt::format_string<Args...> pattern, Args&&... args) {
  writeLog(level, fmt::format(pattern, std::forward<Args>(args)...));
}

}  // namespace launcher
