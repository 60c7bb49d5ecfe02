// The http(s) transport on WinHTTP. Each thread keeps a session of its own
// with its place at a server (http_winhttp_session.h), so, as with the
// libcurl transport, a thread's keep-alive connections stay its own and the
// whole process keeps at most connectionsPerServer to one server. The
// sessions are asynchronous: the calling thread waits for each step a second
// at a time, asking its stop callback between waits, and a stop closes the
// request, which WinHTTP cancels at once even while the server is silent.
// Clear text goes only to a loopback address, never through a proxy
// (isAllowedTransferLocation). Redirects are followed here, not by WinHTTP,
// so the rules are the libcurl transport's: at most 10, each one judged by
// isAllowedRedirect (only to http and https, never from https to http), JSON
// requests only within their origin.
#include "update/http.h"

#include "base/text_checks.h"
#include "update/http_winhttp_session.h"
#include "update/http_winhttp_url.h"
#include "update/location.h"
#include "update/redirects.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <winhttp.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

namespace launcher {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD blockSize = 64 * 1024;
constexpr size_t jsonResponseLimit = 1024 * 1024;
constexpr size_t jsonReadSize = 8 * 1024;
constexpr int maxRedirects = 10;

// ---- one request ----

// What the WinHTTP callback and the waiting thread share. Held by the
// thread and by the request handle; whoever lets go last frees it, so a
// callback that comes after the thread gave up finds it still there.
struct RequestState {
  HANDLE done = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> refs{2};
  std::mutex mutex;
  DWORD completed = 0;  // the callback status that ended the step
  DWORD error = 0;      // with WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
  DWORD bytes = 0;      // with READ_COMPLETE
  char buffer[blockSize];

  ~RequestState() {
    if (done) ::CloseHandle(done);
  }
  void unref() {
    if (refs.fetch_sub(1) == 1) delete this;
  }
};

void CALLBACK onStatus(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD length) {
  auto* state = reinterpret_cast<RequestState*>(context);
  if (!state) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      state->unref();
      return;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->completed = status;
      if (status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE) state->bytes = length;
      if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR && info) {
        state->error = static_cast<DWORD>(static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError);
      }
      ::SetEvent(state->done);
      return;
    }
    default:
      return;
  }
}

enum class StepEnd { Done, Failed, Stopped };

// One request on its connection; closes both handles when it ends.
class Request {
 public:
  Request(const StopRequested& stop, Clock::time_point deadline) : stop_(stop), deadline_(deadline) {}
  ~Request() { close(); }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // The failing step's text ("Connecting failed (error N)") in `error`.
  bool open(HINTERNET session, const ParsedUrl& url, const std::wstring& verb, std::string& error) {
    connection_ = ::WinHttpConnect(session, url.host.c_str(), url.port, 0);
    if (!connection_) {
      error = "Connecting failed (error " + std::to_string(::GetLastError()) + ")";
      return false;
    }
    request_ = ::WinHttpOpenRequest(connection_, verb.c_str(), url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                    WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request_) {
      error = "Opening the request failed (error " + std::to_string(::GetLastError()) + ")";
      return false;
    }
    if (!url.secure) {
      // Clear text goes to the loopback address it names, never to a proxy.
      WINHTTP_PROXY_INFO direct{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
      if (!::WinHttpSetOption(request_, WINHTTP_OPTION_PROXY, &direct, sizeof direct)) {
        error = "Opening the request failed (error " + std::to_string(::GetLastError()) + ")";
        return false;
      }
    }
    state_ = new RequestState;
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state_);
    if (!state_->done ||
        ::WinHttpSetStatusCallback(request_, &onStatus,
                                   WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                   0) == WINHTTP_INVALID_STATUS_CALLBACK ||
        !::WinHttpSetOption(request_, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
      const DWORD code = ::GetLastError();
      // The handle never had the state: only this side holds it.
      state_->refs.store(1);
      error = "Opening the request failed (error " + std::to_string(code) + ")";
      return false;
    }
    return true;
  }

  // Sends the request and waits for the answer's headers.
  StepEnd send(const std::wstring& headers, const std::string& body) {
    body_ = body;
    const wchar_t* head = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
    const DWORD length = static_cast<DWORD>(body_.size());
    void* data = body_.empty() ? WINHTTP_NO_REQUEST_DATA : body_.data();
    if (!::WinHttpSendRequest(request_, head, headers.empty() ? 0 : static_cast<DWORD>(-1L), data, length, length,
                              reinterpret_cast<DWORD_PTR>(state_))) {
      error_ = ::GetLastError();
      return StepEnd::Failed;
    }
    StepEnd end = await(WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE);
    if (end != StepEnd::Done) return end;
    if (!::WinHttpReceiveResponse(request_, nullptr)) {
      error_ = ::GetLastError();
      return StepEnd::Failed;
    }
    return await(WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE);
  }

  // Reads the next block into the state's buffer; `length` 0 at the end.
  StepEnd read(DWORD limit, const char*& data, DWORD& length) {
    length = 0;
    if (!::WinHttpReadData(request_, state_->buffer, std::min<DWORD>(limit, blockSize), nullptr)) {
      error_ = ::GetLastError();
      return StepEnd::Failed;
    }
    const StepEnd end = await(WINHTTP_CALLBACK_STATUS_READ_COMPLETE);
    if (end != StepEnd::Done) return end;
    std::lock_guard<std::mutex> lock(state_->mutex);
    length = state_->bytes;
    data = state_->buffer;
    return StepEnd::Done;
  }

  [[nodiscard]] DWORD status() const {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      return 0;
    }
    return status;
  }

