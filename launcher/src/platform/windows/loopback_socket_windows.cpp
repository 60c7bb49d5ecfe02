// Loopback TCP sockets through Winsock with WSAPoll. WSAPoll cannot watch an
// event, so the waker is a pair of UDP sockets on 127.0.0.1: wake() sends one
// datagram, and the wait watches the receiving one and drains it.
#include "platform/loopback_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/windows/win_helpers.h"

#include <vector>

namespace launcher {
namespace {

SOCKET socketOf(LoopbackSocket::Handle handle) { return static_cast<SOCKET>(handle); }
LoopbackSocket::Handle handleOf(SOCKET s) {
  return s == INVALID_SOCKET ? LoopbackSocket::invalidHandle : static_cast<LoopbackSocket::Handle>(s);
}

std::string lastSocketError() { return win::errorText(static_cast<DWORD>(::WSAGetLastError())); }

// Winsock is started once for the process and never cleaned up: sockets may
// live until exit.
bool startWinsock(std::string& error) {
  static const int started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) {
    error = "Winsock cannot start: " + win::errorText(static_cast<DWORD>(started));
    return false;
  }
  return true;
}

// A socket that no child process inherits, non-blocking.
SOCKET newSocket(int type, int protocol) {
  SOCKET s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return s;
  u_long nonBlocking = 1;
  if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    int code = ::WSAGetLastError();
    ::closesocket(s);
    ::WSASetLastError(code);
    return INVALID_SOCKET;
  }
  return s;
}

sockaddr_in loopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(port);
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  return address;
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
  if (valid()) ::closesocket(socketOf(release()));
}

bool listenOnLoopback(uint16_t port, LoopbackSocket& listener, uint16_t& boundPort, std::string& error) {
  if (!startWinsock(error)) return false;
  LoopbackSocket socket(handleOf(newSocket(SOCK_STREAM, IPPROTO_TCP)));
  if (!socket.valid()) {
    error = lastSocketError();
    return false;
  }
  const SOCKET s = socketOf(socket.handle());
  // Without it another program could bind the same port and take connections
  // meant for us; a port in TIME_WAIT can still be bound on Windows.
  BOOL yes = TRUE;
  if (::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes) != 0) {
    error = lastSocketError();
    return false;
  }
  sockaddr_in address = loopbackAddress(port);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(s, 128) != 0) {
    error = lastSocketError();
    return false;
  }
  int length = sizeof address;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = lastSocketError();
    return false;
  }
  boundPort = ::ntohs(address.sin_port);
  listener = std::move(socket);
  return true;
}

SocketIo acceptConnection(const LoopbackSocket& listener, LoopbackSocket& connection, std::string& peer) {
  sockaddr_in address{};
  int length = sizeof address;
  SOCKET s = ::accept(socketOf(listener.handle()), reinterpret_cast<sockaddr*>(&address), &length);
  if (s == INVALID_SOCKET) {
    switch (::WSAGetLastError()) {
      case WSAEWOULDBLOCK:
      case WSAECONNRESET:  // gone before it was taken: nothing to do
        return SocketIo::WouldBlock;
      default:
        return SocketIo::Failed;  // WSAEMFILE, WSAENOBUFS...
    }
  }
  LoopbackSocket accepted(handleOf(s));
  // An accepted socket takes its listener's modes; say both again rather
  // than rely on it.
  u_long nonBlocking = 1;
  if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
      !::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0)) {
    return SocketIo::Failed;
  }
  connection = std::move(accepted);
  char text[INET_ADDRSTRLEN] = {};
  peer = address.sin_family == AF_INET && ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) ? text : "";
  return SocketIo::Done;
}

SocketIo receiveSome(const LoopbackSocket& socket, char* buffer, std::size_t capacity, std::size_t& got) {
  const int ask = capacity > 0x7fffffff ? 0x7fffffff : static_cast<int>(capacity);
  int n = ::recv(socketOf(socket.handle()), buffer, ask, 0);
  if (n > 0) {
    got = static_cast<std::size_t>(n);
    return SocketIo::Done;
  }
  if (n == 0) return SocketIo::Closed;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? SocketIo::WouldBlock : SocketIo::Failed;
}

SocketIo sendSome(const LoopbackSocket& socket, const char* data, std::size_t size, std::size_t& sent) {
  const int offer = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
  // Windows raises no signal for a peer that went away: the send fails.
  int n = ::send(socketOf(socket.handle()), data, offer, 0);
  if (n > 0) {
    sent = static_cast<std::size_t>(n);
    return SocketIo::Done;
  }
  return n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK ? SocketIo::WouldBlock : SocketIo::Failed;
}

void shutdownSending(const LoopbackSocket& socket) { ::shutdown(socketOf(socket.handle()), SD_SEND); }

SocketWaker::~SocketWaker() {
  if (readEnd != LoopbackSocket::invalidHandle) ::closesocket(socketOf(readEnd));
  if (writeEnd != LoopbackSocket::invalidHandle) ::closesocket(socketOf(writeEnd));
}

bool SocketWaker::open(std::string& error) {
  if (!startWinsock(error)) return false;
  SOCKET reader = newSocket(SOCK_DGRAM, IPPROTO_UDP);
  SOCKET writer = reader == INVALID_SOCKET ? INVALID_SOCKET : newSocket(SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address = loopbackAddress(0);
  sockaddr_in from{};
  int length = sizeof address;
  int fromLength = sizeof from;
  // The reader is connected to the writer, so only the writer's datagrams
  // reach it.
  const bool ok = writer != INVALID_SOCKET &&
                  ::bind(reader, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                  ::getsockname(reader, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
                  ::connect(writer, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                  ::getsockname(writer, reinterpret_cast<sockaddr*>(&from), &fromLength) == 0 &&
                  ::connect(reader, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0;
  if (!ok) {
    error = lastSocketError();
    if (reader != INVALID_SOCKET) ::closesocket(reader);
    if (writer != INVALID_SOCKET) ::closesocket(writer);
    return false;
  }
  readEnd = handleOf(reader);
  writeEnd = handleOf(writer);
  return true;
}

void SocketWaker::wake() {
  // A full buffer (wakes nobody reads) still leaves the reader readable.
  const char one = 1;
  (void)::send(socketOf(writeEnd), &one, 1, 0);
}

int waitForSockets(std::span<SocketWait> waits, SocketWaker* waker, int timeoutMs, std::string& error) {
  std::vector<WSAPOLLFD> fds;
  fds.reserve(waits.size() + 1);
  for (SocketWait& wait : waits) {
    wait.ready = false;
    short events = static_cast<short>((wait.read ? POLLRDNORM : 0) | (wait.write ? POLLWRNORM : 0));
    fds.push_back({socketOf(wait.socket->handle()), events, 0});
  }
  if (waker) fds.push_back({socketOf(waker->readEnd), POLLRDNORM, 0});
  if (fds.empty()) {
    // WSAPoll refuses an empty set; poll() would just sleep.
    ::Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return 0;
  }
  int n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
  if (n == SOCKET_ERROR) {
    error = lastSocketError();
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
    char drain[64];
    while (::recv(socketOf(waker->readEnd), drain, sizeof drain, 0) > 0) {
    }
  }
  return ready;
}

}  // namespace launcher
