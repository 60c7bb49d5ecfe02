// The raw test connection over Winsock. The socket is kept in the header's
// int: Windows socket handles fit in 32 bits (64-bit Windows keeps handles
// 32-bit significant so they can be shared with 32-bit processes).
#include "testing/raw_connection.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <charconv>

namespace launcher::testing {

namespace {

SOCKET socketOf(int fd) { return static_cast<SOCKET>(static_cast<unsigned int>(fd)); }

}  // namespace

RawConnection::RawConnection(uint16_t port, const char* from) {
  static const int started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) return;
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = ::htons(port);
  if (s > 0x7fffffff || ::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
      ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr) != 1 ||
      ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::closesocket(s);
    return;
  }
  fd_ = static_cast<int>(s);
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::closesocket(socketOf(fd_));
}

bool RawConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const int offer = bytes.size() > 0x100000 ? 0x100000 : static_cast<int>(bytes.size());
    int n = ::send(socketOf(fd_), bytes.data(), offer, 0);
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
    WSAPOLLFD p{socketOf(fd_), POLLRDNORM, 0};
    int ready = ::WSAPoll(&p, 1, static_cast<INT>(left.count()));
    if (ready <= 0) return text;
    char buffer[4096];
    int n = ::recv(socketOf(fd_), buffer, sizeof buffer, 0);
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