  // A response header's text, or false when absent.
  bool header(DWORD which, std::wstring& value) const {
    DWORD size = 0;
    ::WinHttpQueryHeaders(request_, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                          WINHTTP_NO_HEADER_INDEX);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > 16 * 1024) return false;
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (!::WinHttpQueryHeaders(request_, which, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                               WINHTTP_NO_HEADER_INDEX)) {
      return false;
    }
    text.resize(size / sizeof(wchar_t));
    value = text;
    return true;
  }

  // The declared body length, or false when none was declared.
  bool contentLength(uint64_t& length) const {
    std::wstring text;
    if (!header(WINHTTP_QUERY_CONTENT_LENGTH, text) || text.empty() || text.size() > 19) return false;
    uint64_t value = 0;
    for (wchar_t c : text) {
      if (c < L'0' || c > L'9') return false;
      value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    length = value;
    return true;
  }

  // True when the answer leaves its connection open for the next request:
  // neither "Connection: close" nor an HTTP/1.0 answer without keep-alive.
  [[nodiscard]] bool connectionStaysOpen() const {
    std::wstring connection;
    std::wstring version;
    header(WINHTTP_QUERY_CONNECTION, connection);
    header(WINHTTP_QUERY_VERSION, version);
    for (wchar_t& c : connection) c = static_cast<wchar_t>(c < 128 ? std::tolower(c) : c);
    if (connection.find(L"close") != std::wstring::npos) return false;
    return version != L"HTTP/1.0" || connection.find(L"keep-alive") != std::wstring::npos;
  }

  [[nodiscard]] DWORD error() const { return error_; }

 private:
  StepEnd await(DWORD expected) {
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline_) {
        error_ = ERROR_WINHTTP_TIMEOUT;
        close();
        return StepEnd::Failed;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now).count();
      const DWORD wait = ::WaitForSingleObject(state_->done, static_cast<DWORD>(std::min<long long>(left, 1000)));
      if (wait == WAIT_OBJECT_0) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->completed == expected) return StepEnd::Done;
        error_ = state_->completed == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR ? state_->error : ERROR_WINHTTP_INTERNAL_ERROR;
        return StepEnd::Failed;
      }
      // Asked at least once a second, also while the server sends nothing.
      if (stop_ && stop_()) {
        close();
        return StepEnd::Stopped;
      }
    }
  }

  void close() {
    if (request_) {
      // Cancels what is pending; the state goes with the handle's last callback.
      ::WinHttpCloseHandle(request_);
      request_ = nullptr;
    }
    if (connection_) {
      ::WinHttpCloseHandle(connection_);
      connection_ = nullptr;
    }
    if (state_) {
      state_->unref();
      state_ = nullptr;
    }
  }

  const StopRequested& stop_;
  Clock::time_point deadline_;
  HINTERNET connection_ = nullptr;
  HINTERNET request_ = nullptr;
  RequestState* state_ = nullptr;
  std::string body_;
  DWORD error_ = 0;
};

Clock::time_point deadlineFor(long totalSeconds) {
  return totalSeconds > 0 ? Clock::now() + std::chrono::seconds(totalSeconds) : Clock::time_point::max();
}

// Inflates a gzip or deflate body block by block into 64 KiB pieces for the
// sink, so a small compressed answer cannot make us hold a large one.
class Inflater {
 public:
  bool start(const std::wstring& encoding) {
    std::wstring lower;
    for (wchar_t c : encoding) lower.push_back(static_cast<wchar_t>(c < 128 ? std::tolower(c) : c));
    if (lower == L"gzip" || lower == L"x-gzip") {
      windowBits_ = 15 + 16;
    } else if (lower == L"deflate") {
      windowBits_ = 15 + 32;  // zlib-wrapped, as the standard says; raw is tried below
    } else {
      return false;
    }
    active_ = inflateInit2(&z_, windowBits_) == Z_OK;
    return active_;
  }
  ~Inflater() {
    if (active_) inflateEnd(&z_);
  }
  [[nodiscard]] bool active() const { return active_; }

