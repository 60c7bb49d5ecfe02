// The http(s) transport on libcurl. One process-wide share holds the DNS
// cache and TLS sessions only: libcurl does not support sharing its
// connection cache between concurrent threads. Each thread instead keeps one
// easy handle of its own, reset between requests, whose connection cache
// keeps that thread's keep-alive connection (http_curl_handles.h).
#include "update/http.h"

#include "base/text_checks.h"
#include "update/connection_gate.h"
#include "update/http_curl_handles.h"
#include "update/location.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace launcher {

namespace {

// Longest host and path (query included) a URL may have, as the Windows
// transport allows them.
constexpr size_t maxHostLength = 255;
constexpr size_t maxPathLength = 4095;

// Bodies of JSON answers are kept up to this much.
constexpr size_t jsonResponseLimit = 1024 * 1024;
constexpr size_t jsonResponseCap = jsonResponseLimit + 8 * 1024;

// Receive blocks of 64 KiB (curl's default is 16 KiB). Larger ones were
// slower on a busy machine: the buffer no longer stays in the core's cache
// between the receive and our copy of it.
constexpr long downloadBufferSize = 64 * 1024;

// Connections one thread keeps open: one, to the server it last talked to.
// The process-wide count of a server's connections (ConnectionGate) is kept
// per thread, so a thread must never hold connections it has no place for.
constexpr long connectionsPerThread = 1;

using Clock = std::chrono::steady_clock;

// A test may trust its own certificate authority instead of the system's.
std::mutex caFileMutex;
std::string caFileForTesting;

struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// True when curl can parse the URL as http(s) and its host and path fit.
bool isUsableUrl(const std::string& url) {
  CURLU* parsed = curl_url();
  if (!parsed) return false;
  bool ok = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  auto partLength = [&](CURLUPart part, size_t& length) {
    char* text = nullptr;
    CURLUcode code = curl_url_get(parsed, part, &text, 0);
    length = text ? std::char_traits<char>::length(text) : 0;
    curl_free(text);
    return code;
  };
  if (ok) {
    char* scheme = nullptr;
    ok = curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK && scheme &&
         (std::string(scheme) == "http" || std::string(scheme) == "https");
    curl_free(scheme);
  }
  size_t host = 0;
  size_t path = 0;
  size_t query = 0;
  if (ok) ok = partLength(CURLUPART_HOST, host) == CURLUE_OK && host > 0 && host <= maxHostLength;
  if (ok) ok = partLength(CURLUPART_PATH, path) == CURLUE_OK;
  if (ok && partLength(CURLUPART_QUERY, query) == CURLUE_OK) path += 1 + query;
  if (ok) ok = path <= maxPathLength;
  curl_url_cleanup(parsed);
  return ok;
}

// Watches every connection a clear-text (http) request makes, redirects
// included: each must reach a loopback address.
struct ClearTextCheck {
  CURL* handle = nullptr;
  bool refused = false;  // a connection went elsewhere; nothing was sent on it
};

// Called once a connection is made or reused, before the request is sent on it.
int checkClearText(void* user, char* primaryIp, char*, int, int) {
  auto* check = static_cast<ClearTextCheck*>(user);
  char* scheme = nullptr;
  curl_easy_getinfo(check->handle, CURLINFO_SCHEME, &scheme);
  std::string name = scheme ? scheme : "";
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "https") return CURL_PREREQFUNC_OK;
  char* effective = nullptr;
  curl_easy_getinfo(check->handle, CURLINFO_EFFECTIVE_URL, &effective);
  if (!effective || !isAllowedTransferLocation(effective) || !primaryIp || !isLoopbackAddress(primaryIp)) {
    check->refused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

// Every setting both kinds of request share; false when there is no session.
// An https request is redirected only to https. An http request (allowed
// only to a loopback address) never goes through a proxy, and each of its
// connections is checked by `check` to reach a loopback address.
bool prepareRequest(CURL* h, const std::string& url, ClearTextCheck& check) {
  CURLSH* share = sharedSession();
  if (!share || !h) return false;
  const bool secure = url.rfind("https://", 0) == 0;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_SHARE, share);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "VantorLauncher/1.0");
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 10L);
  // A transfer that receives nothing for 30 s has stalled.
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 30L);
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
  curl_easy_setopt(h, CURLOPT_MAXCONNECTS, connectionsPerThread);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  // Never to a local file or any other scheme, not even by a redirect; and
  // once on https, never back to clear text.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  if (!secure) {
    check.handle = h;
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &checkClearText);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &check);
  }
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  {
    std::lock_guard lock(caFileMutex);
    if (!caFileForTesting.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, caFileForTesting.c_str());
  }
  return true;
}

