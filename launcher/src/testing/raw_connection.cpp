#include "testing/raw_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace launcher::testing {

RawConnection::RawConnection(uint16_t port, const char* from) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  if (::inet_pton(AF_INET, from, &local.sin_addr) != 1 || ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string RawConnection::readUntilClosed(std::chrono::milliseconds limit, bool& closed) {
  std::string text;
  closed = false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return text;
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return text;
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed = true;
      return text;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

bool RawConnection::waitClosed(std::chrono::milliseconds limit) {
  bool closed = false;
  (void)readUntilClosed(limit, closed);
  return closed;
}

int statusOf(std::string_view response) {
  if (response.substr(0, 9) != "HTTP/1.1 " || response.size() < 12) return 0;
  int status = 0;
  std::from_chars(response.data() + 9, response.data() + 12, status);
  return status;
}

}  // namespace launcher::testing
