// The rule every transport applies to a redirect before it follows it. Kept
// apart from location.h, whose callers need none of it.
#pragma once

#include <string>

namespace launcher {

// True when a transfer that reached `from` (an http(s) URL) may follow its
// redirect to `to`: only to an http(s) URL, never from https back to clear
// text, and only where isAllowedTransferLocation (location.h) allows.
// Transports that follow redirects themselves ask this before each one; a
// refused one fails with httpsRequiredText.
[[nodiscard]] bool isAllowedRedirect(const std::string& from, const std::string& to);

}  // namespace launcher
