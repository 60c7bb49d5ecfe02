// A manifest named by a document that pins it: read no further than its
// size, and refused unless its bytes are exactly the pinned ones.
#include "update/manifest.h"

#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/location.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

using testing::TempDir;

const std::string manifestText =
    R"({"version":"1.0","build":2,"objects":"../objects/","files":[{"path":"a","size":1,"sha256":")" +
    std::string(64, 'c') + R"("}]})";

TEST(ManifestPin, OnlyThePinnedBytesAreAccepted) {
  TempDir dir;
  const std::string location = toUtf8(dir / "manifests" / "m.json");
  const std::string digest = sha256Hex(manifestText);
  std::string sameSize = manifestText;
  sameSize[sameSize.find("1.0") + 2] = '1';  // "1.1": parses, but is not what was pinned
  struct Case {
    const char* name;
    std::string served;
    DocumentPin pin;
    bool ok;
  };
  const Case cases[] = {
      {"the pinned bytes", manifestText, {digest, manifestText.size(), true}, true},
      {"one byte changed", sameSize, {digest, manifestText.size(), true}, false},
      {"one byte more", manifestText + " ", {digest, manifestText.size(), true}, false},
      {"one byte less", manifestText.substr(0, manifestText.size() - 1), {digest, manifestText.size(), true}, false},
      {"the right bytes, a wrong size in the pin", manifestText, {digest, manifestText.size() + 1, true}, false},
      {"a verified document without a pin", manifestText, {"", 0, true}, false},
      {"a verified document with a pin that is no digest", manifestText, {std::string(64, 'X'), 10, true}, false},
      {"unverified, no pin: taken as it comes", sameSize, {"", 0, false}, true},
      {"unverified, a pin that is no digest: not checked", sameSize, {"abc", 5, false}, true},
      {"unverified with a pin: the pin holds", sameSize, {digest, manifestText.size(), false}, false},
  };
  for (const Case& c : cases) {
    testing::writeFile(dir / "manifests" / "m.json", c.served);
    GameManifest m;
    std::string error;
    EXPECT_EQ(loadManifest(location, c.pin, m, error), c.ok) << c.name << ": " << error;
    if (c.ok) {
      EXPECT_EQ(m.files.size(), 1u) << c.name;
    } else {
      EXPECT_EQ(error, damagedManifestText) << c.name;
      EXPECT_TRUE(m.files.empty()) << c.name << ": nothing in it was used";
    }
  }
}

TEST(ManifestPin, AServerCannotSendMoreThanThePinAllows) {
  testing::TestHttpServer server;
  testing::TestResponse endless;
  endless.generatedSize = 256ull * 1024 * 1024;  // far past the pin, and past fetchText's own limit
  server.serve("/m.json", endless);
  GameManifest m;
  std::string error;
  EXPECT_FALSE(loadManifest(server.url("/m.json"), DocumentPin{sha256Hex(manifestText), manifestText.size(), true}, m,
                            error));
  EXPECT_EQ(error, damagedManifestText);
}

}  // namespace
}  // namespace launcher
