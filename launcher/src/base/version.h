#pragma once

namespace launcher {

// The launcher's own version: start-up line, state document, usage events and
// the comparison with the feed's launcher build.
inline constexpr const char* launcherVersion = "1.0.0";

}  // namespace launcher
