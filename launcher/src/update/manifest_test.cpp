#include "update/manifest.h"

#include "testing/sync_recorder.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace launcher {
namespace {

using json = nlohmann::json;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const std::string digestA(64, 'a');
const std::string digestB(64, 'b');
const std::string digestC(64, 'c');
const std::string digestD(64, 'd');
const std::string digestE(64, 'e');
constexpr uint64_t mib = 1048576;

json fileEntry(const std::string& path, uint64_t size = 3, const std::string& sha = digestA,
               json chunks = json::array()) {
  json f = {{"path", path}, {"size", size}, {"sha256", sha}};
  if (!chunks.empty()) f["chunks"] = std::move(chunks);
  return f;
}

const std::string weakA = "cbf43926091e01de";
const std::string weakB = "0000000000000001";
const json weakKind = {{"weakKind", "crc32+adler32"}};

json withWeak(json file, json weak) {
  file["weak"] = std::move(weak);
  return file;
}

std::string withFiles(json files, json extra = json::object()) {
  json doc = {{"version", "1.0"}, {"build", 1}, {"objects", "../objects/"}, {"files", std::move(files)}};
  for (auto& [key, value] : extra.items()) doc[key] = value;
  return doc.dump();
}

TEST(ParseManifest, RejectsEachMalformedInputWithItsText) {
  const std::string invalidFile = "The manifest lists an invalid file: ";
  const std::string invalidWeak = "The manifest lists an invalid weak checksum in ";
  const std::string upper = "A" + std::string(63, 'a');
  struct Case {
    const char* name;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"top level an array", "[]", "The manifest is damaged"},
      {"top level a number", "5", "The manifest is damaged"},
      {"not JSON", "{\"files\": [", "The manifest is damaged"},
      {"empty text", "", "The manifest is damaged"},
      {"chunk size 4095", withFiles(json::array(), {{"chunkSize", 4095}}), "The manifest has an invalid chunk size"},
      {"chunk size 0", withFiles(json::array(), {{"chunkSize", 0}}), "The manifest has an invalid chunk size"},
      {"chunk size negative", withFiles(json::array(), {{"chunkSize", -1048576}}),
       "The manifest has an invalid chunk size"},
      {"empty path", withFiles({fileEntry("")}), invalidFile},
      {"file element a number", withFiles({5}), invalidFile},
      {"file element a string", withFiles({"a.txt"}), invalidFile},
      {"leads out after normalising", withFiles({fileEntry("a/../../b")}), invalidFile + "a/../../b"},
      {"leads out", withFiles({fileEntry("../b")}), invalidFile + "../b"},
      {"only dots", withFiles({fileEntry("..")}), invalidFile + ".."},
      {"the folder itself", withFiles({fileEntry("a/..")}), invalidFile + "a/.."},
      {"names a folder", withFiles({fileEntry("a/")}), invalidFile + "a/"},
      {"absolute", withFiles({fileEntry("/etc/x")}), invalidFile + "/etc/x"},
      {"drive relative", withFiles({fileEntry("E:x")}), invalidFile + "E:x"},
      {"drive absolute", withFiles({fileEntry("D:/x")}), invalidFile + "D:/x"},
      {"drive behind a dot", withFiles({fileEntry("./C:x")}), invalidFile + "./C:x"},
      {"network share", withFiles({fileEntry("\\\\server\\share\\x")}), invalidFile + "\\\\server\\share\\x"},
      {"leading backslash", withFiles({fileEntry("\\x")}), invalidFile + "\\x"},
      {"leads out with backslashes", withFiles({fileEntry("..\\x")}), invalidFile + "..\\x"},
      {"backslash dot-dot inside", withFiles({fileEntry("a\\..\\..\\b")}), invalidFile + "a\\..\\..\\b"},
      {"backslash dot-dot that stays inside", withFiles({fileEntry("a\\..\\b")}), invalidFile + "a\\..\\b"},
      {"mixed separators lead out", withFiles({fileEntry("a\\b/../../c")}), invalidFile + "a\\b/../../c"},
      {"NUL in the path", withFiles({fileEntry(std::string("a\0b", 3))}), invalidFile + std::string("a\0b", 3)},
      {"digest uppercase", withFiles({fileEntry("a", 3, upper)}), invalidFile + "a"},
      {"digest short", withFiles({fileEntry("a", 3, digestA.substr(1))}), invalidFile + "a"},
      {"digest not hex", withFiles({fileEntry("a", 3, std::string(63, 'a') + "g")}), invalidFile + "a"},
      {"digest missing", withFiles({json{{"path", "a"}, {"size", 3}}}), invalidFile + "a"},
      {"two chunks for 2.5 MiB", withFiles({fileEntry("big", 2621440, digestA, {digestB, digestC})}),
       invalidFile + "big"},
      {"four chunks for 2.5 MiB",
       withFiles({fileEntry("big", 2621440, digestA, {digestB, digestC, digestD, digestE})}), invalidFile + "big"},
      {"two chunks for an empty file", withFiles({fileEntry("e", 0, digestA, {digestB, digestC})}),
       invalidFile + "e"},
      {"chunk digest uppercase", withFiles({fileEntry("a", 3, digestA, {upper})}),
       "The manifest lists an invalid chunk in a"},
      {"chunk digest short", withFiles({fileEntry("a", 3, digestA, {"abc"})}),
       "The manifest lists an invalid chunk in a"},
      {"weak list shorter than the chunks",
       withFiles({withWeak(fileEntry("big", 2621440, digestA, {digestB, digestC, digestD}), {weakA, weakB})},
                 weakKind),
       invalidWeak + "big"},
      {"weak list longer than the chunks",
       withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), {weakA, weakB})}, weakKind), invalidWeak + "a"},
      {"weak list for a file without chunks", withFiles({withWeak(fileEntry("a", 3), {weakA})}, weakKind),
       invalidWeak + "a"},
      {"weak not a list", withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), weakA)}, weakKind),
       invalidWeak + "a"},
      {"weak value a number", withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), {12345})}, weakKind),
       invalidWeak + "a"},
      {"weak value uppercase",
       withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), {"CBF43926091E01DE"})}, weakKind),
       invalidWeak + "a"},
      {"weak value short", withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), {"cbf43926"})}, weakKind),
       invalidWeak + "a"},
      {"weak value long",
       withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), {weakA + "00"})}, weakKind), invalidWeak + "a"},
      {"weak value not hex",
       withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), {"cbf4392609xe01de"})}, weakKind),
       invalidWeak + "a"},
      {"weak value null", withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), {nullptr})}, weakKind),
       invalidWeak + "a"},
  };
  for (const Case& c : cases) {
    GameManifest m;
    std::string error;
    EXPECT_FALSE(parseManifest(c.text, m, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
}

TEST(ParseManifest, AcceptsWhatTheFormatAllows) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"chunk size 4096", withFiles(json::array(), {{"chunkSize", 4096}})},
      {"dot element", withFiles({fileEntry("a/./b")})},
      {"doubled separator", withFiles({fileEntry("a//b")})},
      {"dot-dot that stays inside", withFiles({fileEntry("a/../b")})},
      {"backslash inside a name", withFiles({fileEntry("a\\b")})},
      {"dots inside a name", withFiles({fileEntry("a..b/..c")})},
      {"three chunks for 2.5 MiB", withFiles({fileEntry("big", 2621440, digestA, {digestB, digestC, digestD})})},
      {"empty file, no chunks", withFiles({fileEntry("e", 0)})},
      {"empty file, one chunk", withFiles({fileEntry("e", 0, digestA, {digestB})})},
      {"files missing", json{{"version", "1"}}.dump()},
      {"files an object", json{{"files", {{"path", "/etc/x"}}}}.dump()},
      {"weak values of an unknown kind, not read",
       withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), {1, 2, 3})}, {{"weakKind", "sum64"}})},
      {"weak values without a kind, not read", withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), "x")})},
      {"weak kind that is not text", withFiles({withWeak(fileEntry("a", 3), {weakA})}, {{"weakKind", 5}})},
      {"some files with weak values, some without",
       withFiles({withWeak(fileEntry("a", 3, digestA, {digestB}), {weakA}), fileEntry("b", 3, digestA, {digestB})},
                 weakKind)},
  };
  for (const Case& c : cases) {
    GameManifest m;
    std::string error;
    EXPECT_TRUE(parseManifest(c.text, m, error)) << c.name << ": " << error;
  }
}

