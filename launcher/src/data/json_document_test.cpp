#include "data/json_document.h"

#include "testing/log_capture.h"
#include "testing/linux_only.h"
#include "testing/scoped_tmpfs.h"
#include "testing/sync_recorder.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

struct ReadCase {
  const char* name;
  std::string bytes;
  bool parses;
  json expected;  // when parses
};

// One table for both kinds: a parse error gives no document, and only the
// settings kind keeps a byte-exact ".bad" copy of it.
TEST(JsonDocument, ReadAcceptsStrictJsonOnlyAndCopiesDamagedSettings) {
  const std::vector<ReadCase> cases = {
      {"object", R"({"a":1})", true, json{{"a", 1}}},
      {"byte order mark", "\xEF\xBB\xBF{\"a\":1}", true, json{{"a", 1}}},
      {"crlf and spaces", "\r\n  {\"a\" : 1}\r\n\r\n", true, json{{"a", 1}}},
      {"array", "[]", true, json::array()},
      {"number", "5", true, json(5)},
      {"non-ascii", "{\"n\":\"\xC3\xA9\"}", true, json{{"n", "\xC3\xA9"}}},
      {"empty file", "", false, {}},
      {"whitespace only", " \n", false, {}},
      {"truncated object", "{", false, {}},
      {"trailing text", "{} x", false, {}},
      {"second value", "{}{}", false, {}},
      {"line comment", "{} // note", false, {}},
      {"block comment", "/* note */ {}", false, {}},
      {"two byte order marks", "\xEF\xBB\xBF\xEF\xBB\xBF{}", false, {}},
      {"broken byte order mark", "\xEF\xBB{}", false, {}},
      {"invalid utf-8 in string", "{\"a\":\"\xFF\"}", false, {}},
      {"trailing comma", "{\"a\":1,}", false, {}},
      // The parser ends its input at a NUL byte (found by JSONTestSuite).
      {"NUL after a value", std::string("123\0", 4), false, {}},
      {"NUL then more", std::string("{\"a\":1}\0{\"b\":2}", 15), false, {}},
  };
  for (const ReadCase& c : cases) {
    for (DocumentKind kind : {DocumentKind::Plain, DocumentKind::Settings}) {
      const bool settings = kind == DocumentKind::Settings;
      SCOPED_TRACE(std::string(c.name) + (settings ? " (settings)" : " (plain)"));
      TempDir dir;
      const fs::path file = dir / "doc.json";
      writeFile(file, c.bytes);
      json document = readJsonDocument(file, kind);
      EXPECT_EQ(!document.is_discarded(), c.parses);
      if (c.parses) {
        EXPECT_EQ(document, c.expected);
      }
      const fs::path bad = companionPath(file, ".bad");
      const bool expectBad = settings && !c.parses;
      EXPECT_EQ(fs::exists(bad), expectBad);
      if (expectBad) {
        EXPECT_EQ(readFile(bad), c.bytes);
      }
      EXPECT_EQ(readFile(file), c.bytes) << "reading never changes the document";
    }
  }
}

TEST(JsonDocument, MissingFileIsNoDocumentAndNoBadCopy) {
  TempDir dir;
  json document = readJsonDocument(dir / "settings.json", DocumentKind::Settings);
  EXPECT_TRUE(document.is_discarded());
  EXPECT_FALSE(fs::exists(dir / "settings.json.bad"));
  EXPECT_FALSE(fs::exists(dir / "settings.json"));
}

TEST(JsonDocument, BadCopyReplacesAnOlderOne) {
  TempDir dir;
  writeFile(dir / "settings.json.bad", "older damage, much longer than the new one");
  writeFile(dir / "settings.json", "{\"a\":");
  EXPECT_TRUE(readJsonDocument(dir / "settings.json", DocumentKind::Settings).is_discarded());
  EXPECT_EQ(readFile(dir / "settings.json.bad"), "{\"a\":");
}

TEST(JsonDocument, CompanionAppendsToTheWholeName) {
  EXPECT_EQ(companionPath("/d/settings.json", ".tmp"), fs::path("/d/settings.json.tmp"));
  EXPECT_EQ(companionPath("/d/noext", ".bad"), fs::path("/d/noext.bad"));
}

TEST(JsonDocument, WrittenLayoutIsSortedTwoSpaceIndentedUnescapedWithOneLineFeed) {
  TempDir dir;
  json value = json::object();
  value["onPlay"] = "stay";
  value["checkForUpdates"] = true;
  value["nested"] = json{{"z", 1}, {"a", json::array({1, 2})}};
  value["name"] = "P\xC3\xAFlot \xE2\x82\xAC";  // Pïlot €
  ASSERT_TRUE(writeJsonDocument(dir / "doc.json", value));
  const std::string expected =
      "{\n"
      "  \"checkForUpdates\": true,\n"
      "  \"name\": \"P\xC3\xAFlot \xE2\x82\xAC\",\n"
      "  \"nested\": {\n"
      "    \"a\": [\n"
      "      1,\n"
      "      2\n"
      "    ],\n"
      "    \"z\": 1\n"
      "  },\n"
      "  \"onPlay\": \"stay\"\n"
      "}\n";
  EXPECT_EQ(readFile(dir / "doc.json"), expected);
  EXPECT_FALSE(fs::exists(dir / "doc.json.tmp"));
}

