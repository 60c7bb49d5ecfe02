#include "shell/http_head.h"

namespace launcher {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// RFC 9110's token characters: header names and methods.
bool isTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!isTokenChar(c)) return false;
  return true;
}

// A header value: visible characters, blanks and bytes above ASCII; no other
// control character (a lone CR, a NUL...).
bool isFieldValue(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return false;
  }
  return true;
}

// An origin-form target ("/path?query"): visible ASCII only.
bool isOriginForm(std::string_view text) {
  if (text.empty() || text.front() != '/') return false;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
  }
  return true;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::size_t RequestHead::count(std::string_view name) const {
  std::size_t n = 0;
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name)) ++n;
  return n;
}

std::string_view RequestHead::value(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name)) return value;
  return {};
}

bool RequestHead::queryParameter(std::string_view name, std::string& value) const {
  std::string_view rest = query;
  while (!rest.empty()) {
    std::size_t end = rest.find('&');
    std::string_view part = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    std::size_t equals = part.find('=');
    if (part.substr(0, equals) != name) continue;
    value = equals == std::string_view::npos ? std::string() : std::string(part.substr(equals + 1));
    return true;
  }
  return false;
}

int statusFor(HeadStatus status, bool inRequestLine) {
  switch (status) {
    case HeadStatus::Incomplete:
    case HeadStatus::Complete:
      return 0;
    case HeadStatus::LineTooLong:
      return inRequestLine ? 414 : 431;
    case HeadStatus::TooManyLines:
    case HeadStatus::TooLarge:
      return 431;
    case HeadStatus::Malformed:
      return 400;
  }
  return 400;
}

HeadStatus HeadReader::feed(std::string_view data, std::size_t& used) {
  used = 0;
  while (status_ == HeadStatus::Incomplete && used < data.size()) {
    std::string_view rest = data.substr(used);
    std::size_t newline = rest.find('\n');
    std::size_t take = newline == std::string_view::npos ? rest.size() : newline + 1;
    // The bounds are checked before anything is kept: a line that never ends
    // costs at most maxLineBytes.
    if (line_.size() + take > limits_.maxLineBytes) return status_ = HeadStatus::LineTooLong;
    if (headBytes_ + take > limits_.maxHeadBytes) return status_ = HeadStatus::TooLarge;
    line_.append(rest.substr(0, take));
    headBytes_ += take;
    used += take;
    if (newline != std::string_view::npos) status_ = takeLine();
  }
  return status_;
}

HeadStatus HeadReader::takeLine() {
  std::string line = std::move(line_);
  line_.clear();
  // Every line ends with CRLF; a bare LF is refused rather than guessed at.
  if (line.size() < 2 || line[line.size() - 2] != '\r') return HeadStatus::Malformed;
  std::string_view text(line.data(), line.size() - 2);

  if (!sawRequestLine_) {
    sawRequestLine_ = true;
    std::size_t first = text.find(' ');
    std::size_t second = first == std::string_view::npos ? first : text.find(' ', first + 1);
    if (second == std::string_view::npos || text.find(' ', second + 1) != std::string_view::npos)
      return HeadStatus::Malformed;
    std::string_view method = text.substr(0, first);
    std::string_view target = text.substr(first + 1, second - first - 1);
    std::string_view version = text.substr(second + 1);
    if (!isToken(method) || !isOriginForm(target) || (version != "HTTP/1.1" && version != "HTTP/1.0"))
      return HeadStatus::Malformed;
    head_.method = method;
    head_.target = target;
    std::size_t question = target.find('?');
    head_.path = target.substr(0, question);
    head_.query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    head_.version = version;
    return HeadStatus::Incomplete;
  }

  if (text.empty()) return HeadStatus::Complete;
  if (head_.headers.size() >= limits_.maxHeaderLines) return HeadStatus::TooManyLines;
  // No folded lines (obsolete, and a way to hide a header) and no blank
  // before the colon.
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || !isToken(text.substr(0, colon))) return HeadStatus::Malformed;
  std::string_view value = trimBlanks(text.substr(colon + 1));
  if (!isFieldValue(value)) return HeadStatus::Malformed;
  head_.headers.emplace_back(text.substr(0, colon), value);
  return HeadStatus::Incomplete;
}

}  // namespace launcher
