#include "update/http_winhttp_session.h"

namespace launcher {

namespace {

// Connections one session keeps to a server: one, as its thread makes one
// request at a time, and the process-wide count (ConnectionGate) is kept per
// thread, so a session must never hold connections its thread has no place for.
constexpr DWORD connectionsPerSession = 1;

HINTERNET openSession(DWORD& error) {
  HINTERNET session = ::WinHttpOpen(L"VantorLauncher/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  // Systems before Windows 8.1 do not know the automatic proxy type.
  if (!session) {
    session = ::WinHttpOpen(L"VantorLauncher/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  }
  if (!session) {
    error = ::GetLastError();
    return nullptr;
  }
  ::WinHttpSetTimeouts(session, 10000, 10000, 15000, 30000);
  DWORD connections = connectionsPerSession;
  ::WinHttpSetOption(session, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
  // Redirects are followed by hand (http_winhttp.cpp), each one judged by
  // the transport's rules.
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  ::WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);
  return session;
}

// A thread's session and the place its connection holds.
struct ThreadSession {
  HINTERNET session = nullptr;
  std::string server;  // whose place is held; "" for none
  bool busy = false;

  // Closes the session (and its connections) and gives the place back.
  void drop() {
    if (session) ::WinHttpCloseHandle(session);
    session = nullptr;
    if (!server.empty()) serverConnections().release(server);
    server.clear();
  }
};

void CALLBACK endThreadSession(void* data) {
  auto* thread = static_cast<ThreadSession*>(data);
  if (!thread) return;
  thread->drop();
  delete thread;
}

// Fiber-local rather than thread_local: its callback runs at thread exit
// with no C++ runtime teardown involved, which MinGW's thread_local
// destructors get wrong for threads the runtime did not start.
DWORD sessionSlot() {
  static const DWORD slot = ::FlsAlloc(&endThreadSession);
  return slot;
}

// The calling thread's record, made on first use; null when there is no slot.
ThreadSession* threadSession() {
  const DWORD slot = sessionSlot();
  if (slot == FLS_OUT_OF_INDEXES) return nullptr;
  if (auto* thread = static_cast<ThreadSession*>(::FlsGetValue(slot))) return thread;
  auto* thread = new ThreadSession;
  if (!::FlsSetValue(slot, thread)) {
    delete thread;
    return nullptr;
  }
  return thread;
}

}  // namespace

SessionLease::SessionLease(const std::string& server, const StopRequested& stop,
                           std::chrono::steady_clock::time_point deadline) {
  ThreadSession* thread = threadSession();
  if (thread && !thread->busy) {
    if (thread->server != server) {
      thread->drop();
      wait_ = serverConnections().acquire(server, stop, deadline);
      if (wait_ != ConnectionGate::Wait::Taken) return;
      thread->server = server;
    }
    if (!thread->session) thread->session = openSession(openError_);
    if (!thread->session) {
      thread->drop();
      return;
    }
    thread->busy = true;
    session_ = thread->session;
    server_ = server;
    return;
  }
  oneOff_ = true;
  wait_ = serverConnections().acquire(server, stop, deadline);
  if (wait_ != ConnectionGate::Wait::Taken) return;
  server_ = server;
  session_ = openSession(openError_);
}

SessionLease::~SessionLease() {
  if (oneOff_) {
    if (session_) ::WinHttpCloseHandle(session_);
    if (!server_.empty()) serverConnections().release(server_);
    return;
  }
  if (!session_) return;
  ThreadSession* thread = threadSession();
  if (!thread) return;
  thread->busy = false;
  // The connection stays open only while it goes to the server whose place
  // this thread holds, and nobody waits for a place there.
  if (kept_ != thread->server || serverConnections().waiting(thread->server) > 0) thread->drop();
}

}  // namespace launcher
