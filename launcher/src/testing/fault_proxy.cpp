#include "testing/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace launcher::testing {

namespace {

constexpr size_t maxHead = 64 * 1024;

bool sendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

// The value of header `name` (lowercase) in an HTTP head, or "".
std::string headerValue(const std::string& head, const std::string& name) {
  const std::string l = lower(head);
  const size_t at = l.find("\r\n" + name + ":");
  if (at == std::string::npos) return {};
  size_t from = at + 3 + name.size();
  while (from < head.size() && head[from] == ' ') ++from;
  const size_t end = head.find("\r\n", from);
  return head.substr(from, end - from);
}

}  // namespace

const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::None: return "none";
    case Fault::Reset: return "reset";
    case Fault::Stall: return "stall";
    case Fault::Truncate: return "truncate";
    case Fault::Flip: return "flip";
    case Fault::ServerError: return "5xx";
    case Fault::WrongLength: return "wrong length";
  }
  return "?";
}

struct FaultProxy::Impl {
  int upstreamPort = 0;
  int listenFd = -1;
  int port = 0;
  std::thread acceptor;

  mutable std::mutex mutex;
  std::condition_variable stopped;  // wakes stalls at the end
  bool stopping = false;
  FaultPlan plan;
  std::mt19937 random;
  int requests = 0;
  std::map<Fault, int> counts;
  std::vector<int> clients;  // open client descriptors
  int serving = 0;           // connection threads still running (detached)

  // Draws the fault for one request, and a number for where it strikes.
  Fault draw(const std::string& path, uint32_t& where, int& stallMs) {
    std::lock_guard lock(mutex);
    ++requests;
    where = random();
    stallMs = plan.stallMs;
    Fault fault = Fault::None;
    if (path.rfind(plan.pathPrefix, 0) == 0) {
      const double r = std::uniform_real_distribution<double>(0, 1)(random);
      double edge = 0;
      const std::pair<double, Fault> table[] = {{plan.reset, Fault::Reset},       {plan.stall, Fault::Stall},
                                                {plan.truncate, Fault::Truncate}, {plan.flip, Fault::Flip},
                                                {plan.serverError, Fault::ServerError},
                                                {plan.wrongLength, Fault::WrongLength}};
      for (const auto& [rate, kind] : table) {
        edge += rate;
        if (r < edge) {
          fault = kind;
          break;
        }
      }
    }
    ++counts[fault];
    return fault;
  }