// True when the request failed because a redirect led to clear text: curl
// refuses the scheme, and the place it was sent to is an http URL.
bool refusedClearTextRedirect(CURL* h, CURLcode code) {
  if (code != CURLE_UNSUPPORTED_PROTOCOL) return false;
  char* effective = nullptr;
  return curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective &&
         std::string(effective).rfind("http://", 0) == 0;
}

// When a request must be done: `seconds` from now, or never for 0.
Clock::time_point deadlineAfter(long seconds) {
  return seconds > 0 ? Clock::now() + std::chrono::seconds(seconds) : Clock::time_point::max();
}

// What is left of the time until `deadline`, for CURLOPT_TIMEOUT_MS; at least 1 ms.
long millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 1 ? static_cast<long>(left) : 1L;
}

std::string codeText(CURLcode code) { return std::to_string(static_cast<unsigned>(code)); }

long responseStatus(CURL* h) {
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

struct GetState {
  CURL* handle = nullptr;
  const DataSink* sink = nullptr;
  const StopRequested* stop = nullptr;
  uint64_t* contentLength = nullptr;
  bool started = false;   // the write callback has run
  long status = 0;        // the status of the body curl hands over
  bool refused = false;   // body of a non-200 answer: not passed on
  bool stopped = false;   // the sink or the stop check said stop
};

// curl calls this at least once a second, also while nothing arrives, so a
// cancel reaches a transfer from a server that has gone silent.
int checkStop(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* state = static_cast<GetState*>(user);
  if (*state->stop && (*state->stop)()) {
    state->stopped = true;
    return 1;
  }
  return 0;
}

size_t receiveGet(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<GetState*>(user);
  const size_t length = size * count;
  if (!state->started) {
    // curl hands over only the final answer's body (redirects are skipped),
    // so its status decides before a byte reaches the sink.
    state->started = true;
    state->status = responseStatus(state->handle);
    if (state->status != 200) {
      state->refused = true;
      return 0;
    }
    curl_off_t declared = -1;
    curl_easy_getinfo(state->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
    *state->contentLength = declared > 0 ? static_cast<uint64_t>(declared) : 0;
  }
  if (*state->stop && (*state->stop)()) {
    state->stopped = true;
    return 0;
  }
  if (length == 0 || !*state->sink) return length;
  if (!(*state->sink)(data, length)) {
    state->stopped = true;
    return 0;
  }
  return length;
}

struct JsonState {
  std::string* response = nullptr;
};

size_t receiveJson(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<JsonState*>(user);
  const size_t length = size * count;
  std::string& response = *state->response;
  response.append(data, std::min(length, jsonResponseCap - response.size()));
  return response.size() > jsonResponseLimit ? 0 : length;
}

}  // namespace

bool httpGet(const std::string& url, const DataSink& sink, uint64_t& contentLength, std::string& error,
             const StopRequested& stop, const TransferLimits& limits) {
  contentLength = 0;
  // Texts may reach the page and the log: never with a password in them.
  const std::string shown = withoutUserInfo(url);
  if (!isUsableUrl(url)) {
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
  const Clock::time_point deadline = deadlineAfter(limits.totalSeconds);
  Request request(url, stop, deadline);
  if (request.waited() == ConnectionGate::Wait::Stopped) {
    error = "Cancelled";
    return false;
  }
  if (request.waited() == ConnectionGate::Wait::TimedOut) {
    error = "Can't reach the update server (error " + codeText(CURLE_OPERATION_TIMEDOUT) + ")";
    return false;
  }
  CURL* h = request.get();
  ClearTextCheck check;
  if (!prepareRequest(h, url, check)) {
    error = "Can't reach the update server (error " + codeText(CURLE_FAILED_INIT) + ")";
    return false;
  }
  GetState state;
  state.handle = h;
  state.sink = &sink;
  state.stop = &stop;
  state.contentLength = &contentLength;
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &checkStop);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &state);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, downloadBufferSize);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &receiveGet);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &state);
  // The wait for a place counts against the limit too.
  if (limits.totalSeconds > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, millisecondsLeft(deadline));

  const CURLcode code = curl_easy_perform(h);
  if (check.refused || refusedClearTextRedirect(h, code)) {
    error = httpsRequiredText;
    return false;
  }
  if (state.refused) {
    error = "Server answered " + std::to_string(state.status) + " for " + shown;
    return false;
  }
  if (state.stopped) {
    error = "Cancelled";
    return false;
  }
  if (code == CURLE_OK) {
    const long status = responseStatus(h);
    if (status != 200) {
      error = "Server answered " + std::to_string(status) + " for " + shown;
      return false;
    }
    // An empty body never reached the callback.
    if (!state.started) {
      curl_off_t declared = -1;
      curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
      contentLength = declared > 0 ? static_cast<uint64_t>(declared) : 0;
    }
    return true;
  }
  if (code == CURLE_URL_MALFORMAT) {
    error = "Bad address: " + shown;
  } else if (state.started || responseStatus(h) == 200) {
    // The answer had begun: the body broke off.
    error = "Downloading failed (error " + codeText(code) + ")";
  } else {
    error = "Can't reach the update server (error " + codeText(code) + ")";
  }
  return false;
}

