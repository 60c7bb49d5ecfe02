// A real nginx serving a folder on 127.0.0.1 for integration tests and
// benchmarks: one worker, sendfile, its own prefix, config and logs in a
// temporary folder, and an access log the tests read to see exactly which
// objects were fetched and how many bytes went out. Not thread-safe: one test
// thread owns it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher::testing {

struct NginxOptions {
  // nginx's limit_rate per request ("512k", "2m"); empty: unlimited. nginx
  // sends the first second's worth at once, so this slows only answers larger
  // than the rate.
  std::string limitRate;
  // When non-zero, all requests together are served at this many a second
  // (excess ones wait, none is refused). Slows a transfer of many small
  // objects so a test can stop a sync while objects are still on the wire.
  int requestsPerSecond = 0;
  // When set, requests under /api/ go to the HTTP server listening on this
  // Unix socket (the reference server's application), with the client's
  // address in X-Real-IP; everything else is still served from the root.
  std::filesystem::path apiSocket;
  // When both are set, nginx also serves the same root over TLS with this
  // certificate, on a port of its own (secureUrl). Tests make their own
  // certificate and trust it with trustCertificatesForTesting.
  std::filesystem::path tlsCertificate;
  std::filesystem::path tlsKey;
  // Extra lines for the server block (a "location" that redirects, say).
  std::string serverConfig;
};

// One line of the access log.
struct AccessEntry {
  std::string uri;     // the request URI as sent ("/objects/ab/ab12...")
  int status = 0;      // answer status
  uint64_t bytes = 0;  // body bytes sent ($body_bytes_sent)
  bool complete = false;  // the whole answer went out ($request_completion)
};

class NginxServer {
 public:
  // True when the nginx binary is installed; tests skip otherwise.
  [[nodiscard]] static bool available();
  [[nodiscard]] static std::filesystem::path binary();

  // Starts nginx serving `root` and waits until it answers. On failure
  // started() is false and error() says why; nothing is left running.
  explicit NginxServer(std::filesystem::path root, NginxOptions options = {});
  // Stops nginx (SIGTERM, then SIGKILL of its process group after 5 s) and
  // removes the temporary prefix.
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] int port() const { return port_; }
  // "http://127.0.0.1:<port>" + path (path starts with "/").
  [[nodiscard]] std::string url(const std::string& path) const;
  // "https://127.0.0.1:<TLS port>" + path; only with a certificate.
  [[nodiscard]] std::string secureUrl(const std::string& path) const;
  [[nodiscard]] const std::filesystem::path& accessLogPath() const { return accessLog_; }

  // Waits until nginx has no client connection but the one asking (so every
  // request of a killed or finished client has been logged); false after
  // `timeoutMs`.
  [[nodiscard]] bool waitIdle(int timeoutMs = 10000) const;

  // Entries logged since the last clearAccessLog(), oldest first.
  [[nodiscard]] std::vector<AccessEntry> accessLog() const;
  // Forgets the entries logged so far (waits for idle first, so a straggler of
  // the previous client cannot land in the next window).
  void clearAccessLog();
  // Sum of body bytes of the logged requests whose URI begins with `prefix`.
  [[nodiscard]] uint64_t bytesServed(const std::string& prefix) const;

 private:
  bool launch(std::string& error);
  void stop();

  std::filesystem::path root_;
  NginxOptions options_;
  std::filesystem::path prefix_;
  std::filesystem::path accessLog_;
  std::filesystem::path errorLog_;
  uint64_t logOffset_ = 0;
  int port_ = 0;
  int tlsPort_ = 0;
  int pid_ = -1;
  std::string error_;
};

// Writes a self-signed certificate for 127.0.0.1 (P-256, valid one day) and
// its key, with the openssl program. False with `error` when it failed.
[[nodiscard]] bool makeTestCertificate(const std::filesystem::path& certificate, const std::filesystem::path& key,
                                       std::string& error);

// The object hash of an access-log URI ".../<h[0:2]>/<h>" (the last path
// component when it is a 64-digit lowercase digest), else "".
[[nodiscard]] std::string objectHashOfUri(const std::string& uri);

}  // namespace launcher::testing