  // Feeds `data` through; each decoded piece goes to `sink`. False with
  // `stopped` when the sink said stop, else false when the data is damaged.
  bool feed(const char* data, size_t length, const DataSink& sink, bool& stopped) {
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z_.avail_in = static_cast<uInt>(length);
    while (z_.avail_in > 0 && !ended_) {
      z_.next_out = reinterpret_cast<Bytef*>(out_);
      z_.avail_out = sizeof out_;
      int rc = inflate(&z_, Z_NO_FLUSH);
      if (rc == Z_DATA_ERROR && windowBits_ == 15 + 32 && z_.total_out == 0 && !triedRaw_) {
        // Some servers send raw deflate: start again that way.
        triedRaw_ = true;
        inflateEnd(&z_);
        z_ = z_stream{};
        windowBits_ = -15;
        if (inflateInit2(&z_, windowBits_) != Z_OK) {
          active_ = false;
          return false;
        }
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z_.avail_in = static_cast<uInt>(length);
        continue;
      }
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return false;
      const size_t produced = sizeof out_ - z_.avail_out;
      if (produced > 0 && sink && !sink(out_, produced)) {
        stopped = true;
        return false;
      }
      if (rc == Z_STREAM_END) ended_ = true;
      if (rc == Z_BUF_ERROR && produced == 0) break;
    }
    return true;
  }
  // True once the compressed stream ended where it should.
  [[nodiscard]] bool complete() const { return ended_; }

 private:
  z_stream z_{};
  int windowBits_ = 0;
  bool active_ = false;
  bool ended_ = false;
  bool triedRaw_ = false;
  char out_[blockSize];
};

bool isRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string narrowAscii(const std::wstring& text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  }
  return out;
}

std::string numberText(DWORD code) { return std::to_string(static_cast<unsigned long>(code)); }

}  // namespace

bool httpGet(const std::string& url, const DataSink& sink, uint64_t& contentLength, std::string& error,
             const StopRequested& stop, const TransferLimits& limits) {
  contentLength = 0;
  // Texts may reach the page and the log: never with a password in them.
  const std::string shown = withoutUserInfo(url);
  ParsedUrl parsed;
  if (!parseHttpUrl(url, parsed)) {
    error = "Bad address: " + shown;
    return false;
  }
  if (!isAllowedTransferLocation(url)) {
    error = httpsRequiredText;
    return false;
  }
  if (stop && stop()) {
    error = "Cancelled";
    return false;
  }
  // The wait for a place counts against the time limit too.
  const Clock::time_point deadline = deadlineFor(limits.totalSeconds);
  SessionLease lease(originOf(parsed), stop, deadline);
  if (lease.waited() == ConnectionGate::Wait::Stopped) {
    error = "Cancelled";
    return false;
  }
  if (lease.waited() == ConnectionGate::Wait::TimedOut) {
    error = "Can't reach the update server (error " + numberText(ERROR_WINHTTP_TIMEOUT) + ")";
    return false;
  }
  if (!lease.get()) {
    error = "WinHttpOpen failed (error " + numberText(lease.openError()) + ")";
    return false;
  }
  for (int hops = 0;; ++hops) {
    Request request(stop, deadline);
    if (!request.open(lease.get(), parsed, L"GET", error)) return false;
    const StepEnd sent = request.send(L"Accept-Encoding: gzip, deflate\r\n", {});
    if (sent == StepEnd::Stopped) {
      error = "Cancelled";
      return false;
    }
    if (sent == StepEnd::Failed) {
      error = "Can't reach the update server (error " + numberText(request.error()) + ")";
      return false;
    }
    const DWORD status = request.status();
    std::wstring location;
    if (isRedirect(status) && request.header(WINHTTP_QUERY_LOCATION, location)) {
      // Never to a local file or any other scheme, and not for ever.
      if (hops == maxRedirects) {
        error = "Can't reach the update server (error " + numberText(ERROR_WINHTTP_REDIRECT_FAILED) + ")";
        return false;
      }
      const std::string next = resolveRedirect(parsed, narrowAscii(location));
      ParsedUrl target;
      if (!parseHttpUrl(next, target)) {
        error = "Can't reach the update server (error " + numberText(ERROR_WINHTTP_UNRECOGNIZED_SCHEME) + ")";
        return false;
      }
      // Judged before anything is sent to it.
      if (!isAllowedRedirect(parsed.text, next)) {
        error = httpsRequiredText;
        return false;
      }
      parsed = target;
      continue;
    }
    if (status != 200) {
      error = "Server answered " + std::to_string(status) + " for " + shown;
      return false;
    }
    uint64_t declared = 0;
    const bool hasLength = request.contentLength(declared);
    std::wstring encoding;
    Inflater inflater;
    const bool encoded = request.header(WINHTTP_QUERY_CONTENT_ENCODING, encoding) && !encoding.empty() &&
                         encoding != L"identity";
    if (encoded && !inflater.start(encoding)) {
      // An encoding we never asked for.
      error = "Downloading failed (error " + numberText(ERROR_WINHTTP_INVALID_SERVER_RESPONSE) + ")";
      return false;
    }
    contentLength = hasLength ? declared : 0;
    uint64_t received = 0;
    for (;;) {
      if (stop && stop()) {
        error = "Cancelled";
        return false;
      }
      const char* data = nullptr;
      DWORD length = 0;
      const StepEnd end = request.read(blockSize, data, length);
      if (end == StepEnd::Stopped) {
        error = "Cancelled";
        return false;
      }
      if (end == StepEnd::Failed) {
        error = "Downloading failed (error " + numberText(request.error()) + ")";
        return false;
      }
      if (length == 0) break;
      received += length;
      if (inflater.active()) {
        bool stopped = false;
        if (!inflater.feed(data, length, sink, stopped)) {
          error = stopped ? "Cancelled"
                          : "Downloading failed (error " + numberText(ERROR_WINHTTP_INVALID_SERVER_RESPONSE) + ")";
          return false;
        }
        continue;
      }
      if (sink && !sink(data, length)) {
        error = "Cancelled";
        return false;
      }
    }
    // The connection ended before the promised length (of the compressed
    // bytes, when compressed), or inside the compressed stream: it broke off.
    if ((hasLength && received < declared) || (inflater.active() && !inflater.complete())) {
      error = "Downloading failed (error " + numberText(ERROR_WINHTTP_CONNECTION_ERROR) + ")";
      return false;
    }
    if (request.connectionStaysOpen()) lease.keepConnection(originOf(parsed));
    return true;
  }
}

