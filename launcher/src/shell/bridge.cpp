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

}  // namespace launcher
