// An HTTP/1.x request head read as its bytes arrive, within fixed bounds, so
// that a client which never ends a line or sends header lines for ever costs
// a few KiB and no more. Browser mode's server reads every request with it,
// before any check. Pure; one reader per connection, one thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace launcher {

struct HeadLimits {
  std::size_t maxLineBytes = 8192;  // the request line or one header line, CRLF included
  std::size_t maxHeaderLines = 64;
  std::size_t maxHeadBytes = 16384;  // the whole head, blank line included
};

struct RequestHead {
  std::string method;  // "GET"
  std::string target;  // as sent: "/index.html?fps=30"
  std::string path;    // the target up to its "?", never decoded: "/index.html"
  std::string query;   // after the "?", without it: "fps=30"
  std::string version;  // "HTTP/1.1" or "HTTP/1.0"
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent; values without surrounding blanks

  // How many headers are named `name` (letter case ignored).
  [[nodiscard]] std::size_t count(std::string_view name) const;
  // The first such header's value, or "".
  [[nodiscard]] std::string_view value(std::string_view name) const;
  // The value of the query parameter `name` (taken as sent, never decoded), or
  // false when the query has no such parameter.
  [[nodiscard]] bool queryParameter(std::string_view name, std::string& value) const;
};

enum class HeadStatus {
  Incomplete,    // more bytes are needed
  Complete,      // head() holds the request
  LineTooLong,   // a line is longer than maxLineBytes
  TooManyLines,  // more than maxHeaderLines header lines
  TooLarge,      // the head is longer than maxHeadBytes
  Malformed,     // not an HTTP/1.x request head (or a line ended without CR)
};

// The status code a refused head is answered with (431, 414 or 400); 0 for
// Incomplete and Complete.
[[nodiscard]] int statusFor(HeadStatus status, bool inRequestLine);

class HeadReader {
 public:
  explicit HeadReader(HeadLimits limits = {}) : limits_(limits) {}

  // Takes the bytes of `data` that belong to the head and says where it
  // stands. `used` is how many were taken: all of them while Incomplete; on
  // Complete the rest belong to the body. Once it is no longer Incomplete,
  // every further call returns the same status and takes nothing.
  HeadStatus feed(std::string_view data, std::size_t& used);

  [[nodiscard]] const RequestHead& head() const { return head_; }
  [[nodiscard]] HeadStatus status() const { return status_; }
  // True while the request line itself is still being read.
  [[nodiscard]] bool inRequestLine() const { return !sawRequestLine_; }

 private:
  HeadStatus takeLine();

  HeadLimits limits_;
  RequestHead head_;
  HeadStatus status_ = HeadStatus::Incomplete;
  std::string line_;  // the line being read, never longer than maxLineBytes
  std::size_t headBytes_ = 0;
  bool sawRequestLine_ = false;
};

}  // namespace launcher
