#include "shell/bridge.h"

namespace launcher {

std::optional<nlohmann::json> parsePageMessage(std::string_view text) {
  nlohmann::json value = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

std::string dumpForPage(const nlohmann::json& message) {
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

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

}  // namespace launcher
