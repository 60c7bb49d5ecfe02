#include "app/sync_progress.h"

#include <fmt/format.h>

namespace launcher {

namespace {

constexpr auto terminalInterval = std::chrono::milliseconds(100);
constexpr auto plainInterval = std::chrono::seconds(1);

std::string clockText(double seconds) {
  const auto total = static_cast<long long>(seconds + 0.5);
  if (total >= 3600) return fmt::format("{}:{:02}:{:02}", total / 3600, total / 60 % 60, total % 60);
  return fmt::format("{}:{:02}", total / 60, total % 60);
}

}  // namespace

SyncProgressPrinter::SyncProgressPrinter(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

std::string SyncProgressPrinter::format(const Progress& p, Clock::time_point now) const {
  double fraction = 0;
  if (p.bytesTotal > 0) {
    fraction = static_cast<double>(p.bytesDone) / static_cast<double>(p.bytesTotal);
  } else if (p.filesTotal > 0) {
    fraction = static_cast<double>(p.filesDone) / p.filesTotal;
  }
  std::string line = fmt::format("{:<14} {:5.1f}%", p.phase, 100.0 * std::min(1.0, fraction));
  if (p.bytesTotal > 0) {
    line += fmt::format("  {:.1f} / {:.1f} MB", p.bytesDone / 1e6, p.bytesTotal / 1e6);
    double rate = p.rate;
    const double elapsed = std::chrono::duration<double>(now - phaseStart_).count();
    if (rate <= 0 && elapsed > 0.2) rate = static_cast<double>(p.bytesDone) / elapsed;
    if (rate > 0) {
      line += fmt::format("  {:.1f} MB/s", rate / 1e6);
      const double left = p.bytesDone < p.bytesTotal ? static_cast<double>(p.bytesTotal - p.bytesDone) / rate : 0;
      line += "  " + clockText(left) + " left";
    }
  } else {
    line += fmt::format("  {} / {} files", p.filesDone, p.filesTotal);
  }
  return line;
}

void SyncProgressPrinter::update(const Progress& p, Clock::time_point now) {
  const bool newPhase = !printedAny_ || p.phase != phase_;
  if (newPhase) {
    phase_ = p.phase;
    phaseStart_ = now;
  } else if (now - lastPrint_ < (terminal_ ? Clock::duration(terminalInterval) : Clock::duration(plainInterval))) {
    return;
  }
  const std::string line = format(p, now);
  if (terminal_) {
    // Back to the line's start, then clear whatever a longer line left.
    std::fprintf(out_, "\r%s\x1b[K", line.c_str());
    lineOpen_ = true;
  } else {
    std::fprintf(out_, "%s\n", line.c_str());
  }
  std::fflush(out_);
  printedAny_ = true;
  lastPrint_ = now;
}

void SyncProgressPrinter::finish() {
  if (!lineOpen_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  lineOpen_ = false;
}

}  // namespace launcher
