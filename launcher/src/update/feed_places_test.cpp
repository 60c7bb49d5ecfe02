#include "update/feed_places.h"

#include "testing/scoped_env.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/location.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace launcher {
namespace {

using nlohmann::json;
using testing::TestHttpServer;
using testing::TestResponse;

const std::string manifestText = R"({"version":"1.0","build":1,"objects":"../objects/","files":[]})";

TestResponse answer(std::string body, int status = 200) {
  TestResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

TEST(FeedPlaces, MirrorsComeFromUpdateJsonForItsOwnFeedOnly) {
  testing::TempDir dir;
  testing::ScopedEnv noFeed("VANTOR_UPDATE_FEED", std::nullopt);
  testing::writeFile(dir / "update.json",
                     json{{"feed", "https://feed.example/base/"},
                          {"mirrors", {"https://m1.example/copy/", 7, "", "/srv/mirror\\", "https://m2.example"}}}
                         .dump());
  EXPECT_EQ(feedMirrors(dir.path()),
            (std::vector<std::string>{"https://m1.example/copy", "/srv/mirror", "https://m2.example"}));
  EXPECT_EQ(feedPlaces("https://feed.example/base/manifests/1.0-1.json", dir.path()),
            (std::vector<std::string>{"https://feed.example/base/manifests/1.0-1.json",
                                      "https://m1.example/copy/manifests/1.0-1.json",
                                      "/srv/mirror\\manifests\\1.0-1.json",
                                      "https://m2.example/manifests/1.0-1.json"}));
  // A manifest elsewhere has no copies at the mirrors.
  EXPECT_EQ(feedPlaces("https://cdn.example/m.json", dir.path()),
            std::vector<std::string>{"https://cdn.example/m.json"});
  // Another feed named in the environment: these are not its mirrors.
  testing::ScopedEnv otherFeed("VANTOR_UPDATE_FEED", std::string("https://other.example"));
  EXPECT_TRUE(feedMirrors(dir.path()).empty());
}

TEST(FeedPlaces, RelocateKeepsThePathBelowTheBase) {
  EXPECT_EQ(relocate("https://a/feed/x/y.json", "https://a/feed", "https://b"), "https://b/x/y.json");
  EXPECT_EQ(relocate("https://a/feed/x/y.json", "https://a/fe", "https://b"), "");
  EXPECT_EQ(relocate("https://a/feed", "https://a/feed", "https://b"), "");
  EXPECT_EQ(relocate("C:\\feed\\x\\y.json", "C:\\feed", "https://b/m"), "https://b/m/x/y.json");
  EXPECT_EQ(relocate("https://a/feed/x\\y", "https://a/feed", "/srv/m"), "/srv/m\\x\\y");
  EXPECT_EQ(relocate("https://a/x", "", "https://b"), "");
}

// A pinned manifest comes from the first place that gives exactly its bytes;
// the places that failed are only passed over, and the manifest's source is
// the feed's place whichever answered.
TEST(FeedPlaces, PinnedManifestComesFromWhicheverPlaceHasItsBytes) {
  TestHttpServer feed;
  TestHttpServer wrong;
  TestHttpServer right;
  feed.serve("/m.json", answer("busy", 503));
  wrong.serve("/m.json", answer(R"({"version":"6.6","build":6,"objects":"../objects/","files":[]})"));
  right.serve("/m.json", answer(manifestText));
  const std::vector<std::string> places{feed.url("/m.json"), wrong.url("/m.json"), right.url("/m.json")};
  DocumentPin pin;
  pin.sha256 = sha256Hex(manifestText);
  pin.size = manifestText.size();
  GameManifest m;
  std::string error;
  ASSERT_TRUE(loadManifestFrom(places, pin, m, error)) << error;
  EXPECT_EQ(m.version, "1.0");
  EXPECT_EQ(m.source, places[0]);
  EXPECT_EQ(m.mirrorSources, (std::vector<std::string>{places[1], places[2]}));
  EXPECT_EQ(objectLocations(m, std::string(64, 'a')).size(), 3u);

  // No place has the pinned bytes: the feed's own failure is the text.
  right.serve("/m.json", answer(manifestText + " "));
  EXPECT_FALSE(loadManifestFrom(places, pin, m, error));
  EXPECT_EQ(error, "Server answered 503 for " + places[0]);

  // Unpinned bytes are taken from the feed's place only.
  right.serve("/m.json", answer(manifestText));
  const int before = right.requestCount("/m.json");
  EXPECT_FALSE(loadManifestFrom(places, DocumentPin{}, m, error));
  EXPECT_EQ(right.requestCount("/m.json"), before);
}

}  // namespace
}  // namespace launcher
