// URL handling of the WinHTTP transport: cracking an http(s) URL into what
// WinHttpConnect and WinHttpOpenRequest take, and resolving a redirect's
// Location against the URL that answered. Internal to http_winhttp.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace launcher {

struct ParsedUrl {
  bool secure = false;
  std::wstring host;
  uint16_t port = 0;
  std::wstring path;  // path and query, as sent in the request line
  std::string text;   // the URL as given
};

// False for anything but an http(s) URL with a host of at most 255 and a path
// (query included) of at most 4095 characters, the limits of our parser's buffers.
[[nodiscard]] bool parseHttpUrl(const std::string& url, ParsedUrl& out);

// The absolute URL a Location header names: absolute as it is, "//host..."
// with the answering URL's scheme, "/path" on its server, anything else
// beside its path's last "/". Any fragment is dropped.
[[nodiscard]] std::string resolveRedirect(const ParsedUrl& from, const std::string& location);

// "scheme://host:port", lower case, the port always written.
[[nodiscard]] std::string originOf(const ParsedUrl& url);

}  // namespace launcher
