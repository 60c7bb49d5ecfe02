// Random bytes from the system's preferred generator (BCryptGenRandom).
#include "platform/random.h"

#include "platform/windows/win_helpers.h"

#include <bcrypt.h>

namespace launcher {

bool fillRandomBytes(void* buffer, std::size_t length, std::string& error) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ULONG chunk = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
    const NTSTATUS status = ::BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
      error = "the system's random source failed (status " + std::to_string(static_cast<unsigned long>(status)) + ")";
      return false;
    }
    bytes += chunk;
    length -= chunk;
  }
  return true;
}

}  // namespace launcher
