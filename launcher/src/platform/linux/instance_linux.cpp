// The single-instance lock (an OFD write lock on launcher.lock) and the
// activation socket (launcher.sock), both in the runtime folder.
#include "platform/instance.h"

#include "platform/linux/posix_helpers.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <system_error>
#include <thread>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* activateLine = "activate\n";
// A connection gets this long to say what it wants.
constexpr guint clientTimeoutMs = 2000;
constexpr size_t maxClientBytes = 64;
constexpr size_t maxClients = 16;

fs::path socketPath() { return runtimeFolder() / "launcher.sock"; }

bool fillAddress(const fs::path& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

fs::path instanceLockPath() { return runtimeFolder() / "launcher.lock"; }

bool isInstanceLockHeld() {
  int fd = ::open(instanceLockPath().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

InstanceLock::~InstanceLock() { release(); }

bool InstanceLock::open(std::string& error) {
  if (fd_ >= 0) return true;
  const fs::path path = instanceLockPath();
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error = "Can't open " + path.string() + ": " + posix::errnoText(errno);
    return false;
  }
  return true;
}

LockResult InstanceLock::tryAcquire(std::string& error) {
  if (held_) return LockResult::Acquired;
  if (!open(error)) return LockResult::Failed;
  struct flock request {};
  request.l_type = F_WRLCK;
  request.l_whence = SEEK_SET;
  if (::fcntl(fd_, F_OFD_SETLK, &request) == 0) {
    held_ = true;
    return LockResult::Acquired;
  }
  if (errno == EAGAIN || errno == EACCES) return LockResult::HeldElsewhere;
  error = "Can't lock " + instanceLockPath().string() + ": " + posix::errnoText(errno);
  return LockResult::Failed;
}

LockResult InstanceLock::acquireWaiting(int timeoutMs, std::string& error) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const LockResult result = tryAcquire(error);
    if (result != LockResult::HeldElsewhere) return result;
    if (std::chrono::steady_clock::now() >= deadline) return LockResult::HeldElsewhere;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void InstanceLock::release() {
  if (fd_ >= 0) ::close(fd_);  // the last descriptor of the description: the lock goes
  fd_ = -1;
  held_ = false;
}

bool requestActivation() {
  sockaddr_un address;
  if (!fillAddress(socketPath(), address)) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (ok) {
    // A local stream socket takes these few bytes at once; the poll keeps a
    // wedged listener from holding us.
    pollfd p{fd, POLLOUT, 0};
    ok = ::poll(&p, 1, 1000) == 1 && ::send(fd, activateLine, std::strlen(activateLine), MSG_NOSIGNAL) ==
                                         static_cast<ssize_t>(std::strlen(activateLine));
  }
  ::close(fd);
  return ok;
}

struct ActivationListener::Impl {
  struct Client {
    guint readSource = 0;
    guint timeoutSource = 0;
    std::string received;
  };

  int listenFd = -1;
  guint listenSource = 0;
  fs::path path;
  std::function<void()> onActivate;
  std::map<int, Client> clients;

  void closeClient(int fd) {
    auto it = clients.find(fd);
    if (it == clients.end()) return;
    if (it->second.readSource != 0) g_source_remove(it->second.readSource);
    if (it->second.timeoutSource != 0) g_source_remove(it->second.timeoutSource);
    clients.erase(it);
    ::close(fd);
  }

  struct ClientRef {
    Impl* impl;
    int fd;
  };

  static gboolean onTimeout(gpointer data) {
    auto* ref = static_cast<ClientRef*>(data);
    auto it = ref->impl->clients.find(ref->fd);
    if (it != ref->impl->clients.end()) it->second.timeoutSource = 0;  // this source ends itself
    ref->impl->closeClient(ref->fd);
    return G_SOURCE_REMOVE;
  }

  static gboolean onClientData(gint fd, GIOCondition, gpointer data) {
    auto* impl = static_cast<ClientRef*>(data)->impl;
    auto it = impl->clients.find(fd);
    if (it == impl->clients.end()) return G_SOURCE_REMOVE;
    char buffer[maxClientBytes];
    ssize_t n;
    do {
      n = ::recv(fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return G_SOURCE_CONTINUE;
    bool activate = false;
    bool done = n <= 0;
    if (n > 0) {
      it->second.received.append(buffer, static_cast<size_t>(n));
      const size_t end = it->second.received.find('\n');
      if (end != std::string::npos) {
        activate = it->second.received.substr(0, end) == "activate";
        done = true;
      } else if (it->second.received.size() >= maxClientBytes) {
        done = true;
      }
    }
    if (!done) return G_SOURCE_CONTINUE;
    it->second.readSource = 0;  // removed by returning G_SOURCE_REMOVE
    impl->closeClient(fd);
    if (activate && impl->onActivate) impl->onActivate();
    return G_SOURCE_REMOVE;
  }

  static gboolean onConnection(gint, GIOCondition, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    for (;;) {
      const int fd = ::accept4(impl->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno == EINTR) continue;
        return G_SOURCE_CONTINUE;  // EAGAIN: all taken; anything else: try again later
      }
      if (impl->clients.size() >= maxClients) {
        ::close(fd);
        continue;
      }
      Client& client = impl->clients[fd];
      auto destroyRef = [](gpointer p) { delete static_cast<ClientRef*>(p); };
      client.readSource = g_unix_fd_add_full(G_PRIORITY_DEFAULT, fd,
                                             static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                             &Impl::onClientData, new ClientRef{impl, fd}, destroyRef);
      client.timeoutSource =
          g_timeout_add_full(G_PRIORITY_DEFAULT, clientTimeoutMs, &Impl::onTimeout, new ClientRef{impl, fd}, destroyRef);
    }
  }
};

ActivationListener::~ActivationListener() { stop(); }

bool ActivationListener::start(std::function<void()> onActivate, std::string& error) {
  stop();
  auto impl = std::make_unique<Impl>();
  impl->path = socketPath();
  impl->onActivate = std::move(onActivate);
  sockaddr_un address;
  if (!fillAddress(impl->path, address)) {
    error = "The socket path " + impl->path.string() + " is too long";
    return false;
  }
  impl->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (impl->listenFd < 0) {
    error = "Can't make a socket: " + posix::errnoText(errno);
    return false;
  }
  ::unlink(impl->path.c_str());
  if (::bind(impl->listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(impl->listenFd, 8) != 0) {
    error = "Can't listen on " + impl->path.string() + ": " + posix::errnoText(errno);
    ::close(impl->listenFd);
    return false;
  }
  impl->listenSource = g_unix_fd_add(impl->listenFd, G_IO_IN, &Impl::onConnection, impl.get());
  impl_ = impl.release();
  return true;
}

void ActivationListener::stop() {
  if (!impl_) return;
  while (!impl_->clients.empty()) impl_->closeClient(impl_->clients.begin()->first);
  if (impl_->listenSource != 0) g_source_remove(impl_->listenSource);
  ::close(impl_->listenFd);
  ::unlink(impl_->path.c_str());
  delete impl_;
  impl_ = nullptr;
}

}  // namespace launcher
