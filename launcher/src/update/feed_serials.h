// The highest "serial" this launcher has accepted for each signed document of
// its update server (a channel's latest.json, the add-on catalogue), kept in
// one JSON document in the data folder, so that a document older than one
// already seen is refused, also after a restart and after a channel switch
// and back. Any thread: a lock of this file's own orders the reads and
// writes of the check thread and the job worker within the process (one
// launcher runs per user).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// The document's name in the data folder.
inline constexpr const char* feedSerialsFileName = "feeds.json";

enum class SerialCheck {
  Accepted,  // not below the highest seen; kept as the new highest when above it
  Older,     // below the highest accepted for this document
};

// Compares `serial` with the highest kept in `file` for the document read
// from `url` (a user name and password in the URL are left out of the key)
// and keeps `serial` when it is higher, through writeJsonDocument. A file
// that cannot be written costs only the record: a "warn" line, and the
// answer stands. A missing or damaged file reads as nothing seen.
[[nodiscard]] SerialCheck acceptSerial(const std::filesystem::path& file, const std::string& url, uint64_t serial);

// The highest serial kept for the document read from `url`; 0 when none.
[[nodiscard]] uint64_t highestSerial(const std::filesystem::path& file, const std::string& url);

}  // namespace launcher
