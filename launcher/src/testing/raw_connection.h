// A plain TCP connection to a loopback port, for tests that must send what no
// HTTP client would: half a request, an endless line, nothing at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace launcher::testing {

class RawConnection {
 public:
  // Connects to 127.0.0.1:`port`, from `from` (another loopback address
  // stands for another client); connected() says whether it worked.
  explicit RawConnection(uint16_t port, const char* from = "127.0.0.1");
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  [[nodiscard]] bool connected() const { return fd_ >= 0; }
  // Sends all of `bytes` unless the server stops taking them; false then.
  bool send(std::string_view bytes);
  // Everything the server sends until it closes (or resets) the connection,
  // or until `limit` passes; `closed` says which.
  std::string readUntilClosed(std::chrono::milliseconds limit, bool& closed);
  // Waits up to `limit` for the server to close the connection, dropping
  // whatever it sends; true when it did.
  bool waitClosed(std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
};

// The status code of an HTTP response's first line, or 0.
[[nodiscard]] int statusOf(std::string_view response);

}  // namespace launcher::testing
