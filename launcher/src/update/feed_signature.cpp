#include "update/feed_signature.h"

#include "base/base64.h"

namespace launcher {

namespace {

std::string_view trimmed(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

bool decodeFeedKey(std::string_view base64, std::string& point) {
  std::string bytes;
  if (!decodeBase64(trimmed(base64), bytes) || bytes.size() != feedKeyBytes || bytes[0] != '\x04') return false;
  point = std::move(bytes);
  return true;
}

bool verifyFeedSignature(std::string_view document, std::string_view signatureText,
                         const std::vector<std::string>& keyPoints) {
  // A ".sig" is one short line; anything longer is not ours.
  if (signatureText.size() > 256) return false;
  std::string signature;
  if (!decodeBase64(trimmed(signatureText), signature) || signature.size() != feedSignatureBytes) return false;
  for (const std::string& point : keyPoints) {
    if (point.size() == feedKeyBytes && verifyP256Sha256(point, document, signature)) return true;
  }
  return false;
}

}  // namespace launcher
