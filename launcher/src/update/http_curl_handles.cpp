#include "update/http_curl_handles.h"

#include <array>
#include <cctype>
#include <mutex>

namespace launcher {

namespace {

using Clock = std::chrono::steady_clock;

class Session {
 public:
  Session() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = curl_share_init();
    if (!share_) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Session::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Session::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  // Never destroyed: handles of threads that outlive main() still use it.
  ~Session() = delete;

  [[nodiscard]] CURLSH* share() const { return share_; }

 private:
  // One mutex per kind of data, as libcurl asks.
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Session*>(self)->mutexFor(data).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<Session*>(self)->mutexFor(data).unlock();
  }
  std::mutex& mutexFor(curl_lock_data data) {
    size_t index = static_cast<size_t>(data);
    return mutexes_[index < mutexes_.size() ? index : 0];
  }

  CURLSH* share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};

// True when the handle's last transfer left its connection open, and that
// connection is to `server` (a redirect may have ended elsewhere).
bool keepsConnectionTo(CURL* h, const std::string& server) {
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD) return false;
  char* effective = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective) != CURLE_OK || !effective) return false;
  return originOf(effective) == server;
}

// The calling thread's easy handle, owned by the thread and cleaned up when
// it ends, with the place at the server its connection goes to. A request
// borrows it for its whole length; a request made while the thread's handle
// is busy (from inside a callback) gets a handle of its own for that one
// request.
class ThreadHandle {
 public:
  ~ThreadHandle() { drop(); }
  ThreadHandle() = default;
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;

  [[nodiscard]] bool busy() const { return busy_; }

  // The handle, reset, with a place at `server` held: kept from the last
  // request when that went to the same server (its connection is reused),
  // else taken from the gate after the old connection is closed.
  ConnectionGate::Wait borrow(const std::string& server, const StopRequested& stop, Clock::time_point deadline,
                              CURL*& out) {
    out = nullptr;
    if (server_ != server) {
      drop();
      const ConnectionGate::Wait wait = serverConnections().acquire(server, stop, deadline);
      if (wait != ConnectionGate::Wait::Taken) return wait;
      server_ = server;
    }
    if (!easy_) easy_ = curl_easy_init();
    if (easy_) curl_easy_reset(easy_);  // keeps the live connection and the share
    busy_ = easy_ != nullptr;
    out = easy_;
    return ConnectionGate::Wait::Taken;
  }

  // The connection stays open only while it goes to the server whose place
  // this thread holds, and nobody waits for a place there.
  void giveBack() {
    busy_ = false;
    if (!easy_ || !keepsConnectionTo(easy_, server_) || serverConnections().waiting(server_) > 0) drop();
  }

  // Closes the connection and gives the place back.
  void drop() {
    if (easy_) curl_easy_cleanup(easy_);
    easy_ = nullptr;
    if (!server_.empty()) serverConnections().release(server_);
    server_.clear();
  }

 private:
  CURL* easy_ = nullptr;
  std::string server_;  // whose place is held; "" for none
  bool busy_ = false;
};

thread_local ThreadHandle threadHandle;

}  // namespace

CURLSH* sharedSession() {
  // Thread-safe first use; kept for the life of the process.
  static Session* session = new Session;
  return session->share();
}

std::string originOf(const std::string& url) {
  CURLU* parsed = curl_url();
  if (!parsed) return {};
  std::string origin;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
      origin = std::string(scheme) + "://" + host + ":" + port;
      for (char& c : origin) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
  }
  curl_url_cleanup(parsed);
  return origin;
}

Request::Request(const std::string& url, const StopRequested& stop, Clock::time_point deadline) {
  const std::string server = originOf(url);
  if (!threadHandle.busy()) {
    wait_ = threadHandle.borrow(server, stop, deadline, handle_);
    if (wait_ == ConnectionGate::Wait::Taken && !handle_) threadHandle.giveBack();
    return;
  }
  oneOff_ = true;
  wait_ = serverConnections().acquire(server, stop, deadline);
  if (wait_ != ConnectionGate::Wait::Taken) return;
  server_ = server;
  handle_ = curl_easy_init();
}

Request::~Request() {
  if (oneOff_) {
    if (handle_) curl_easy_cleanup(handle_);
    if (!server_.empty()) serverConnections().release(server_);
  } else if (handle_) {
    threadHandle.giveBack();
  }
}

}  // namespace launcher