void trustCertificatesForTesting(const std::filesystem::path& caFile) {
  std::lock_guard lock(caFileMutex);
  caFileForTesting = caFile.string();
}

namespace {

// A JSON request may carry a password or a token, so curl follows none of its
// redirects: this follows those that stay on the request's origin (scheme,
// host and port), at most 10 like every other request. Anything else, https to
// http included, leaves the redirect itself as the answer.
constexpr int maxJsonRedirects = 10;

// Where the answer just received redirects to, when that is on `origin`.
bool sameOriginRedirect(CURL* h, const std::string& origin, std::string& next) {
  const long status = responseStatus(h);
  if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return false;
  char* location = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || !location) return false;
  next = location;
  return !origin.empty() && originOf(next) == origin;
}

// Performs the prepared request, then follows its same-origin redirects the
// way curl would: 301, 302 and 303 turn into a GET, 307 and 308 resend the
// request as it was.
CURLcode performJsonRequest(CURL* h, const std::string& url, std::string& response) {
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  const std::string origin = originOf(url);
  CURLcode code = curl_easy_perform(h);
  for (int hops = 0; code == CURLE_OK; ++hops) {
    std::string next;
    if (!sameOriginRedirect(h, origin, next)) break;
    if (hops == maxJsonRedirects) return CURLE_TOO_MANY_REDIRECTS;
    const long status = responseStatus(h);
    if (status == 301 || status == 302 || status == 303) {
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(h, CURLOPT_URL, next.c_str());
    response.clear();
    code = curl_easy_perform(h);
  }
  return code;
}

}  // namespace

bool sendJsonRequest(const std::string& method, const std::string& url, const std::string& body,
                     const std::string& bearerToken, std::string& response, int& status,
                     std::string& error) {
  response.clear();
  status = 0;
  const std::string shown = withoutUserInfo(url);
  if (!isUsableUrl(url)) {
    error = "Bad address: " + shown;
    return false;
  }
  if (!isAllowedTransferLocation(url)) {
    error = httpsRequiredText;
    return false;
  }
  const Clock::time_point deadline = deadlineAfter(smallDocumentLimits.totalSeconds);
  Request request(url, {}, deadline);
  if (request.waited() != ConnectionGate::Wait::Taken) {
    error = "Can't reach the server (error " + codeText(CURLE_OPERATION_TIMEDOUT) + ")";
    return false;
  }
  CURL* h = request.get();
  ClearTextCheck check;
  if (!prepareRequest(h, url, check)) {
    error = "Can't reach the server (error " + codeText(CURLE_FAILED_INIT) + ")";
    return false;
  }
  curl_slist* raw = curl_slist_append(nullptr, "Content-Type: application/json");
  HeaderList headers(raw);
  if (raw && !bearerToken.empty()) {
    raw = curl_slist_append(raw, ("Authorization: Bearer " + bearerToken).c_str());
  }
  // No "Expect: 100-continue" round trip before larger bodies.
  if (raw) raw = curl_slist_append(raw, "Expect:");
  if (!raw) {
    error = "Can't reach the server (error " + codeText(CURLE_OUT_OF_MEMORY) + ")";
    return false;
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  if (method == "GET" && body.empty()) {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    if (method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  JsonState state;
  state.response = &response;
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &receiveJson);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, millisecondsLeft(deadline));

  const CURLcode code = performJsonRequest(h, url, response);
  if (check.refused) {
    response.clear();
    error = httpsRequiredText;
    return false;
  }
  status = code == CURLE_TOO_MANY_REDIRECTS ? 0 : static_cast<int>(responseStatus(h));
  // An answer that broke off, or one cut at the limit, is still an answer.
  if (code == CURLE_OK || status != 0) return true;
  if (code == CURLE_URL_MALFORMAT) {
    error = "Bad address: " + shown;
  } else {
    error = "Can't reach the server (error " + codeText(code) + ")";
  }
  return false;
}

}  // namespace launcher
