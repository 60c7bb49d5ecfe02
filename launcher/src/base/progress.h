#pragma once

#include <cstdint>
#include <string>

namespace launcher {

// Progress of the running job, as the page shows it.
struct Progress {
  std::string phase;  // what the job does now ("Downloading")
  std::string file;   // relative path being worked on, or empty
  uint64_t bytesDone = 0;
  uint64_t bytesTotal = 0;  // 0 when unknown
  int32_t filesDone = 0;    // files or chunks handled in this phase
  int32_t filesTotal = 0;
  double rate = 0;  // bytes per second, 0 when not measured
};

}  // namespace launcher