TEST(ParseManifest, ReadsMembersAndDefaults) {
  GameManifest m;
  m.source = "kept";
  std::string error;
  ASSERT_TRUE(parseManifest(withFiles({fileEntry("a/./b"), fileEntry("a//b")}), m, error)) << error;
  EXPECT_EQ(m.version, "1.0");
  EXPECT_EQ(m.build, 1);
  EXPECT_EQ(m.objects, "../objects/");
  EXPECT_EQ(m.chunkSize, defaultChunkSize);
  EXPECT_EQ(m.source, "kept");  // set by whoever loads it, never by the document
  ASSERT_EQ(m.files.size(), 2u);
  EXPECT_EQ(m.files[0].path, "a/./b");
  EXPECT_EQ(m.files[1].path, "a//b");

  // Members of the wrong type read as their defaults.
  GameManifest wrong;
  ASSERT_TRUE(parseManifest(R"({"version": 2, "build": "7", "objects": [], "chunkSize": "big",
                                "files": [{"path": "x", "size": "3", "sha256": ")" +
                                digestA + R"(", "chunks": {}}], "schema": 2, "source": "ignored"})",
                            wrong, error))
      << error;
  EXPECT_EQ(wrong.version, "");
  EXPECT_EQ(wrong.build, 0);
  EXPECT_EQ(wrong.objects, "");
  EXPECT_EQ(wrong.chunkSize, defaultChunkSize);
  EXPECT_EQ(wrong.source, "");
  ASSERT_EQ(wrong.files.size(), 1u);
  EXPECT_EQ(wrong.files[0].size, 0u);
  EXPECT_TRUE(wrong.files[0].chunks.empty());
}

