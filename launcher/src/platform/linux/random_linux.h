// getrandom(2) with its retries, and a way for tests to hand in a source that
// fails. Internal to platform/linux/.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace launcher::posix {

// getrandom's shape.
using GetRandom = ssize_t (*)(void* buffer, std::size_t length, unsigned int flags);

// fillRandomBytes over `source`: an interrupted call or a short read is
// retried; any other failure (no such call: ENOSYS) or a call that gives
// nothing is an error, never a short or guessable result.
[[nodiscard]] bool fillRandomBytesFrom(GetRandom source, void* buffer, std::size_t length, std::string& error);

}  // namespace launcher::posix
