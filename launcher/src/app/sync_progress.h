// The progress line of the command-line sync: one line redrawn in place on a
// terminal, at most about ten times a second; plain lines otherwise (one per
// phase change, else at most one a second), so a log file stays readable.
// The caller's thread only.
#pragma once

#include "base/progress.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace launcher {

class SyncProgressPrinter {
 public:
  using Clock = std::chrono::steady_clock;

  SyncProgressPrinter(std::FILE* out, bool terminal);

  // Prints `p` unless the last line was printed too recently for its phase.
  void update(const Progress& p, Clock::time_point now = Clock::now());
  // Ends an in-place line, so that what follows starts on a line of its own.
  void finish();

  // "Downloading  45.0%  512.3 / 1138.5 MB  85.2 MB/s  0:07 left"; rates and
  // time left are measured from the phase's own start when the record carries
  // no rate.
  [[nodiscard]] std::string format(const Progress& p, Clock::time_point now) const;

 private:
  std::FILE* out_;
  bool terminal_;
  bool lineOpen_ = false;
  bool printedAny_ = false;
  std::string phase_;
  Clock::time_point phaseStart_{};
  Clock::time_point lastPrint_{};
};

}  // namespace launcher
