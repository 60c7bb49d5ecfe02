// Random bytes from the system's own source, for secrets (tokens, session
// keys). Declarations only: getrandom(2) here, BCryptGenRandom on Windows.
#pragma once

#include <cstddef>
#include <string>

namespace launcher {

// Fills all `length` bytes of `buffer`. False, with the system's text in
// `error`, when the source fails or has nothing to give; the buffer must then
// not be used. Any thread.
[[nodiscard]] bool fillRandomBytes(void* buffer, std::size_t length, std::string& error);

}  // namespace launcher
