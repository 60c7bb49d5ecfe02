#include "testing/reference_server.h"

#include "testing/server_process.h"
#include "update/http.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

extern char** environ;

namespace launcher::testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* gunicornBinary = "/usr/bin/gunicorn";
constexpr const char* pythonBinary = "/usr/bin/python3";
// Python starts slowly on a loaded machine, the more under a sanitizer build's
// parallel tests; a healthy start takes well under a second.
constexpr auto startTimeout = std::chrono::seconds(60);
constexpr auto stopTimeout = std::chrono::seconds(10);

std::string tail(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.size() > 3000 ? "..." + text.substr(text.size() - 3000) : text;
}

// The status code of GET `path` from the HTTP server on a Unix socket, or 0
// when nothing answers (yet).
int unixGetStatus(const fs::path& socketPath, const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  timeval tv{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string name = socketPath.string();
  std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);  // length checked by the constructor
  int status = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char head[64] = {};
      size_t got = 0;
      while (got < sizeof head - 1) {
        const ssize_t n = ::recv(fd, head + got, sizeof head - 1 - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      // "HTTP/1.x NNN ..."
      if (got >= 12 && std::strncmp(head, "HTTP/1.", 7) == 0) status = std::atoi(head + 9);
    }
  }
  ::close(fd);
  return status;
}

// Ends a process group led by `pid`: SIGTERM to the leader, a wait of up to
// `stopTimeout`, then SIGKILL to whatever of the group is left. Reaps the
// leader.
}  // namespace

bool ReferenceServer::available() {
  return NginxServer::available() && ::access(gunicornBinary, X_OK) == 0 && ::access(pythonBinary, X_OK) == 0;
}

ReferenceServer::ReferenceServer(fs::path repo, fs::path feedRoot, ReferenceServerOptions options)
    : repo_(fs::absolute(std::move(repo))), feedRoot_(fs::absolute(std::move(feedRoot))), options_(std::move(options)) {
  std::random_device rd;
  std::error_code ec;
  for (int attempt = 0; attempt < 100 && prefix_.empty(); ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("vantor-ref-" + std::to_string(rd()));
    if (fs::create_directory(candidate, ec)) prefix_ = candidate;
  }
  if (prefix_.empty()) {
    error_ = "could not create a folder for the reference server";
    return;
  }
  dataDir_ = options_.dataDir.empty() ? prefix_ / "data" : fs::absolute(options_.dataDir);
  socket_ = prefix_ / "api.sock";
  if (socket_.string().size() >= sizeof(sockaddr_un{}.sun_path)) {
    error_ = "the temporary folder's path is too long for a Unix socket: " + socket_.string();
    return;
  }
  if (!available()) {
    error_ = std::string("nginx, ") + gunicornBinary + " and " + pythonBinary + " are needed (scripts/setup.sh)";
    return;
  }
  if (!launchApplication(error_) || !waitForApplication(error_)) {
    stopApplication();
    return;
  }
  NginxOptions nginxOptions;
  nginxOptions.apiSocket = socket_;
  nginx_ = std::make_unique<NginxServer>(feedRoot_, nginxOptions);
  if (!nginx_->started()) {
    error_ = "nginx: " + nginx_->error();
    stopApplication();
    return;
  }
  // The whole path a client takes: nginx, the pass to the socket, a worker.
  std::string body;
  if (!fetchText(url("/api/status"), body, error_)) {
    error_ = "/api/status through nginx failed: " + error_ + "\n" + logs();
    stopApplication();
    nginx_.reset();
  }
}

ReferenceServer::~ReferenceServer() {
  stopApplication();
  nginx_.reset();
  std::error_code ec;
  if (!prefix_.empty()) fs::remove_all(prefix_, ec);
}

std::string ReferenceServer::base() const {
  return nginx_ ? nginx_->url("") : std::string();
}

bool ReferenceServer::launchApplication(std::string& error) {
  const std::string bin = gunicornBinary;
  std::vector<std::string> args{bin,
                                "--bind",
                                "unix:" + socket_.string(),
                                "--workers",
                                std::to_string(options_.workers),
                                "--pythonpath",
                                (repo_ / "tools" / "server").string(),
                                "--graceful-timeout",
                                "3",
                                "--error-logfile",
                                (prefix_ / "gunicorn.log").string(),
                                "--worker-tmp-dir",
                                prefix_.string(),
                                "vantor_server.wsgi:application"};
  // This process's environment without anything that could reconfigure the
  // server behind the test's back, plus the server's own settings.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.rfind("VANTOR_SERVER_", 0) == 0 || entry.rfind("GUNICORN_CMD_ARGS=", 0) == 0) continue;
    env.push_back(entry);
  }
  env.push_back("VANTOR_SERVER_DATA=" + dataDir_.string());
  env.push_back("VANTOR_SERVER_NAME=" + options_.name);
  env.push_back("VANTOR_SERVER_ADDRESS=" + options_.address);
  env.push_back("VANTOR_SERVER_MAX_PLAYERS=" + std::to_string(options_.maxPlayers));
  env.push_back("VANTOR_SERVER_PLAYERS=" + std::to_string(options_.playerCount));
  env.push_back("VANTOR_SERVER_TOKEN_LIFETIME=" + std::to_string(options_.tokenLifetimeSeconds));
  env.push_back("VANTOR_SERVER_TRUST_PROXY=1");  // only nginx can reach the socket
  env.push_back("PYTHONDONTWRITEBYTECODE=1");    // nothing written into the source tree

  ServerLaunch launch;
  launch.argv = std::move(args);
  launch.env = std::move(env);
  // A folder of its own: gunicorn reads a ./gunicorn.conf.py when it finds one.
  launch.folder = prefix_;
  launch.output = prefix_ / "gunicorn.out";
  launch.appendOutput = true;
  const int pid = startServerProcess(launch, error);
  if (pid < 0) return false;
  appPid_ = pid;
  return true;
}

bool ReferenceServer::waitForApplication(std::string& error) {
  const auto deadline = Clock::now() + startTimeout;
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(appPid_, &status, WNOHANG) == appPid_) {
      appPid_ = -1;
      error = "gunicorn exited at start:\n" + logs();
      return false;
    }
    // 200 only once a worker runs the application; a socket that exists but
    // has no worker yet does not count.
    if (unixGetStatus(socket_, "/api/status") == 200) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error = "the reference server did not answer within 60 s:\n" + logs();
  return false;
}

void ReferenceServer::stopApplication() {
  if (appPid_ <= 0) return;
  stopServerProcess(appPid_, stopTimeout);
  appPid_ = -1;
}

bool ReferenceServer::startApplication() {
  if (!nginx_ || !nginx_->started()) {
    error_ = "the reference server was not started";
    return false;
  }
  if (appPid_ > 0) return true;
  error_.clear();
  if (!launchApplication(error_) || !waitForApplication(error_)) {
    stopApplication();
    return false;
  }
  std::string body;
  if (!fetchText(url("/api/status"), body, error_)) {
    error_ = "/api/status through nginx failed: " + error_ + "\n" + logs();
    return false;
  }
  return true;
}

std::string ReferenceServer::logs() const {
  return "--- gunicorn.log\n" + tail(prefix_ / "gunicorn.log") + "\n--- gunicorn output\n" +
         tail(prefix_ / "gunicorn.out");
}

}  // namespace launcher::testing
