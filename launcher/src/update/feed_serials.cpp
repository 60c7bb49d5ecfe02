#include "update/feed_serials.h"

#include "base/log.h"
#include "data/json_document.h"
#include "update/json_fields.h"
#include "update/location.h"

#include <mutex>
#include <system_error>

namespace launcher {

namespace {

std::mutex serialsMutex;

// The URL without "user:password@": a key that is kept on disk carries no secret.
std::string documentKey(const std::string& url) {
  const size_t scheme = url.find("://");
  if (!isHttpUrl(url) || scheme == std::string::npos) return url;
  const size_t hostStart = scheme + 3;
  const size_t hostEnd = url.find_first_of("/?#", hostStart);
  const size_t at = url.rfind('@', hostEnd == std::string::npos ? std::string::npos : hostEnd);
  if (at == std::string::npos || at < hostStart) return url;
  return url.substr(0, hostStart) + url.substr(at + 1);
}

uint64_t highestIn(const json& doc, const std::string& key) {
  if (!doc.is_object()) return 0;
  auto serials = doc.find("serials");
  if (serials == doc.end() || !serials->is_object()) return 0;
  return uint64Member(*serials, key.c_str());
}

}  // namespace

SerialCheck acceptSerial(const std::filesystem::path& file, const std::string& url, uint64_t serial) {
  const std::string key = documentKey(url);
  std::lock_guard lock(serialsMutex);
  json doc = readJsonDocument(file);
  const uint64_t highest = highestIn(doc, key);
  if (serial < highest) return SerialCheck::Older;
  if (serial == highest) return SerialCheck::Accepted;
  if (!doc.is_object()) doc = json::object();
  if (!doc["serials"].is_object()) doc["serials"] = json::object();
  doc["serials"][key] = serial;
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  if (!writeJsonDocument(file, doc)) {
    logf("warn", "Couldn't keep the update server's serial {} in {}", serial, toUtf8(file));
  }
  return SerialCheck::Accepted;
}

uint64_t highestSerial(const std::filesystem::path& file, const std::string& url) {
  std::lock_guard lock(serialsMutex);
  return highestIn(readJsonDocument(file), documentKey(url));
}

}  // namespace launcher
