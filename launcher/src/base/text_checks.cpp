#include "base/text_checks.h"

#include <cstddef>
#include <cstdint>

namespace launcher {

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t length;
    uint32_t min;
    uint32_t point;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2, min = 0x80, point = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, min = 0x800, point = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, min = 0x10000, point = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and points past U+10FFFF are not UTF-8.
    if (point < min || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

bool isOpenableHttpsUrl(std::string_view uri) {
  constexpr std::string_view prefix = "https://";
  if (uri.size() <= prefix.size() || uri.substr(0, prefix.size()) != prefix) return false;
  // Bytes that are not UTF-8 could be read as Latin-1 controls on the other end.
  if (!isValidUtf8(uri)) return false;
  for (std::size_t i = 0; i < uri.size(); ++i) {
    auto byte = static_cast<unsigned char>(uri[i]);
    if (byte <= 0x20 || byte == 0x7f) return false;
    // U+0080..U+009F, the C1 controls (NEL among them, a line break to some).
    if (byte == 0xc2 && i + 1 < uri.size() && static_cast<unsigned char>(uri[i + 1]) <= 0x9f) return false;
  }
  return true;
}

std::string withoutUserInfo(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  for (size_t scheme = text.find("://"); scheme != std::string_view::npos; scheme = text.find("://", scheme + 3)) {
    const size_t start = scheme + 3;
    size_t end = start;
    while (end < text.size()) {
      const char c = text[end];
      if (c == '/' || c == '?' || c == '#' || c == '"' || c == '\'' || c == '<' || c == '>' ||
          static_cast<unsigned char>(c) <= ' ') {
        break;
      }
      ++end;
    }
    const size_t at = text.substr(start, end - start).rfind('@');
    if (at == std::string_view::npos) continue;
    out.append(text.substr(copied, start - copied));
    out += "***@";
    copied = start + at + 1;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace launcher
