// What a server or a feed folder can make the launcher read: only http(s)
// and relative references from a server, only regular local files, no
// document of 64 MiB or more, and no small document for longer than its
// time limit.
#include "testing/odd_files.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "testing/transfer_faults.h"
#include "update/feed.h"
#include "update/http.h"
#include "update/location.h"
#include "update/manifest.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::TestHttpServer;
using testing::TestResponse;
using testing::writeFile;

TEST(ResolveReference, ServerDocumentsNameOnlyHttpOrRelativeLocations) {
  const std::string http = "https://cdn.example/stable/latest.json";
  struct Case {
    std::string base;
    std::string ref;
    bool ok;
    std::string resolved;  // when ok
  };
  const Case cases[] = {
      {http, "../manifests/1.json", true, "https://cdn.example/manifests/1.json"},
      {http, "/abs/on/server.json", true, "https://cdn.example/stable//abs/on/server.json"},
      {http, "http://other.example/x.json", true, "http://other.example/x.json"},
      {http, "file:///etc/passwd", false, ""},
      {http, "FILE:/etc/passwd", false, ""},
      {http, "C:/Windows/win.ini", false, ""},
      {http, "c:relative", false, ""},
      {http, "\\\\server\\share\\x", false, ""},
      {http, "ftp://example/x", false, ""},
      {http, "data:text/plain,hi", false, ""},
      // Anything before a colon in second place reads as a drive letter when
      // resolved (found by fuzzing): refused like one.
      {http, "1:/etc/", false, ""},
      {http, "@:/Games/a", false, ""},
      {http, "_:x", false, ""},
      // A colon later in a relative path is not a scheme.
      {http, "objects/a:b", true, "https://cdn.example/stable/objects/a:b"},
      // A local feed is trusted as its folder is.
      {"/srv/feed/stable/latest.json", "file:///srv/other.json", true, "file:///srv/other.json"},
  };
  for (const Case& c : cases) {
    std::string out = "stale";
    std::string error;
    EXPECT_EQ(resolveReference(c.base, c.ref, out, error), c.ok) << c.ref;
    if (c.ok) {
      EXPECT_EQ(out, c.resolved) << c.ref;
    } else {
      EXPECT_EQ(error, "Bad address: " + c.ref);
      EXPECT_EQ(out, "");
    }
  }
}

TEST(ResolveReference, ManifestFromAServerCannotKeepItsObjectsInLocalFiles) {
  TestHttpServer server;
  TestResponse manifest;
  manifest.body = R"({"version":"1","build":1,"chunkSize":1048576,"objects":"file:///etc/","files":[]})";
  server.serve("/m.json", manifest);
  GameManifest m;
  std::string error;
  EXPECT_FALSE(loadManifest(server.url("/m.json"), m, error));
  EXPECT_EQ(error, "Bad address: file:///etc/");
}

TEST(ResolveReference, CatalogueEntriesNamingLocalFilesAreSkipped) {
  TestHttpServer server;
  TestResponse catalog;
  catalog.body = R"({"addons":[{"id":"good","manifest":"good.json"},
                               {"id":"evil","manifest":"file:///etc/passwd"},
                               {"id":"share","manifest":"\\\\host\\share\\m.json"}]})";
  server.serve("/addons/catalog.json", catalog);
  std::vector<CatalogEntry> entries;
  std::string error;
  ASSERT_TRUE(fetchCatalog(server.url("/addons/catalog.json"), entries, error)) << error;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, "good");
  EXPECT_EQ(entries[0].manifest, server.url("/addons/good.json"));
}

TEST(LocalDocuments, DevicesAndPipesAreNotRead) {
  VANTOR_LINUX_ONLY("named pipes and /dev/zero");
  TempDir dir;
  const fs::path fifo = dir / "pipe.json";
  ASSERT_TRUE(testing::makeFifo(fifo));
  for (const std::string& location : {fifo.string(), std::string("/dev/zero"), std::string("file:///dev/zero")}) {
    std::string body;
    std::string error;
    EXPECT_FALSE(fetchText(location, body, error)) << location;
    EXPECT_EQ(error, "Can't open " + location);
    std::string digest;
    EXPECT_FALSE(downloadFile(location, dir / "copy", {}, digest, error)) << location;
    EXPECT_EQ(error, "Can't open " + location);
  }
}

TEST(LocalDocuments, SixtyFourMebibytesOrMoreFailWithTheirOwnText) {
  TempDir dir;
  const fs::path under = dir / "under.json";
  const fs::path exactly = dir / "exactly.json";
  writeFile(under, "");
  writeFile(exactly, "");
  fs::resize_file(under, maxTextBytes - 1);  // sparse: quick to make
  fs::resize_file(exactly, maxTextBytes);
  std::string body;
  std::string error;
  EXPECT_TRUE(fetchText(under.string(), body, error)) << error;
  EXPECT_EQ(body.size(), maxTextBytes - 1);
  EXPECT_FALSE(fetchText(exactly.string(), body, error));
  EXPECT_EQ(error, exactly.string() + " is 64 MiB or larger");
  EXPECT_TRUE(body.empty());
}

TEST(TransferLimits, SilentServerFailsAtTheTotalLimitAsATransferError) {
  TestHttpServer server;
  TestResponse slow;
  slow.body = "{}";
  slow.delayMs = 4000;
  server.serve("/latest.json", slow);
  std::string body;
  std::string error;
  EXPECT_FALSE(fetchText(server.url("/latest.json"), body, error, {}, TransferLimits{1}));
  EXPECT_EQ(error, testing::unreachableText(testing::TransferFault::TimedOut));
}

}  // namespace
}  // namespace launcher
