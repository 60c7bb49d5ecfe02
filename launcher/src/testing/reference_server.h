// The reference update server (tools/server) as the launcher meets it when
// deployed, for integration tests: gunicorn runs its WSGI application with
// several workers sharing one SQLite database on a Unix socket in a
// temporary folder, and a real nginx on a free loopback port serves the feed
// folder and passes /api/ on. Both end with the object, and also when the
// test process dies without running its destructor (the kernel sends them
// SIGTERM). Not thread-safe: create, use and destroy it on one test thread.
//
// Every request reaches the server from 127.0.0.1, which the server takes as
// one client: an "install" event is credited once per referral code for the
// life of the database, however many launchers report it, and the server's
// rate limits count every request against that one client network (by
// default 10 new accounts an hour, 30 sign-ins per 10 minutes, 60 events an
// hour; a refusal is 429 with Retry-After). Passwords are hashed at the real
// cost: about a second of one core per account created or sign-in.
#pragma once

#include "testing/nginx_server.h"

#include <filesystem>
#include <memory>
#include <string>

namespace launcher::testing {

struct ReferenceServerOptions {
  // The status answer: "name", "address" (host:port; empty leaves the member
  // out, so the launcher falls back to the feed's host), "maxPlayers" and
  // "playerCount".
  std::string name = "Vantor Test Server";
  std::string address = "127.0.0.1:3000";
  int maxPlayers = 64;
  int playerCount = 0;
  // How long a sign-in token stays valid, in seconds.
  int tokenLifetimeSeconds = 30 * 24 * 3600;
  // gunicorn worker processes.
  int workers = 2;
  // Where the database lives; empty: a folder of the server's own, removed
  // with it. Pass one to keep the accounts across two servers.
  std::filesystem::path dataDir;
};

class ReferenceServer {
 public:
  // True when nginx, gunicorn and python3 are installed; tests skip otherwise.
  [[nodiscard]] static bool available();

  // Starts gunicorn with `repo`/tools/server's application, waits until it
  // answers, then nginx serving `feedRoot`, and waits until /api/status
  // answers through nginx. On failure started() is false, error() says why
  // (with the servers' logs) and nothing is left running.
  ReferenceServer(std::filesystem::path repo, std::filesystem::path feedRoot, ReferenceServerOptions options = {});
  // Stops both (SIGTERM, then SIGKILL of each process group after 10 s) and
  // removes the temporary folder.
  ~ReferenceServer();
  ReferenceServer(const ReferenceServer&) = delete;
  ReferenceServer& operator=(const ReferenceServer&) = delete;

  // True while both nginx and the application run.
  [[nodiscard]] bool started() const { return nginx_ && nginx_->started() && appPid_ > 0; }
  [[nodiscard]] const std::string& error() const { return error_; }

  // "http://127.0.0.1:<port>": the feed base (VANTOR_UPDATE_FEED) and the
  // account server at once.
  [[nodiscard]] std::string base() const;
  // base() + path (path starts with "/").
  [[nodiscard]] std::string url(const std::string& path) const { return base() + path; }
  // The SQLite database, for tests that look at what was stored.
  [[nodiscard]] std::filesystem::path databasePath() const { return dataDir_ / "server.db"; }
  [[nodiscard]] const std::filesystem::path& dataDir() const { return dataDir_; }
  // The Unix socket the application listens on behind nginx.
  [[nodiscard]] const std::filesystem::path& applicationSocket() const { return socket_; }
  // The gunicorn master while it runs (else -1); it leads a process group
  // of its own that holds its workers.
  [[nodiscard]] int applicationPid() const { return appPid_; }
  // The nginx in front (its access log shows every request, /api/ included).
  [[nodiscard]] NginxServer& nginx() { return *nginx_; }

  // Stops the application only and returns once it has exited: nginx keeps
  // serving the feed and answers /api/ with its own "502 Bad Gateway" HTML
  // page, as a deployed server whose application is down does.
  void stopApplication();
  // Starts the application again on the same data and waits until nginx
  // passes /api/status to it; false with error() on failure.
  [[nodiscard]] bool startApplication();

 private:
  bool launchApplication(std::string& error);
  bool waitForApplication(std::string& error);
  std::string logs() const;

  std::filesystem::path repo_;
  std::filesystem::path feedRoot_;
  ReferenceServerOptions options_;
  std::filesystem::path prefix_;
  std::filesystem::path dataDir_;
  std::filesystem::path socket_;
  std::unique_ptr<NginxServer> nginx_;
  int appPid_ = -1;
  std::string error_;
};

}  // namespace launcher::testing
