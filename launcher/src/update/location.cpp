#include "update/location.h"
#include "update/redirects.h"

#include <vector>

namespace launcher {

namespace fs = std::filesystem;

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

bool isHttpUrl(const std::string& location) {
  return startsWith(location, "http://") || startsWith(location, "https://");
}

bool tryFileUrlToPath(const std::string& location, fs::path& out) {
  out.clear();
  // "file:///D:/x" names D:/x, but "file:///srv/x" names /srv/x: the third
  // slash goes only in front of a drive letter.
  size_t start = 0;
  if (startsWith(location, "file:///") && location.size() >= 10 && location[9] == ':') {
    start = 8;
  } else if (startsWith(location, "file://")) {
    start = 7;
  }
  std::string decoded;
  decoded.reserve(location.size() - start);
  for (size_t i = start; i < location.size(); ++i) {
    char c = location[i];
    if (c == '%' && i + 2 < location.size()) {
      int high = hexValue(location[i + 1]);
      int low = hexValue(location[i + 2]);
      if (high < 0 || low < 0) return false;
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      decoded += c;
    }
  }
  // A backslash separates folders, as on Windows: plain-path feeds are joined
  // with backslashes, and a Linux path would otherwise read them as part of
  // one file name.
  for (char& c : decoded) {
    if (c == '\\') c = '/';
  }
  out = toWide(decoded);
  return true;
}

fs::path fileUrlToPath(const std::string& location) {
  fs::path path;
  if (!tryFileUrlToPath(location, path)) return {};
  return path;
}

std::string joinLocation(const std::string& base, const std::string& rel) {
  if (base.empty()) return {};
  if (isHttpUrl(base) || startsWith(base, "file:")) return base + "/" + rel;
  std::string converted = rel;
  for (char& c : converted) {
    if (c == '/') c = '\\';
  }
  return base + "\\" + converted;
}

std::string removeDotSegments(const std::string& url) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  size_t pathStart = url.find('/', scheme + 3);
  if (pathStart == std::string::npos) return url;
  std::vector<std::string> kept;
  size_t pos = pathStart + 1;
  for (;;) {
    size_t next = url.find('/', pos);
    std::string segment = url.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    if (segment == "..") {
      if (!kept.empty()) kept.pop_back();
    } else if (segment != ".") {
      kept.push_back(segment);
    }
    if (next == std::string::npos) break;
    pos = next + 1;
  }
  std::string result = url.substr(0, pathStart);
  for (const auto& segment : kept) result += "/" + segment;
  return result;
}

std::string resolveUrl(const std::string& base, const std::string& ref) {
  if (isHttpUrl(ref) || startsWith(ref, "file:") || (ref.size() >= 2 && ref[1] == ':') ||
      startsWith(ref, "\\\\")) {
    return ref;
  }
  if (isHttpUrl(base)) {
    // A base without a path ("http://host") names the server's root folder.
    const size_t authority = base.find("://") + 3;
    if (base.find('/', authority) == std::string::npos) return removeDotSegments(base + "/" + ref);
    size_t slash = base.rfind('/');
    return removeDotSegments(base.substr(0, slash + 1) + ref);
  }
  // Joined as text: a ref that begins with "/" still lies inside the base's
  // folder, where path's operator/ would make it absolute. Backslashes in the
  // ref separate folders as they do in the base.
  std::string folder = toUtf8(fileUrlToPath(base).parent_path());
  std::string relative = ref;
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  std::string joined = folder.empty() ? relative : folder + "/" + relative;
  // Normalised with "/" as the text was built: lexically_normal() alone gives
  // Windows' "\" there.
  return toGenericUtf8(toWide(joined).lexically_normal());
}

namespace {

// "scheme:" at the start (a drive letter "C:" reads as one), or a "\\"
// network share.
bool namesAnotherPlace(const std::string& ref) {
  if (startsWith(ref, "\\\\")) return true;
  const size_t colon = ref.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!isAlpha(ref[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    const char c = ref[i];
    if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

bool resolveReference(const std::string& base, const std::string& ref, std::string& out, std::string& error) {
  out.clear();
  if (isHttpUrl(base) && !isHttpUrl(ref) && namesAnotherPlace(ref)) {
    error = "Bad address: " + ref;
    return false;
  }
  out = resolveUrl(base, ref);
  // Whatever the reference looks like ("1:/x" passes for a drive letter in
  // resolveUrl), what a server names stays on a server.
  if (isHttpUrl(base) && !isHttpUrl(out)) {
    out.clear();
    error = "Bad address: " + ref;
    return false;
  }
  return true;
}

std::string urlHost(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return {};
  std::string authority = url.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string host;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    host = close == std::string::npos ? authority : authority.substr(0, close + 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  for (char& c : host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return host;
}

bool isLoopbackAddress(const std::string& host) {
  if (host == "::1" || host == "[::1]") return true;
  // Four decimal parts of at most three digits, each below 256, the first
  // 127. A leading zero is refused: some parsers read "0127" as octal.
  int parts = 0;
  int first = -1;
  size_t i = 0;
  while (i <= host.size()) {
    size_t end = host.find('.', i);
    if (end == std::string::npos) end = host.size();
    const std::string part = host.substr(i, end - i);
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    int value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
    if (parts == 0) first = value;
    ++parts;
    i = end + 1;
    if (end == host.size()) break;
  }
  return parts == 4 && first == 127;
}

bool isAllowedTransferLocation(const std::string& location) {
  if (startsWith(location, "https://")) return true;
  if (!startsWith(location, "http://")) return true;  // a local location
  return isLoopbackAddress(urlHost(location));
}

bool isAllowedRedirect(const std::string& from, const std::string& to) {
  if (!isHttpUrl(to)) return false;
  if (startsWith(from, "https://") && !startsWith(to, "https://")) return false;
  return isAllowedTransferLocation(to);
}

std::string relocate(const std::string& location, const std::string& from, const std::string& to) {
  if (from.empty() || to.empty() || location.size() <= from.size() + 1 || location.compare(0, from.size(), from) != 0) {
    return {};
  }
  const char separator = location[from.size()];
  if (separator != '/' && separator != '\\') return {};
  std::string rest = location.substr(from.size() + 1);
  // Below a plain folder either separator parts folders; in a URL only "/".
  if (!isHttpUrl(from) && !startsWith(from, "file:")) {
    for (char& c : rest) {
      if (c == '\\') c = '/';
    }
  }
  return joinLocation(to, rest);
}

fs::path toWide(const std::string& utf8) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string toUtf8(const fs::path& path) {
  std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

std::string toGenericUtf8(const fs::path& path) {
  std::u8string text = path.generic_u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace launcher
