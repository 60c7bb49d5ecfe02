#include "testing/nginx_server.h"

#include "testing/child_process.h"
#include "testing/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>


namespace launcher::testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* statusPath = "/.nginx-status";

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A port nobody listens on right now. nginx binds it a moment later; the
// caller retries with another when that loses a race.
int pickFreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

// A plain HTTP/1.0 GET on loopback; the whole answer (head and body) or
// false when nothing answers.
bool localGet(int port, const std::string& path, std::string& answer) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  timeval tv{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return false;
  }
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    ::close(fd);
    return false;
  }
  answer.clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return answer.rfind("HTTP/", 0) == 0;
}

std::string configText(const fs::path& prefix, const fs::path& root, int port, int tlsPort,
                       const NginxOptions& options, const fs::path& accessLog, const fs::path& errorLog) {
  std::ostringstream c;
  c << "worker_processes 1;\n"
    << "daemon off;\n"
    << "master_process on;\n";
  // As root nginx would drop its worker to "nobody", who may not read the
  // test's folders.
  if (::geteuid() == 0) c << "user root;\n";
  c << "pid \"" << (prefix / "nginx.pid").string() << "\";\n"
    << "lock_file \"" << (prefix / "nginx.lock").string() << "\";\n"
    << "error_log \"" << errorLog.string() << "\" info;\n"
    << "events { worker_connections 512; }\n"
    << "http {\n"
    << "  default_type application/octet-stream;\n"
    << "  types { application/json json; }\n"
    << "  sendfile on;\n"
    << "  tcp_nopush on;\n"
    << "  keepalive_timeout 30s;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    c << "  " << temp << "_temp_path \"" << (prefix / temp).string() << "\";\n";
  }
  if (options.requestsPerSecond > 0) {
    c << "  limit_req_zone $binary_remote_addr zone=pace:1m rate=" << options.requestsPerSecond << "r/s;\n";
  }
  c << "  log_format vantor '$request_uri\\t$status\\t$body_bytes_sent\\t$request_completion';\n"
    << "  access_log \"" << accessLog.string() << "\" vantor;\n"
    << "  server {\n"
    << "    listen 127.0.0.1:" << port << ";\n"
    << "    root \"" << root.string() << "\";\n";
  if (tlsPort > 0) {
    c << "    listen 127.0.0.1:" << tlsPort << " ssl;\n"
      << "    ssl_certificate \"" << options.tlsCertificate.string() << "\";\n"
      << "    ssl_certificate_key \"" << options.tlsKey.string() << "\";\n";
  }
  if (!options.serverConfig.empty()) c << options.serverConfig << "\n";
  if (!options.limitRate.empty()) c << "    limit_rate " << options.limitRate << ";\n";
  // Every client is 127.0.0.1, so the address keys one shared pace.
  if (options.requestsPerSecond > 0) c << "    location / { limit_req zone=pace burst=100000; }\n";
  c << "    location = " << statusPath << " { stub_status; access_log off; limit_rate 0; }\n";
  if (!options.apiSocket.empty()) {
    c << "    location /api/ {\n"
      << "      proxy_pass \"http://unix:" << options.apiSocket.string() << ":\";\n"
      << "      proxy_set_header X-Real-IP $remote_addr;\n"
      << "    }\n";
  }
  c << "  }\n"
    << "}\n";
  return c.str();
}

}  // namespace

fs::path NginxServer::binary() { return "/usr/sbin/nginx"; }

bool NginxServer::available() { return ::access(binary().c_str(), X_OK) == 0; }

NginxServer::NginxServer(fs::path root, NginxOptions options)
    : root_(fs::absolute(std::move(root))), options_(std::move(options)) {
  std::random_device rd;
  std::error_code ec;
  for (int attempt = 0; attempt < 100 && prefix_.empty(); ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("vantor-nginx-" + std::to_string(rd()));
    if (fs::create_directory(candidate, ec)) prefix_ = candidate;
  }
  if (prefix_.empty()) {
    error_ = "could not create a folder for nginx";
    return;
  }
  accessLog_ = prefix_ / "access.log";
  errorLog_ = prefix_ / "error.log";
  if (!available()) {
    error_ = binary().string() + " is not installed";
    return;
  }
  // A port picked free can be taken before nginx binds it: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (launch(error_)) {
      error_.clear();
      return;
    }
    if (error_.find("Address already in use") == std::string::npos) return;
  }
}

