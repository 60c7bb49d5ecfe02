#include "update/http_winhttp_url.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <winhttp.h>

#include <cctype>

namespace launcher {

namespace {

constexpr size_t maxHostLength = 255;
constexpr size_t maxPathLength = 4095;

std::wstring widenUtf8(const std::string& text) {
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string schemeAndAuthority(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t end = url.find_first_of("/?#", scheme + 3);
  return url.substr(0, end);
}

}  // namespace

bool parseHttpUrl(const std::string& url, ParsedUrl& out) {
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return false;
  // Spaces and control characters would end up in the request line.
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7f) return false;
  }
  const std::wstring wide = widenUtf8(url);
  if (wide.empty()) return false;
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  if (!parts.lpszHostName || parts.dwHostNameLength == 0 || parts.dwHostNameLength > maxHostLength) return false;
  // WinHttpCrackUrl takes "[::1" for a host; only a whole bracketed address
  // may hold brackets.
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const size_t open = host.find(L'['), close = host.find(L']');
  if ((open != std::wstring::npos || close != std::wstring::npos) &&
      (open != 0 || close != host.size() - 1 || host.find_first_of(L"[]", 1) != close)) {
    return false;
  }
  std::wstring path = parts.lpszUrlPath ? std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) : std::wstring();
  if (parts.lpszExtraInfo) {
    std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    // The fragment never travels.
    const size_t hash = extra.find(L'#');
    if (hash != std::wstring::npos) extra.resize(hash);
    path += extra;
  }
  if (path.empty()) path = L"/";
  if (path.size() > maxPathLength) return false;
  out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  out.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  out.port = parts.nPort;
  out.path = path;
  out.text = url;
  return true;
}

std::string resolveRedirect(const ParsedUrl& from, const std::string& location) {
  std::string target = location.substr(0, location.find('#'));
  // "scheme:..." is absolute, whatever the scheme (parseHttpUrl refuses the others).
  const size_t colon = target.find(':');
  const size_t slash = target.find('/');
  if (colon != std::string::npos && colon > 0 && (slash == std::string::npos || colon < slash)) return target;
  const std::string base = schemeAndAuthority(from.text);
  if (target.rfind("//", 0) == 0) return std::string(from.secure ? "https:" : "http:") + target;
  if (!target.empty() && target[0] == '/') return base + target;
  // Relative to the answering URL's folder.
  std::string path = from.text.substr(base.size());
  path = path.substr(0, path.find_first_of("?#"));
  const size_t last = path.rfind('/');
  path = last == std::string::npos ? "/" : path.substr(0, last + 1);
  return base + path + target;
}

std::string originOf(const ParsedUrl& url) {
  std::string host;
  for (wchar_t c : url.host) host.push_back(static_cast<char>(c < 0x80 ? c : '?'));
  return std::string(url.secure ? "https" : "http") + "://" + lower(host) + ":" + std::to_string(url.port);
}

}  // namespace launcher
