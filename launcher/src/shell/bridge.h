// The message bridge's JSON rules, shared by the web view and browser mode.
// Pure functions; any thread.
#pragma once

#include "base/text_checks.h"  // isValidUtf8: the web view and event streams carry nothing else

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace launcher {

// A page message (the text the page posted) as a command: the parsed JSON
// object, or nothing when the text is not JSON or not an object (an array, a
// string, a number...). Never throws.
[[nodiscard]] std::optional<nlohmann::json> parsePageMessage(std::string_view text);

// A message for the page as compact JSON text: no spaces, non-ASCII written as
// UTF-8; text that is not valid UTF-8 (a path from the file system) has its bad
// bytes replaced with U+FFFD instead of aborting.
[[nodiscard]] std::string dumpForPage(const nlohmann::json& message);

}  // namespace launcher
