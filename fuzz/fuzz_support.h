// What the fuzz targets share: a private folder for files a reader must open,
// and splitting one input into parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace launcher::fuzz {

// A folder of this process's own (created once, in /dev/shm when it exists),
// with HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR and TMPDIR
// pointed inside it, so nothing a target does reaches the user's files.
const std::filesystem::path& scratch();

// Writes `data` to scratch() / name and returns the path.
std::filesystem::path writeScratchFile(const std::string& name, const uint8_t* data, size_t size);

// The input cut at each NUL byte (at most `parts` parts; the last keeps the rest).
std::vector<std::string> splitInput(const uint8_t* data, size_t size, size_t parts);

// Ends the process as a finding: the invariant named held not.
[[noreturn]] void violated(const char* what);

}  // namespace launcher::fuzz