TEST(JsonDocument, StaleTmpFromACrashIsReplacedAndGoneAfterSave) {
  for (DocumentKind kind : {DocumentKind::Plain, DocumentKind::Settings}) {
    TempDir dir;
    const fs::path file = dir / "launcher.json";
    writeFile(file, "{\"old\": true}\n");
    // Longer than the new text, so a missing truncation would show.
    writeFile(companionPath(file, ".tmp"), std::string(4096, '#'));
    ASSERT_TRUE(writeJsonDocument(file, json{{"new", 1}}, kind));
    EXPECT_EQ(readFile(file), "{\n  \"new\": 1\n}\n");
    EXPECT_FALSE(fs::exists(companionPath(file, ".tmp")));
  }
}

TEST(JsonDocument, TargetThatCannotBeReplacedFailsAndKeepsOldContent) {
  // Root ignores permission bits, so a non-empty folder stands in for a file
  // that cannot be replaced: rename(2) refuses it for everyone.
  for (DocumentKind kind : {DocumentKind::Plain, DocumentKind::Settings}) {
    TempDir dir;
    const fs::path file = dir / "settings.json";
    writeFile(file / "inside", "old content");
    EXPECT_FALSE(writeJsonDocument(file, json{{"new", 1}}, kind));
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(readFile(file / "inside"), "old content");
    EXPECT_EQ(readFile(companionPath(file, ".tmp")), "{\n  \"new\": 1\n}\n");
  }
}

TEST(JsonDocument, SettingsKindCreatesMissingFoldersOthersDoNot) {
  TempDir dir;
  EXPECT_TRUE(writeJsonDocument(dir / "a" / "b" / "settings.json", json::object(), DocumentKind::Settings));
  EXPECT_EQ(readFile(dir / "a" / "b" / "settings.json"), "{}\n");
  EXPECT_FALSE(writeJsonDocument(dir / "c" / "launcher.json", json::object(), DocumentKind::Plain));
  EXPECT_FALSE(fs::exists(dir / "c"));
}

TEST(JsonDocument, InvalidUtf8InMemoryIsReplacedNotThrown) {
  TempDir dir;
  ASSERT_TRUE(writeJsonDocument(dir / "doc.json", json{{"s", std::string("a\xFF")}}));
  json back = readJsonDocument(dir / "doc.json");
  ASSERT_TRUE(back.is_object());
  EXPECT_EQ(back["s"], "a\xEF\xBF\xBD");
}

TEST(JsonDocument, TmpIsSyncedBeforeTheRenameThatCommitsIt) {
  VANTOR_LINUX_ONLY("fsync and rename interposed in the test binary");
  TempDir dir;
  const fs::path file = fs::canonical(dir.path()) / "addons.json";
  const std::string tmp = companionPath(file, ".tmp").string();
  std::vector<std::string> events;
  {
    testing::SyncRecorder recorder;
    ASSERT_TRUE(writeJsonDocument(file, json{{"a", 1}}));
    events = recorder.events();
  }
  auto at = [&](const std::string& event) {
    return std::find(events.begin(), events.end(), event) - events.begin();
  };
  const auto syncTmp = at("fsync " + tmp);
  const auto commit = at("rename " + tmp + " -> " + file.string());
  const auto syncFolder = at("fsync " + file.parent_path().string());
  const auto end = static_cast<std::ptrdiff_t>(events.size());
  ASSERT_LT(syncTmp, end) << "the .tmp companion was never synced";
  ASSERT_LT(commit, end) << "no rename over the document";
  ASSERT_LT(syncFolder, end) << "the folder entry was never synced";
  EXPECT_LT(syncTmp, commit);
  EXPECT_GT(syncFolder, commit);
}

// Once the rename has put the new content in place, a folder that cannot be
// flushed is a warning, not a failed save: reporting failure would make the
// caller believe the old content is still there.
TEST(JsonDocument, FolderFlushFailureAfterTheRenameIsNotAFailedSave) {
  VANTOR_LINUX_ONLY("fsync and rename interposed in the test binary");
  TempDir dir;
  const fs::path file = dir / "launcher.json";
  ASSERT_TRUE(writeJsonDocument(file, json{{"old", 1}}));
  testing::LogCapture log;
  {
    testing::FolderFlushFailure failing;
    EXPECT_TRUE(writeJsonDocument(file, json{{"new", 2}}));
  }
  EXPECT_EQ(readFile(file), "{\n  \"new\": 2\n}\n");
  const std::vector<std::string> warnings = log.warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("Couldn't flush"), std::string::npos) << warnings[0];
}

TEST(JsonDocument, FullDiskWriteFailsAndKeepsTheOldDocument) {
  TempDir dir;
  testing::ScopedTmpfs disk(dir / "disk", 64 * 1024);
  if (!disk.mounted()) GTEST_SKIP() << "needs a real full disk: " << disk.skipReason();
  const std::string big(256 * 1024, 'x');
  for (DocumentKind kind : {DocumentKind::Plain, DocumentKind::Settings}) {
    SCOPED_TRACE(kind == DocumentKind::Settings ? "settings" : "plain");
    const fs::path file = disk.path() / "doc.json";
    ASSERT_TRUE(writeJsonDocument(file, json{{"old", true}}, kind));
    const std::string old = readFile(file);
    EXPECT_FALSE(writeJsonDocument(file, json{{"big", big}}, kind));
    EXPECT_EQ(readFile(file), old) << "a truncated .tmp must never replace the document";
    EXPECT_TRUE(readJsonDocument(file, kind).is_object());
    // The next save truncates the leftover companion, which frees the space.
    EXPECT_TRUE(writeJsonDocument(file, json{{"small", 1}}, kind));
    EXPECT_EQ(readFile(file), "{\n  \"small\": 1\n}\n");
    std::error_code ec;
    fs::remove(file, ec);
  }
}

}  // namespace
}  // namespace launcher
