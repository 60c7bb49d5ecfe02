#include "platform/random.h"

#include "platform/linux/posix_helpers.h"
#include "platform/linux/random_linux.h"

#include <sys/random.h>

#include <cerrno>

namespace launcher {

namespace posix {

bool fillRandomBytesFrom(GetRandom source, void* buffer, std::size_t length, std::string& error) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t got = 0;
  while (got < length) {
    ssize_t n = source(bytes + got, length - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;  // a signal came first: ask again
    } else {
      error = n < 0 ? errnoText(errno) : "the system's source gave nothing";
      return false;
    }
  }
  return true;
}

}  // namespace posix

bool fillRandomBytes(void* buffer, std::size_t length, std::string& error) {
  return posix::fillRandomBytesFrom([](void* to, std::size_t size, unsigned int flags) { return ::getrandom(to, size, flags); },
                                    buffer, length, error);
}

}  // namespace launcher
