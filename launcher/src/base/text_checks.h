// Checks of text that leaves the process: what the page and web view accept,
// and which addresses may go to the user's browser. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace launcher {

// True when `text` is valid UTF-8: no overlong forms, surrogates or points
// past U+10FFFF.
[[nodiscard]] bool isValidUtf8(std::string_view text);

// True for an address that may be handed to the user's browser: it begins with
// "https://" (exactly, lower case), is valid UTF-8 and has no space or control
// character (C0, DEL or C1), which a program on the other end could read as a
// second argument, an option or a line break.
[[nodiscard]] bool isOpenableHttpsUrl(std::string_view uri);

// `text` with the user information of every URL in it ("scheme://user:pw@")
// replaced by "***@", so that a password written into a feed address never
// reaches a log line or a message. The authority is read up to "/", "?", "#",
// a blank or a quote; everything else is kept as it is.
[[nodiscard]] std::string withoutUserInfo(std::string_view text);

}  // namespace launcher
