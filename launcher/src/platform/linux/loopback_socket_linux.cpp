// Loopback TCP sockets with poll(2), and an eventfd to wake the wait.
#include "platform/loopback_socket.h"

#include "platform/linux/posix_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace launcher {
namespace {

int fdOf(LoopbackSocket::Handle handle) { return static_cast<int>(handle); }
LoopbackSocket::Handle handleOf(int fd) {
  return fd < 0 ? LoopbackSocket::invalidHandle : static_cast<LoopbackSocket::Handle>(fd);
}

}  // namespace

LoopbackSocket& LoopbackSocket::operator=(LoopbackSocket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

void LoopbackSocket::close() {
  if (valid()) ::close(fdOf(release()));
}

bool listenOnLoopback(uint16_t port, LoopbackSocket& listener, uint16_t& boundPort, std::string& error) {
  LoopbackSocket socket(handleOf(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)));
  if (!socket.valid()) {
    error = posix::errnoText(errno);
    return false;
  }
  const int fd = fdOf(socket.handle());
  // SO_REUSEADDR lets a restarted launcher bind while the old one's
  // connections linger in TIME_WAIT; unlike SO_REUSEPORT it never lets two
  // listeners share the port.
  int yes = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0) {
    error = posix::errnoText(errno);
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 128) != 0) {
    error = posix::errnoText(errno);
    return false;
  }
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = posix::errnoText(errno);
    return false;
  }
  boundPort = ntohs(address.sin_port);
  listener = std::move(socket);
  return true;
}

SocketIo acceptConnection(const LoopbackSocket& listener, LoopbackSocket& connection, std::string& peer) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  while (true) {
    int fd = ::accept4(fdOf(listener.handle()), reinterpret_cast<sockaddr*>(&address), &length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      connection = LoopbackSocket(handleOf(fd));
      char text[INET_ADDRSTRLEN] = {};
      peer = address.sin_family == AF_INET && ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) ? text : "";
      return SocketIo::Done;
    }
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
      case ECONNABORTED:  // gone before it was taken: nothing to do
        return SocketIo::WouldBlock;
      default:
        return SocketIo::Failed;  // EMFILE, ENFILE, ENOBUFS, ENOMEM...
    }
  }
}

SocketIo receiveSome(const LoopbackSocket& socket, char* buffer, std::size_t capacity, std::size_t& got) {
  while (true) {
    ssize_t n = ::recv(fdOf(socket.handle()), buffer, capacity, 0);
    if (n > 0) {
      got = static_cast<std::size_t>(n);
      return SocketIo::Done;
    }
    if (n == 0) return SocketIo::Closed;
    if (errno == EINTR) continue;
    return errno == EAGAIN ? SocketIo::WouldBlock : SocketIo::Failed;
  }
}

SocketIo sendSome(const LoopbackSocket& socket, const char* data, std::size_t size, std::size_t& sent) {
  while (true) {
    ssize_t n = ::send(fdOf(socket.handle()), data, size, MSG_NOSIGNAL);
    if (n > 0) {
      sent = static_cast<std::size_t>(n);
      return SocketIo::Done;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN ? SocketIo::WouldBlock : SocketIo::Failed;
  }
}

void shutdownSending(const LoopbackSocket& socket) { ::shutdown(fdOf(socket.handle()), SHUT_WR); }

SocketWaker::~SocketWaker() {
  if (readEnd != LoopbackSocket::invalidHandle) ::close(fdOf(readEnd));
}

bool SocketWaker::open(std::string& error) {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    error = posix::errnoText(errno);
    return false;
  }
  readEnd = writeEnd = handleOf(fd);
  return true;
}

void SocketWaker::wake() {
  uint64_t one = 1;
  // A full counter (never, in practice) still wakes: the wait sees it readable.
  ssize_t ignored = ::write(fdOf(writeEnd), &one, sizeof one);
  (void)ignored;
}

int waitForSockets(std::span<SocketWait> waits, SocketWaker* waker, int timeoutMs, std::string& error) {
  std::vector<pollfd> fds;
  fds.reserve(waits.size() + 1);
  for (SocketWait& wait : waits) {
    wait.ready = false;
    short events = static_cast<short>((wait.read ? POLLIN : 0) | (wait.write ? POLLOUT : 0));
    fds.push_back({fdOf(wait.socket->handle()), events, 0});
  }
  if (waker) fds.push_back({fdOf(waker->readEnd), POLLIN, 0});
  int n = ::poll(fds.data(), fds.size(), timeoutMs);
  if (n < 0) {
    if (errno == EINTR) return 0;
    error = posix::errnoText(errno);
    return -1;
  }
  int ready = 0;
  for (std::size_t i = 0; i < waits.size(); ++i) {
    if (fds[i].revents != 0) {
      waits[i].ready = true;
      ++ready;
    }
  }
  if (waker && fds.back().revents != 0) {
    uint64_t count;
    ssize_t ignored = ::read(fdOf(waker->readEnd), &count, sizeof count);
    (void)ignored;
  }
  return ready;
}

}  // namespace launcher