// Weak checksums are read only in the kind this launcher rolls; of any other
// kind the manifest reads as one without them, as older launchers read all.
TEST(ParseManifest, ReadsWeakChecksumsOnlyOfItsOwnKind) {
  const json file = withWeak(fileEntry("big", 2621440, digestA, {digestB, digestC, digestD}), {weakA, weakB, weakA});
  GameManifest m;
  std::string error;
  ASSERT_TRUE(parseManifest(withFiles({file, fileEntry("plain", 3, digestA, {digestB})}, weakKind), m, error))
      << error;
  EXPECT_EQ(m.weakKind, "crc32+adler32");
  EXPECT_EQ(m.files[0].weak, (std::vector<uint64_t>{0xcbf43926091e01deull, 1, 0xcbf43926091e01deull}));
  EXPECT_TRUE(m.files[1].weak.empty());

  for (const json& extra : {json::object(), json{{"weakKind", "crc64"}}}) {
    GameManifest other;
    ASSERT_TRUE(parseManifest(withFiles({file}, extra), other, error)) << error;
    EXPECT_TRUE(other.files[0].weak.empty()) << extra.dump();
    EXPECT_EQ(other.files[0].chunks.size(), 3u);
  }
}

TEST(ParseManifest, NonStringChunkElementsAreSkipped) {
  GameManifest m;
  std::string error;
  json chunks = {5, digestB, nullptr, digestC, json::object(), digestD};
  ASSERT_TRUE(parseManifest(withFiles({fileEntry("big", 2621440, digestA, chunks)}), m, error)) << error;
  EXPECT_EQ(m.files[0].chunks, (std::vector<std::string>{digestB, digestC, digestD}));
}

TEST(ParseManifest, BuildIsAnyNumberTakenAs32Bits) {
  struct Case {
    const char* number;
    int32_t build;
  };
  const Case cases[] = {
      {"7", 7},
      {"-5", -5},
      {"7.9", 7},
      {"-7.9", -7},
      {"4294967295", -1},  // how an unsigned write of -1 reads back
      {"4294967303", 7},
      {"18446744073709551615", -1},
      {"-9223372036854775808", 0},
      {"1e20", 1661992960},  // 10^20 mod 2^32
      {"-1e300", 0},
      {"1e308", 0},
  };
  for (const Case& c : cases) {
    GameManifest m;
    std::string error;
    ASSERT_TRUE(parseManifest(std::string(R"({"build": )") + c.number + "}", m, error)) << c.number;
    EXPECT_EQ(m.build, c.build) << c.number;
  }
}

TEST(ParseManifest, FilesBeforeTheFaultStayFilled) {
  GameManifest m;
  m.files.push_back({"stale", 1, digestA, {}});
  std::string error;
  EXPECT_FALSE(parseManifest(withFiles({fileEntry("good"), fileEntry("/bad")}), m, error));
  EXPECT_EQ(error, "The manifest lists an invalid file: /bad");
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_EQ(m.files[0].path, "good");
}

TEST(ParseManifest, HugeSizesCannotOverflowTheChunkCount) {
  GameManifest m;
  std::string error;
  json chunks = json::array();
  chunks.push_back(digestB);
  // 2^64 - 1 bytes in chunks of 2^63 need exactly two chunks.
  EXPECT_FALSE(parseManifest(withFiles({fileEntry("x", UINT64_MAX, digestA, chunks)},
                                       {{"chunkSize", 9223372036854775808ull}}),
                             m, error));
  chunks.push_back(digestC);
  EXPECT_TRUE(parseManifest(withFiles({fileEntry("x", UINT64_MAX, digestA, chunks)},
                                      {{"chunkSize", 9223372036854775808ull}}),
                            m, error))
      << error;
}

