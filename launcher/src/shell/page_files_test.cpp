#include "shell/page_files.h"

#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace launcher {
namespace {

using testing::TempDir;
using testing::writeFile;

const unsigned char indexBytes[] = {'<', 'h', '1', '>'};
const unsigned char scriptBytes[] = {'j', 's'};
const EmbeddedFile table[] = {
    {"index.html", "text/html; charset=utf-8", indexBytes, sizeof indexBytes},
    {"launcher.js", "text/javascript; charset=utf-8", scriptBytes, sizeof scriptBytes},
    {"launcher.css", "text/css; charset=utf-8", scriptBytes, 0},  // present but empty
};

PageSource embedded() { return {{}, table}; }

TEST(PageFilesTest, PathFromUriDropsOriginQueryAndFragment) {
  struct Case {
    const char* uri;
    const char* path;
  } cases[] = {
      {"vantor://launcher/", ""},
      {"vantor://launcher/index.html", "index.html"},
      {"vantor://launcher/index.html?x=1#top", "index.html"},
      {"vantor://launcher/index.html#a?b", "index.html"},
      {"vantor://launcher/?only=query", ""},
      {"vantor://launcher/fonts/manrope.woff2", "fonts/manrope.woff2"},
      {"vantor://other/index.html", ""},
      {"https://launcher/index.html", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(pagePathFromUri(c.uri, pageOrigin), c.path) << c.uri;
}

TEST(PageFilesTest, ServesEmbeddedFilesIgnoringCaseAndAnswers404ForTheRest) {
  struct Case {
    const char* path;
    int status;
    const char* contentType;
    const char* body;
  } cases[] = {
      {"", 200, "text/html; charset=utf-8", "<h1>"},  // the origin alone is the document
      {"index.html", 200, "text/html; charset=utf-8", "<h1>"},
      {"INDEX.HTML", 200, "text/html; charset=utf-8", "<h1>"},
      {"LAUNCHER.JS", 200, "text/javascript; charset=utf-8", "js"},
      {"Launcher.Js", 200, "text/javascript; charset=utf-8", "js"},
      // Embedded but empty: 404 with the file's type.
      {"launcher.css", 404, "text/css; charset=utf-8", ""},
      // Not part of the build's page.
      {"fonts/orbitron.woff2", 404, "application/octet-stream", ""},
      {"favicon.ico", 404, "application/octet-stream", ""},
      {"index.html/", 404, "application/octet-stream", ""},
      {"../index.html", 404, "application/octet-stream", ""},
      {"/index.html", 404, "application/octet-stream", ""},
      {"index.htm", 404, "application/octet-stream", ""},
  };
  for (const Case& c : cases) {
    PageResponse r = servePagePath(c.path, embedded());
    EXPECT_EQ(r.status, c.status) << c.path;
    EXPECT_EQ(r.reason, c.status == 200 ? "OK" : "Not Found") << c.path;
    EXPECT_EQ(r.contentType, c.contentType) << c.path;
    EXPECT_EQ(r.body, c.body) << c.path;
  }
}

TEST(PageFilesTest, ContentTypesByKindAndOnlyForPlainRelativePaths) {
  struct Case {
    const char* path;
    const char* type;
  } cases[] = {
      {"index.html", "text/html; charset=utf-8"},
      {"core.js", "text/javascript; charset=utf-8"},
      {"sub/Page.CSS", "text/css; charset=utf-8"},
      {"fonts/manrope.woff2", "font/woff2"},
      {"img/logo.svg", "image/svg+xml"},
      {"data.json", "application/json"},
      {".js", ""},
      {"README.md", ""},
      {"launcher", ""},
      {"../secret.js", ""},
      {"./core.js", ""},
      {"a//core.js", ""},
      {"/core.js", ""},
      {".hidden/core.js", ""},
      {"a\\..\\core.js", ""},
      {"a\ncore.js", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(pageContentType(c.path), c.type) << c.path;
}

TEST(PageFilesTest, OverrideFolderServesItsFilesWithoutFallingBackToTheEmbeddedCopy) {
  TempDir dir;
  writeFile(dir / "index.html", "from disk");
  writeFile(dir / "fonts" / "manrope.woff2", std::string("wOF2\0x", 6));
  PageSource source{dir.path(), table};

  EXPECT_EQ(servePagePath("index.html", source).body, "from disk");
  PageResponse font = servePagePath("FONTS/Manrope.woff2", source);
  EXPECT_EQ(font.status, 200);
  EXPECT_EQ(font.contentType, "font/woff2");
  EXPECT_EQ(font.body, std::string("wOF2\0x", 6));  // binary, whole
  // launcher.js is embedded but missing in the folder: 404, not the embedded bytes.
  PageResponse script = servePagePath("launcher.js", source);
  EXPECT_EQ(script.status, 404);
  EXPECT_EQ(script.contentType, "text/javascript; charset=utf-8");
  EXPECT_EQ(script.body, "");
  // A file the build does not know is served from the folder too; the name is
  // then taken as given, and nothing outside the folder is reachable.
  writeFile(dir / "extra.js", "extra");
  writeFile(dir.path().parent_path() / "outside.js", "outside");
  EXPECT_EQ(servePagePath("extra.js", source).body, "extra");
  EXPECT_EQ(servePagePath("../outside.js", source).status, 404);
  EXPECT_EQ(servePagePath("../outside.js", source).contentType, "application/octet-stream");
  writeFile(dir / "notes.md", "notes");
  EXPECT_EQ(servePagePath("notes.md", source).status, 404);

  // Edits show at the next request: nothing is cached.
  writeFile(dir / "index.html", "edited");
  EXPECT_EQ(servePagePath("", source).body, "edited");
}

TEST(PageFilesTest, EnvironmentPicksTheOverrideOnlyWhenNotEmpty) {
  {
    testing::ScopedEnv env("VANTOR_LAUNCHER_UI", "/some/folder");
    EXPECT_EQ(pageSourceFromEnvironment().overrideFolder, std::filesystem::path("/some/folder"));
  }
  {
    testing::ScopedEnv env("VANTOR_LAUNCHER_UI", "");
    EXPECT_TRUE(pageSourceFromEnvironment().overrideFolder.empty());
  }
  {
    testing::ScopedEnv env("VANTOR_LAUNCHER_UI", std::nullopt);
    EXPECT_TRUE(pageSourceFromEnvironment().overrideFolder.empty());
  }
}

TEST(PageFilesTest, EmbeddedTableHoldsOnlyPageFilesWithTheirTypes) {
  std::set<std::string> paths;
  for (const EmbeddedFile& file : embeddedPageFiles()) {
    paths.insert(file.path);
    EXPECT_EQ(pageContentType(file.path), file.contentType) << file.path;
    EXPECT_EQ(std::string_view(file.path).find(".test.js"), std::string_view::npos) << file.path;
    EXPECT_GT(file.size, 0u) << file.path;
  }
  // The page's own files (the fonts are copied in by a separate step, so they
  // may be missing from a build).
  for (const char* path : {"index.html", "launcher.css", "launcher.js"}) EXPECT_EQ(paths.count(path), 1u) << path;
  // The build serves them: the table is what the launcher answers from.
  PageResponse index = servePagePath("", PageSource{{}, embeddedPageFiles()});
  EXPECT_EQ(index.status, 200);
  EXPECT_EQ(index.contentType, "text/html; charset=utf-8");
  EXPECT_NE(index.body.find("launcher.js"), std::string::npos);
  std::string_view icon = embeddedIconPng();
  ASSERT_GT(icon.size(), 8u);
  EXPECT_EQ(icon.substr(1, 3), "PNG");
}

}  // namespace
}  // namespace launcher