  // The whole answer of the server to `head` (sent with Connection: close).
  std::string fetch(std::string head) {
    const size_t connection = lower(head).find("\r\nconnection:");
    if (connection != std::string::npos) head.erase(connection, head.find("\r\n", connection + 2) - connection);
    head.insert(head.size() - 2, "Connection: close\r\n");
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(upstreamPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 && sendAll(fd, head.data(), head.size())) {
      char buffer[64 * 1024];
      for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
      }
    }
    ::close(fd);
    return answer;
  }

  // Waits `ms` or until the proxy stops; false when it stopped.
  bool pause(int ms) {
    std::unique_lock lock(mutex);
    return !stopped.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping; });
  }

  // Answers one request; false when the client connection must end.
  bool answer(int client, const std::string& head) {
    const size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t s1 = line.find(' ');
    const size_t s2 = line.find(' ', s1 + 1);
    const std::string path = s1 == std::string::npos ? "/" : line.substr(s1 + 1, s2 - s1 - 1);
    const bool clientCloses = lower(headerValue(head, "connection")) == "close";
    uint32_t where = 0;
    int stallMs = 0;
    const Fault fault = draw(path, where, stallMs);
    if (fault == Fault::ServerError) {
      static const char* const statuses[] = {"500 Internal Server Error", "502 Bad Gateway", "503 Service Unavailable"};
      const std::string reply = std::string("HTTP/1.1 ") + statuses[where % 3] + "\r\nContent-Length: 0\r\n\r\n";
      return sendAll(client, reply.data(), reply.size()) && !clientCloses;
    }
    std::string reply = fetch(head);
    const size_t split = reply.find("\r\n\r\n");
    if (reply.empty() || split == std::string::npos) return false;
    std::string responseHead = reply.substr(0, split + 4);
    std::string body = reply.substr(split + 4);
    // Answers sent in chunks pass unspoiled (nginx sends files with lengths).
    const bool framed = !headerValue(responseHead, "content-length").empty();
    const size_t cut = body.empty() ? 0 : where % body.size();
    switch (framed ? fault : Fault::None) {
      case Fault::None:
      case Fault::ServerError:
        break;
      case Fault::Reset: {
        (void)sendAll(client, responseHead.data(), responseHead.size());
        (void)sendAll(client, body.data(), cut);
        linger hard{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        return false;
      }
      case Fault::Stall:
        if (!sendAll(client, responseHead.data(), responseHead.size()) || !sendAll(client, body.data(), cut)) {
          return false;
        }
        if (!pause(stallMs)) return false;
        return sendAll(client, body.data() + cut, body.size() - cut) && !clientCloses;
      case Fault::Truncate:
        (void)sendAll(client, responseHead.data(), responseHead.size());
        (void)sendAll(client, body.data(), cut);
        return false;
      case Fault::Flip:
        if (!body.empty()) body[cut] = static_cast<char>(body[cut] ^ (1 + (where >> 24) % 255));
        break;
      case Fault::WrongLength: {
        const std::string old = "Content-Length: " + headerValue(responseHead, "content-length");
        const size_t at = responseHead.find(old);
        const uint64_t real = body.size();
        const uint64_t told = (where & 1) || real == 0 ? real + 1 + where % 4096 : real - 1 - where % real;
        if (at != std::string::npos) responseHead.replace(at, old.size(), "Content-Length: " + std::to_string(told));
        (void)sendAll(client, responseHead.data(), responseHead.size());
        (void)sendAll(client, body.data(), std::min<uint64_t>(told, real));
        return false;  // what follows could not be framed
      }
    }
    return sendAll(client, responseHead.data(), responseHead.size()) && sendAll(client, body.data(), body.size()) &&
           !clientCloses;
  }

  void serve(int client) {
    std::string pending;
    char buffer[16 * 1024];
    bool open = true;
    while (open) {
      size_t end;
      while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        if (pending.size() > maxHead) return;
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        pending.append(buffer, static_cast<size_t>(n));
      }
      const std::string head = pending.substr(0, end + 4);
      pending.erase(0, end + 4);
      open = answer(client, head);
    }
  }

  void acceptLoop() {
    for (;;) {
      const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      std::unique_lock lock(mutex);
      if (stopping) {
        if (client >= 0) ::close(client);
        return;
      }
      if (client < 0) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      clients.push_back(client);
      ++serving;
      std::thread([this, client] {
        serve(client);
        std::lock_guard done(mutex);
        clients.erase(std::find(clients.begin(), clients.end(), client));
        ::close(client);
        --serving;
        stopped.notify_all();
      }).detach();
    }
  }
};

FaultProxy::FaultProxy(int upstreamPort, FaultPlan plan) : impl_(new Impl) {
  impl_->upstreamPort = upstreamPort;
  impl_->plan = plan;
  impl_->random.seed(plan.seed);
  impl_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  if (impl_->listenFd < 0 || ::bind(impl_->listenFd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::listen(impl_->listenFd, 64) != 0 ||
      ::getsockname(impl_->listenFd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    return;
  }
  impl_->port = ntohs(at.sin_port);
  impl_->acceptor = std::thread([this] { impl_->acceptLoop(); });
}

FaultProxy::~FaultProxy() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    impl_->stopped.notify_all();
  }
  if (impl_->listenFd >= 0) ::shutdown(impl_->listenFd, SHUT_RDWR);
  if (impl_->acceptor.joinable()) impl_->acceptor.join();
  std::unique_lock lock(impl_->mutex);
  // Connection threads see their sockets end and leave; fetches from the
  // server end within its own time.
  for (int fd : impl_->clients) ::shutdown(fd, SHUT_RDWR);
  impl_->stopped.wait(lock, [&] { return impl_->serving == 0; });
  lock.unlock();
  if (impl_->listenFd >= 0) ::close(impl_->listenFd);
}

int FaultProxy::port() const { return impl_->port; }

std::string FaultProxy::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + path;
}

void FaultProxy::setPlan(FaultPlan plan) {
  std::lock_guard lock(impl_->mutex);
  impl_->plan = plan;
  impl_->random.seed(plan.seed);
}

int FaultProxy::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::map<Fault, int> FaultProxy::counts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->counts;
}

}  // namespace launcher::testing