TEST(ChunkList, SplitsAtTheChunkSizeWithAShortLastChunk) {
  ManifestFile f{"big", 2621440, digestA, {digestB, digestC, digestD}};
  std::vector<ManifestChunk> chunks = chunkList(f, mib);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].hash, digestB);
  EXPECT_EQ(chunks[0].offset, 0u);
  EXPECT_EQ(chunks[0].size, mib);
  EXPECT_EQ(chunks[1].offset, mib);
  EXPECT_EQ(chunks[1].size, mib);
  EXPECT_EQ(chunks[2].hash, digestD);
  EXPECT_EQ(chunks[2].offset, 2 * mib);
  EXPECT_EQ(chunks[2].size, 524288u);

  ManifestFile exact{"two", 2 * mib, digestA, {digestB, digestC}};
  chunks = chunkList(exact, mib);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1].size, mib);

  ManifestFile whole{"whole", 5000000, digestE, {}};
  chunks = chunkList(whole, mib);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].hash, digestE);
  EXPECT_EQ(chunks[0].offset, 0u);
  EXPECT_EQ(chunks[0].size, 5000000u);

  ManifestFile empty{"empty", 0, digestA, {digestB}};
  chunks = chunkList(empty, mib);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].size, 0u);
}

TEST(ObjectLocation, ResolvesAgainstHttpAndLocalSources) {
  const std::string hash = "ab12" + std::string(60, '0');
  GameManifest m;
  m.objects = "../objects/";
  m.source = "https://cdn.example.com/feed/manifests/1.0-1.json";
  EXPECT_EQ(objectLocation(m, hash), "https://cdn.example.com/feed/objects/ab/" + hash);
  m.source = "/srv/feed/manifests/1.0-1.json";
  EXPECT_EQ(objectLocation(m, hash), "/srv/feed/objects/ab/" + hash);
  m.source = "/srv/feed/addons/manifests/pack-1.json";
  m.objects = "../../objects/";
  EXPECT_EQ(objectLocation(m, hash), "/srv/feed/objects/ab/" + hash);
  m.objects = "https://objects.example.com/store/";
  EXPECT_EQ(objectLocation(m, hash), "https://objects.example.com/store/ab/" + hash);
}

TEST(InstalledManifest, WriteThenReadRoundTripsWithOneSpaceIndent) {
  TempDir dir;
  GameManifest m;
  m.version = "1.2.0";
  m.build = -1;
  m.chunkSize = 4096;
  m.objects = "../objects/";
  m.source = "https://cdn.example.com/stable/../manifests/1.2.0-7.json";
  m.files = {{"bin/game", 5000, digestA, {digestB, digestC}}, {"readme.txt", 10, digestD, {}}};
  ASSERT_TRUE(writeInstalledManifest(dir.path(), m));
  EXPECT_FALSE(std::filesystem::exists(dir / "manifest.json.tmp"));

  const std::string text = readFile(dir / "manifest.json");
  EXPECT_EQ(text.rfind("{\n \"build\": 4294967295,\n \"chunkSize\": 4096,\n \"files\": [\n  {\n   \"chunks\"", 0),
            0u)
      << text;
  EXPECT_EQ(text.substr(text.size() - 2), "}\n");
  json doc = json::parse(text);
  EXPECT_EQ(doc["schema"], 2);
  EXPECT_TRUE(doc["files"][0].contains("chunks"));
  EXPECT_FALSE(doc["files"][1].contains("chunks"));
  EXPECT_EQ(doc, manifestToJson(m));

  GameManifest back;
  ASSERT_TRUE(readInstalledManifest(dir.path(), back));
  EXPECT_EQ(back.version, m.version);
  EXPECT_EQ(back.build, -1);
  EXPECT_EQ(back.chunkSize, 4096u);
  EXPECT_EQ(back.objects, m.objects);
  EXPECT_EQ(back.source, m.source);
  ASSERT_EQ(back.files.size(), 2u);
  EXPECT_EQ(back.files[0].chunks, m.files[0].chunks);
  EXPECT_EQ(back.files[1].path, "readme.txt");
  EXPECT_EQ(back.files[1].size, 10u);
  EXPECT_TRUE(back.files[1].chunks.empty());
}