NginxServer::~NginxServer() {
  stop();
  std::error_code ec;
  if (!prefix_.empty()) fs::remove_all(prefix_, ec);
}

bool NginxServer::launch(std::string& error) {
  port_ = pickFreePort();
  const bool tls = !options_.tlsCertificate.empty() && !options_.tlsKey.empty();
  tlsPort_ = 0;
  for (int attempt = 0; tls && attempt < 10 && (tlsPort_ == 0 || tlsPort_ == port_); ++attempt) {
    tlsPort_ = pickFreePort();
  }
  if (port_ == 0 || (tls && (tlsPort_ == 0 || tlsPort_ == port_))) {
    error = "no free port on 127.0.0.1";
    return false;
  }
  const fs::path conf = prefix_ / "nginx.conf";
  {
    std::ofstream out(conf, std::ios::binary | std::ios::trunc);
    out << configText(prefix_, root_, port_, tlsPort_, options_, accessLog_, errorLog_);
    if (!out) {
      error = "could not write " + conf.string();
      return false;
    }
  }
  std::error_code ec;
  fs::remove(accessLog_, ec);
  fs::remove(errorLog_, ec);
  logOffset_ = 0;
  const fs::path output = prefix_ / "stderr.log";

  const std::string bin = binary().string();
  const std::string prefixArg = prefix_.string() + "/";
  const std::string confArg = conf.string();
  const std::string errorArg = errorLog_.string();
  ServerLaunch launch;
  launch.argv = {bin, "-p", prefixArg, "-c", confArg, "-e", errorArg};
  launch.output = output;
  const int pid = startServerProcess(launch, error);
  if (pid < 0) return false;
  pid_ = pid;

  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error = "nginx exited at start: " + slurp(output) + slurp(errorLog_);
      return false;
    }
    std::string answer;
    if (localGet(port_, statusPath, answer) && answer.find("Active connections") != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop();
  error = "nginx did not answer within 10 s: " + slurp(errorLog_);
  return false;
}

void NginxServer::stop() {
  stopServerProcess(pid_, std::chrono::seconds(5));
  pid_ = -1;
}

std::string NginxServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string NginxServer::secureUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(tlsPort_) + path;
}

bool makeTestCertificate(const fs::path& certificate, const fs::path& key, std::string& error) {
  const ProcessResult made = runProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                                         "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key.string(), "-out",
                                         certificate.string()},
                                        60000);
  if (made.exitCode != 0) {
    error = "openssl could not make a certificate: " + describe(made);
    return false;
  }
  return true;
}

bool NginxServer::waitIdle(int timeoutMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    std::string answer;
    if (localGet(port_, statusPath, answer)) {
      const auto at = answer.find("Active connections:");
      if (at != std::string::npos && std::strtol(answer.c_str() + at + 19, nullptr, 10) <= 1) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < deadline);
  return false;
}

std::vector<AccessEntry> NginxServer::accessLog() const {
  std::vector<AccessEntry> entries;
  std::ifstream in(accessLog_, std::ios::binary);
  if (!in) return entries;
  in.seekg(static_cast<std::streamoff>(logOffset_));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    AccessEntry e;
    std::string status, bytes, completion;
    std::getline(fields, e.uri, '\t');
    std::getline(fields, status, '\t');
    std::getline(fields, bytes, '\t');
    std::getline(fields, completion, '\t');
    if (e.uri.empty() || status.empty() || bytes.empty()) continue;
    e.status = std::atoi(status.c_str());
    e.bytes = std::strtoull(bytes.c_str(), nullptr, 10);
    e.complete = completion == "OK";
    entries.push_back(std::move(e));
  }
  return entries;
}

void NginxServer::clearAccessLog() {
  (void)waitIdle();
  std::error_code ec;
  const auto size = fs::file_size(accessLog_, ec);
  logOffset_ = ec ? 0 : size;
}

uint64_t NginxServer::bytesServed(const std::string& prefix) const {
  uint64_t sum = 0;
  for (const auto& e : accessLog()) {
    if (e.uri.rfind(prefix, 0) == 0) sum += e.bytes;
  }
  return sum;
}

std::string objectHashOfUri(const std::string& uri) {
  const auto slash = uri.rfind('/');
  const std::string last = slash == std::string::npos ? uri : uri.substr(slash + 1);
  if (last.size() != 64) return {};
  for (char ch : last) {
    if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return {};
  }
  return last;
}

}  // namespace launcher::testing