bool sendJsonRequest(const std::string& method, const std::string& url, const std::string& body,
                     const std::string& bearerToken, std::string& response, int& status, std::string& error) {
  response.clear();
  status = 0;
  ParsedUrl parsed;
  if (!parseHttpUrl(url, parsed)) {
    error = "Bad address: " + withoutUserInfo(url);
    return false;
  }
  if (!isAllowedTransferLocation(url)) {
    error = httpsRequiredText;
    return false;
  }
  std::wstring headers = L"Content-Type: application/json\r\n";
  if (!bearerToken.empty()) headers += L"Authorization: Bearer " + std::wstring(bearerToken.begin(), bearerToken.end()) + L"\r\n";
  std::wstring verb(method.begin(), method.end());
  std::string sent = body;
  const std::string origin = originOf(parsed);
  const StopRequested noStop;
  const Clock::time_point deadline = deadlineFor(smallDocumentLimits.totalSeconds);
  SessionLease lease(origin, noStop, deadline);
  if (!lease.get()) {
    const DWORD code = lease.waited() == ConnectionGate::Wait::Taken ? lease.openError() : ERROR_WINHTTP_TIMEOUT;
    error = "Can't reach the server (error " + numberText(code) + ")";
    return false;
  }
  for (int hops = 0;; ++hops) {
    Request request(noStop, deadline);
    if (!request.open(lease.get(), parsed, verb, error)) return false;
    if (request.send(headers, sent) != StepEnd::Done) {
      error = "Can't reach the server (error " + numberText(request.error()) + ")";
      return false;
    }
    const DWORD answered = request.status();
    std::wstring location;
    // A request that may carry a password or a token follows redirects only
    // within its origin; anything else is the answer the caller judges.
    if (isRedirect(answered) && request.header(WINHTTP_QUERY_LOCATION, location)) {
      ParsedUrl next;
      if (parseHttpUrl(resolveRedirect(parsed, narrowAscii(location)), next) && originOf(next) == origin) {
        if (hops == maxRedirects) {
          error = "Can't reach the server (error " + numberText(ERROR_WINHTTP_REDIRECT_FAILED) + ")";
          return false;
        }
        if (answered == 301 || answered == 302 || answered == 303) {
          verb = L"GET";
          sent.clear();
        }
        parsed = next;
        continue;
      }
    }
    status = static_cast<int>(answered);
    while (response.size() <= jsonResponseLimit) {
      const char* data = nullptr;
      DWORD length = 0;
      // An answer that breaks off is still an answer.
      if (request.read(static_cast<DWORD>(jsonReadSize), data, length) != StepEnd::Done) break;
      if (length == 0) {
        if (request.connectionStaysOpen()) lease.keepConnection(origin);
        break;
      }
      response.append(data, length);
    }
    return true;
  }
}

}  // namespace launcher