TEST(InstalledManifest, WeakChecksumsRoundTripAndAreWrittenOnlyWhenThere) {
  TempDir dir;
  GameManifest m;
  m.chunkSize = 4096;
  m.weakKind = "crc32+adler32";
  m.files = {{"a", 5000, digestA, {digestB, digestC}, {0xcbf43926091e01deull, 1}}, {"b", 10, digestD, {digestE}}};
  ASSERT_TRUE(writeInstalledManifest(dir.path(), m));
  const json doc = json::parse(readFile(dir / "manifest.json"));
  EXPECT_EQ(doc["weakKind"], "crc32+adler32");
  EXPECT_EQ(doc["files"][0]["weak"], (json{weakA, weakB}));
  EXPECT_FALSE(doc["files"][1].contains("weak"));
  GameManifest back;
  ASSERT_TRUE(readInstalledManifest(dir.path(), back));
  EXPECT_EQ(back.weakKind, m.weakKind);
  EXPECT_EQ(back.files[0].weak, m.files[0].weak);
  EXPECT_TRUE(back.files[1].weak.empty());

  // A manifest with no weak values names no kind.
  m.files[0].weak.clear();
  EXPECT_FALSE(manifestToJson(m).contains("weakKind"));
  // A list that does not match the chunks is refused before a sync writes.
  m.files[0].weak = {1};
  std::string error;
  EXPECT_FALSE(checkManifestPaths(m, error));
  EXPECT_EQ(error, "The manifest lists an invalid weak checksum in a");
}

TEST(InstalledManifest, ChunklessReleaseWritesNoChunksMembers) {
  GameManifest m;
  m.files = {{"a", 1, digestA, {}}, {"b", 2, digestB, {}}};
  json doc = manifestToJson(m);
  EXPECT_EQ(doc.size(), 7u);
  for (const json& f : doc["files"]) {
    EXPECT_FALSE(f.contains("chunks"));
    EXPECT_EQ(f.size(), 3u);
  }
}

TEST(InstalledManifest, MissingOrDamagedReadsAsAbsent) {
  TempDir dir;
  GameManifest m;
  EXPECT_FALSE(readInstalledManifest(dir.path(), m));
  writeFile(dir / "manifest.json", "{\"files\": [");
  EXPECT_FALSE(readInstalledManifest(dir.path(), m));
  writeFile(dir / "manifest.json", withFiles({fileEntry("/etc/passwd")}));
  EXPECT_FALSE(readInstalledManifest(dir.path(), m));
}

TEST(InstalledManifest, WriteIntoAMissingFolderFailsAndLeavesNothing) {
  TempDir dir;
  GameManifest m;
  EXPECT_FALSE(writeInstalledManifest(dir / "missing", m));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(InstalledManifest, FolderFlushFailureLeavesTheRecordInPlaceButNotDurable) {
  VANTOR_LINUX_ONLY("fsync and rename interposed in the test binary");
  TempDir dir;
  GameManifest m;
  m.version = "2.0";
  m.files.push_back({"a.bin", 3, digestA, {}});
  bool durable = true;
  {
    testing::FolderFlushFailure failing;
    EXPECT_TRUE(writeInstalledManifest(dir.path(), m, &durable));
  }
  EXPECT_FALSE(durable);
  GameManifest back;
  ASSERT_TRUE(readInstalledManifest(dir.path(), back));
  EXPECT_EQ(back.version, "2.0");
  EXPECT_TRUE(writeInstalledManifest(dir.path(), m, &durable));
  EXPECT_TRUE(durable);
}

TEST(EstimateDownload, SharedChunksCountOnceAndInstalledChunksNotAtAll) {
  TempDir dir;
  GameManifest installed;
  installed.chunkSize = 4096;
  installed.files = {{"old", 8192, digestA, {digestB, digestC}}};
  ASSERT_TRUE(writeInstalledManifest(dir.path(), installed));

  GameManifest next;
  next.chunkSize = 4096;
  next.files = {
      {"x", 8192, digestA, {digestB, digestD}},  // B installed; D new
      {"y", 5000, digestA, {digestD, digestE}},  // D already counted; E is the 904-byte tail
      {"whole", 300, digestC, {}},               // whole-file object C is installed as a chunk
  };
  EXPECT_EQ(estimateDownload(dir.path(), next), 4096u + 904u);

  TempDir fresh;
  EXPECT_EQ(estimateDownload(fresh.path(), next), 4096u + 4096u + 904u + 300u);
}

}  // namespace
}  // namespace launcher
