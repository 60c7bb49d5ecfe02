// TCP sockets on 127.0.0.1, for the server that serves the page to a browser.
// Only what that server needs: listen, accept, non-blocking reads and writes,
// and one wait over many sockets that another thread can cut short.
// Declarations only; the bodies close with close() or closesocket(), keep a
// port to one listener (SO_REUSEADDR here, SO_EXCLUSIVEADDRUSE on Windows)
// and wait with poll() or WSAPoll().
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace launcher {

// One socket, closed when its owner is done with it. Move-only. Every socket
// made here is non-blocking and never inherited by a child process.
class LoopbackSocket {
 public:
  // The system's handle (a descriptor here, a SOCKET on Windows) in a width
  // that holds either; `invalidHandle` when there is none.
  using Handle = std::uintptr_t;
  static constexpr Handle invalidHandle = ~Handle(0);

  LoopbackSocket() = default;
  // For the platform bodies: takes ownership of `handle`.
  explicit LoopbackSocket(Handle handle) : handle_(handle) {}
  ~LoopbackSocket() { close(); }
  LoopbackSocket(LoopbackSocket&& other) noexcept : handle_(other.release()) {}
  LoopbackSocket& operator=(LoopbackSocket&& other) noexcept;
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  [[nodiscard]] bool valid() const { return handle_ != invalidHandle; }
  [[nodiscard]] Handle handle() const { return handle_; }
  void close();

 private:
  Handle release() {
    Handle handle = handle_;
    handle_ = invalidHandle;
    return handle;
  }
  Handle handle_ = invalidHandle;
};

// Binds 127.0.0.1:`port` (0: a free port the system picks) and listens. The
// port is this socket's alone: a second listener on it fails, while a port
// whose last connections are still closing can be bound again at once. False,
// with the system's text in `error`, when it cannot be bound.
[[nodiscard]] bool listenOnLoopback(uint16_t port, LoopbackSocket& listener, uint16_t& boundPort,
                                    std::string& error);

enum class SocketIo {
  Done,        // something was accepted, read or written
  WouldBlock,  // nothing now: wait for the socket to be ready
  Closed,      // the other side closed (reads: no more bytes will come)
  Failed,      // any other error; the socket is of no more use
};

// Accepts one waiting connection into `connection`, with the peer's address
// as text ("127.0.0.1") in `peer`. Failed also when the process is out of
// descriptors; the caller should wait before trying again.
[[nodiscard]] SocketIo acceptConnection(const LoopbackSocket& listener, LoopbackSocket& connection,
                                        std::string& peer);

// Reads what is there, up to `capacity` bytes, into `buffer`; `got` is set
// on Done (never 0 then).
[[nodiscard]] SocketIo receiveSome(const LoopbackSocket& socket, char* buffer, std::size_t capacity,
                                   std::size_t& got);

// Writes what fits now of `data`; `sent` is set on Done (never 0 then). A
// peer that went away is Failed, never a signal.
[[nodiscard]] SocketIo sendSome(const LoopbackSocket& socket, const char* data, std::size_t size,
                                std::size_t& sent);

// No more writes: the peer reads an end after what was sent.
void shutdownSending(const LoopbackSocket& socket);

// Wakes a waitForSockets on another thread. Any thread may call wake().
class SocketWaker {
 public:
  SocketWaker() = default;
  ~SocketWaker();
  SocketWaker(const SocketWaker&) = delete;
  SocketWaker& operator=(const SocketWaker&) = delete;

  // False, with `error` filled, when the system has nothing to wake with.
  [[nodiscard]] bool open(std::string& error);
  void wake();

  // For the platform bodies: what the wait watches, and the end it writes to.
  LoopbackSocket::Handle readEnd = LoopbackSocket::invalidHandle;
  LoopbackSocket::Handle writeEnd = LoopbackSocket::invalidHandle;
};

struct SocketWait {
  const LoopbackSocket* socket = nullptr;
  bool read = false;   // wake when it can be read (or accepted from)
  bool write = false;  // wake when it can be written
  bool ready = false;  // out: it is ready, closed or failed; try it and see
};

// Waits until one of `waits` is ready, `waker` was woken (the wake is used
// up) or `timeoutMs` passed (-1: no limit). The number of ready sockets (0
// after a wake, a timeout or an interrupted wait); -1 with `error` filled
// when the wait itself fails.
[[nodiscard]] int waitForSockets(std::span<SocketWait> waits, SocketWaker* waker, int timeoutMs,
                                 std::string& error);

}  // namespace launcher
