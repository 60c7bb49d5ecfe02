#include "update/feed_trust.h"

#include "base/log.h"
#include "data/json_document.h"
#include "update/feed_serials.h"
#include "update/feed_signature.h"
#include "update/json_fields.h"

#include <chrono>
#include <cstdlib>
#include <string_view>

// Set by the build from -DVANTOR_FEED_KEYS.
#ifndef VANTOR_BUILTIN_FEED_KEYS
#define VANTOR_BUILTIN_FEED_KEYS ""
#endif

namespace launcher {

namespace {

// A ".sig" holds one line of Base64 (88 characters); this leaves room for line ends.
constexpr uint64_t signatureLimit = 1024;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void addKey(FeedTrust& trust, std::string_view text, const char* where) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  if (text.empty()) return;
  trust.required = true;
  std::string point;
  if (decodeFeedKey(text, point)) {
    trust.keys.push_back(std::move(point));
  } else {
    logf("warn", "A feed key in {} is not a key; it verifies nothing", where);
  }
}

void addKeyList(FeedTrust& trust, std::string_view list, const char* where) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    addKey(trust, list.substr(0, comma), where);
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
}

// Digits at `text[at]`..: exactly `count` of them.
bool digits(const std::string& text, size_t at, size_t count, int& out) {
  if (at + count > text.size()) return false;
  out = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

FeedTrust feedTrustFrom(const std::string& builtIn, const nlohmann::json& config, const std::string& environment) {
  FeedTrust trust;
  addKeyList(trust, builtIn, "the launcher's build");
  if (config.is_object()) {
    if (auto keys = config.find("feedKeys"); keys != config.end()) {
      if (keys->is_array()) {
        for (const auto& key : *keys) {
          if (key.is_string()) {
            addKey(trust, key.get<std::string>(), "update.json");
          } else {
            trust.required = true;
            logf("warn", "A feed key in {} is not a key; it verifies nothing", "update.json");
          }
        }
      } else {
        trust.required = true;
        logf("warn", "\"feedKeys\" in update.json is not a list of keys; no answer can be verified");
      }
    }
  }
  addKeyList(trust, environment, "VANTOR_FEED_KEYS");
  return trust;
}

FeedTrust loadFeedTrust(const std::filesystem::path& launcherFolder, const std::filesystem::path& serialsFile) {
  const char* env = std::getenv("VANTOR_FEED_KEYS");
  FeedTrust trust = feedTrustFrom(VANTOR_BUILTIN_FEED_KEYS, readJsonDocument(launcherFolder / "update.json"),
                                  env ? env : "");
  trust.serialsFile = serialsFile;
  return trust;
}

bool parseRfc3339(const std::string& text, int64_t& seconds) {
  int year, month, day, hour, minute, second;
  if (!digits(text, 0, 4, year) || text.size() < 19 || text[4] != '-' || !digits(text, 5, 2, month) ||
      text[7] != '-' || !digits(text, 8, 2, day) || (text[10] != 'T' && text[10] != 't') ||
      !digits(text, 11, 2, hour) || text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' ||
      !digits(text, 17, 2, second)) {
    return false;
  }
  size_t at = 19;
  if (at < text.size() && text[at] == '.') {
    ++at;
    const size_t first = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == first) return false;
  }
  int offset = 0;
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    int hours, minutes;
    if (!digits(text, at + 1, 2, hours) || at + 3 >= text.size() || text[at + 3] != ':' ||
        !digits(text, at + 4, 2, minutes) || hours > 23 || minutes > 59) {
      return false;
    }
    offset = (hours * 60 + minutes) * 60 * (text[at] == '-' ? -1 : 1);
    at += 6;
  } else {
    return false;
  }
  if (at != text.size()) return false;
  // 60 is a leap second.
  if (hour > 23 || minute > 59 || second > 60) return false;
  const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return false;
  const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset;
  return true;
}

bool hasExpired(const std::string& expires, int64_t now) {
  int64_t at = 0;
  return !parseRfc3339(expires, at) || at <= now;
}

int64_t unixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool fetchSignedDocument(const std::string& url, const FeedTrust& trust, std::string& body, SignedDocument& info,
                         std::string& error, const StopRequested& stop) {
  info = SignedDocument{};
  TransferLimits signatureLimits = smallDocumentLimits;
  signatureLimits.maxBytes = signatureLimit;
  for (int attempt = 0;; ++attempt) {
    if (!fetchText(url, body, error, stop, smallDocumentLimits)) return false;
    if (!trust.required) return true;
    std::string signature;
    std::string signatureError;
    if (fetchText(url + ".sig", signature, signatureError, stop, signatureLimits) &&
        verifyFeedSignature(body, signature, trust.keys)) {
      break;
    }
    if (signatureError == "Cancelled" || (stop && stop())) {
      error = "Cancelled";
    } else if (attempt == 0) {
      continue;
    } else {
      error = unsignedAnswerText;
    }
    body.clear();
    return false;
  }

  const json doc = json::parse(body, nullptr, /*allow_exceptions=*/false);
  info.expires = stringMember(doc, "expires");
  info.serial = uint64Member(doc, "serial");
  if (hasExpired(info.expires, unixNow())) {
    error = expiredAnswerText;
    body.clear();
    return false;
  }
  if (!trust.serialsFile.empty() && acceptSerial(trust.serialsFile, url, info.serial) == SerialCheck::Older) {
    error = olderReleaseText;
    body.clear();
    return false;
  }
  info.verified = true;
  return true;
}

}  // namespace launcher
