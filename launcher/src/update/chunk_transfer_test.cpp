#include "update/chunk_transfer.h"

#include "base/thread_start.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::TempDir;
using testing::TestHttpServer;
using testing::TestResponse;

constexpr RetryDelays quickRetries{10, 20, 2000, 30};

std::string bytesOf(size_t size, char seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed)) % 253);
  return s;
}

// Objects served by a TestHttpServer under /feed/objects/, as a manifest
// loaded from /feed/manifest.json names them.
class ChunkTransferTest : public ::testing::Test {
 protected:
  ChunkTransferTest() {
    manifest.source = server.url("/feed/manifest.json");
    manifest.objects = "objects/";
  }
  static std::string objectPath(const std::string& hash) {
    return "/feed/objects/" + hash.substr(0, 2) + "/" + hash;
  }
  ChunkRequest add(const std::string& content) {
    const std::string hash = sha256Hex(content);
    TestResponse r;
    r.body = content;
    server.serve(objectPath(hash), r);
    return {hash, content.size()};
  }
  bool fetch(const std::vector<ChunkRequest>& requests, const RetryDelays& delays = quickRetries) {
    return fetchChunks(requests, manifest, chunks, cancel, record, onProgress, error, delays);
  }

  TestHttpServer server;
  TempDir dir;
  fs::path chunks = dir / "chunks";
  GameManifest manifest;
  std::atomic<bool> cancel{false};
  Progress record;
  std::string error;
  std::vector<Progress> seen;
  std::function<void(const Progress&)> onProgress = [this](const Progress& p) { seen.push_back(p); };
};

TEST_F(ChunkTransferTest, SecondAttemptAfter503Succeeds) {
  LogCapture log;
  const ChunkRequest a = add(bytesOf(300000, 1));
  const ChunkRequest b = add(bytesOf(200000, 2));
  TestResponse unavailable;
  unavailable.status = 503;
  server.script(objectPath(a.hash), {unavailable});

  ASSERT_TRUE(fetch({a, b})) << error;
  EXPECT_EQ(server.requestCount(objectPath(a.hash)), 2);
  EXPECT_EQ(testing::readFile(chunks / a.hash), bytesOf(300000, 1));
  EXPECT_EQ(testing::readFile(chunks / b.hash), bytesOf(200000, 2));
  const std::vector<std::string> warnings = log.warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "Chunk " + a.hash.substr(0, 12) + " failed (attempt 1): Server answered 503 for " +
                             server.url(objectPath(a.hash)));
  EXPECT_EQ(record.phase, "Downloading");
  EXPECT_EQ(record.bytesDone, a.size + b.size);
  EXPECT_EQ(record.bytesTotal, a.size + b.size);
  EXPECT_EQ(record.filesDone, 2);
  EXPECT_EQ(record.filesTotal, 2);
}

TEST_F(ChunkTransferTest, CutConnectionGivesItsBytesBack) {
  const std::string content = bytesOf(4 << 20, 3);
  const ChunkRequest a = add(content);
  TestResponse cut;
  cut.body = content;
  cut.cutAfter = 3 << 20;
  server.script(objectPath(a.hash), {cut});

  ASSERT_TRUE(fetch({a})) << error;
  EXPECT_EQ(server.requestCount(objectPath(a.hash)), 2);
  // The first attempt's 3 MiB are taken back, never counted twice.
  EXPECT_EQ(record.bytesDone, a.size);
  for (const Progress& p : seen) EXPECT_LE(p.bytesDone, p.bytesTotal);
}

// Four rounds of three attempts, each warned of with its number, and then
// the run fails.
TEST_F(ChunkTransferTest, WrongContentEveryTimeFailsAfterFourRounds) {
  LogCapture log;
  const std::string hash = sha256Hex("the real object");
  TestResponse wrong;
  wrong.body = "something else entirely";
  server.serve(objectPath(hash), wrong);

  EXPECT_FALSE(fetch({{hash, 15}}));
  EXPECT_EQ(error, "Download failed: checksum mismatch");
  EXPECT_EQ(server.requestCount(objectPath(hash)), 12);
  const std::vector<std::string> warnings = log.warnings();
  ASSERT_EQ(warnings.size(), 12u);
  for (int attempt = 1; attempt <= 12; ++attempt) {
    EXPECT_EQ(warnings[attempt - 1], "Chunk " + hash.substr(0, 12) + " failed (attempt " + std::to_string(attempt) +
                                         "): checksum mismatch");
  }
  // A file named by the hash is always the verified object; the bad bytes
  // only ever lie under ".part".
  EXPECT_FALSE(fs::exists(chunks / hash));
}

TEST_F(ChunkTransferTest, NoContentLengthStillVerifies) {
  const std::string content = bytesOf(700000, 4);
  const std::string hash = sha256Hex(content);
  TestResponse chunked;
  chunked.body = content;
  chunked.noContentLength = true;
  server.serve(objectPath(hash), chunked);
  ASSERT_TRUE(fetch({{hash, content.size()}})) << error;
  EXPECT_EQ(testing::readFile(chunks / hash), content);

  const std::string other = sha256Hex("other");
  chunked.body = "not other";
  server.serve(objectPath(other), chunked);
  EXPECT_FALSE(fetch({{other, 5}}));
  EXPECT_EQ(error, "Download failed: checksum mismatch");
}

TEST_F(ChunkTransferTest, EndlessBodyIsCutAtTheObjectSize) {
  const std::string hash = sha256Hex(bytesOf(4096, 5));
  TestResponse endless;
  endless.generatedSize = 1ull << 30;
  server.serve(objectPath(hash), endless);
  EXPECT_FALSE(fetch({{hash, 4096}}));
  EXPECT_EQ(error, "Download failed: checksum mismatch");
  // Stopped within the first blocks, not after a gigabyte.
  EXPECT_LT(fs::file_size(chunks / (hash + ".part")), 4u << 20);
}

TEST_F(ChunkTransferTest, CancelDuringTransferIsQuietAndCancelled) {
  LogCapture log;
  // Far more than arrives before the first progress sample; the digest never
  // matters, since the transfer must stop long before the end.
  const std::string hash(64, 'a');
  TestResponse huge;
  huge.generatedSize = 8ull << 30;
  server.serve(objectPath(hash), huge);
  onProgress = [this](const Progress& p) {
    if (p.bytesDone > 0) cancel = true;
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(fetch({{hash, huge.generatedSize}}, RetryDelays{60000, 60000}));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(error, "Cancelled");
  EXPECT_TRUE(log.warnings().empty());
  EXPECT_EQ(server.requestCount(objectPath(hash)), 1);
  // Read from the bytes, not the clock: a transfer that ignored the cancel
  // would have taken the whole body, however fast this machine is.
  EXPECT_LT(fs::file_size(chunks / (hash + ".part")), huge.generatedSize / 2) << "the transfer went on after the cancel";
  // Far above any stall of a loaded machine, far below the 60 s pause.
  EXPECT_LT(seconds, 20.0) << "a cancelled transfer must not sit out a retry pause";
}

TEST_F(ChunkTransferTest, CancelDuringPauseEndsAtOnce) {
  LogCapture log;
  const std::string hash = sha256Hex("never served");
  TestResponse unavailable;
  unavailable.status = 503;
  server.serve(objectPath(hash), unavailable);
  std::chrono::steady_clock::time_point cancelledAt;
  std::thread canceller([&] {
    // Cancel once the first attempt's warning is out: the worker now pauses.
    for (int i = 0; i < 6000 && log.warnings().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cancelledAt = std::chrono::steady_clock::now();
    cancel = true;
  });
  EXPECT_FALSE(fetch({{hash, 12}}, RetryDelays{60000, 60000}));
  const auto end = std::chrono::steady_clock::now();
  canceller.join();
  const double seconds = std::chrono::duration<double>(end - cancelledAt).count();
  EXPECT_EQ(error, "Cancelled");
  EXPECT_EQ(log.warnings().size(), 1u);
  EXPECT_EQ(server.requestCount(objectPath(hash)), 1);
  // Far above any stall of a loaded machine, far below the 60 s pause.
  EXPECT_LT(seconds, 20.0) << "the 60 s pause must end when the cancel comes";
}

TEST_F(ChunkTransferTest, OneObjectStillCompletes) {
  const ChunkRequest a = add(bytesOf(1000, 6));
  ASSERT_TRUE(fetch({a})) << error;
  EXPECT_EQ(testing::readFile(chunks / a.hash), bytesOf(1000, 6));
  EXPECT_EQ(record.filesDone, 1);

  seen.clear();
  ASSERT_TRUE(fetch({})) << error;
  EXPECT_EQ(record.phase, "Downloading");
  EXPECT_EQ(record.filesTotal, 0);
}

// One object that cannot be fetched must not cost the others: every worker
// goes on through its own objects, and the run fails only at its end, with
// everything else fetched.
TEST_F(ChunkTransferTest, OneFailedObjectLeavesTheOthersToFinish) {
  LogCapture log;
  const std::string missing = sha256Hex("not on the server");
  std::vector<ChunkRequest> requests{{missing, 17}};
  std::vector<std::string> contents;
  for (int i = 0; i < 40; ++i) {
    contents.push_back(bytesOf(5000, static_cast<char>(10 + i)));
    requests.push_back(add(contents.back()));
  }
  // The next three objects are held until the missing one has failed, so
  // whatever the timing, their workers are still at work when it fails.
  for (size_t i = 1; i <= 3; ++i) {
    TestResponse held;
    held.body = contents[i - 1];
    held.hold = true;
    server.serve(objectPath(requests[i].hash), held);
  }
  std::thread releaser([&] {
    for (int i = 0; i < 60000 && log.warnings().size() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.releaseHeld();
  });
  const bool ok = fetch(requests);
  releaser.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, "Download failed: Server answered 404 for " + server.url(objectPath(missing)));
  for (size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(testing::readFile(chunks / requests[i].hash), contents[i - 1]) << i;
    EXPECT_EQ(server.requestCount(objectPath(requests[i].hash)), 1) << i;
  }
  EXPECT_EQ(record.filesDone, 40);
  EXPECT_EQ(record.bytesDone, 40u * 5000u);
  // Four rounds of three attempts.
  const int tries = server.requestCount(objectPath(missing));
  EXPECT_EQ(tries, 12);
  const std::vector<std::string> warnings = log.warnings();
  EXPECT_EQ(warnings.size(), static_cast<size_t>(tries));
  for (const std::string& w : warnings) EXPECT_EQ(w.find("Chunk " + missing.substr(0, 12)), 0u) << w;
}

// An object whose three attempts failed gets another round once other
// objects have come through since: a server that failed it for a while does
// not fail the run.
TEST_F(ChunkTransferTest, FailedObjectGetsAnotherRoundAfterOthersSucceed) {
  const std::string content = bytesOf(3000, 40);
  const ChunkRequest late = add(content);
  TestResponse unavailable;
  unavailable.status = 503;
  server.script(objectPath(late.hash), {unavailable, unavailable, unavailable});
  // The other workers, and the first worker's next object, wait on held
  // answers: once four are held, the late object's first round is over.
  std::vector<ChunkRequest> requests{late};
  for (int i = 0; i < 4; ++i) {
    TestResponse held;
    held.body = bytesOf(2000, static_cast<char>(50 + i));
    held.hold = true;
    const std::string hash = sha256Hex(held.body);
    server.serve(objectPath(hash), held);
    requests.push_back({hash, held.body.size()});
  }
  std::thread releaser([&] {
    for (int i = 0; i < 60000 && server.heldCount() < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.releaseHeld();
  });
  const bool ok = fetch(requests);
  releaser.join();
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(server.requestCount(objectPath(late.hash)), 4);
  EXPECT_EQ(testing::readFile(chunks / late.hash), content);
  EXPECT_EQ(record.filesDone, 5);
}

// An object whose round failed after every other object had come through
// still gets another round: the others succeeded while it ran, so the place
// answers, and three faults in a row were bad luck rather than a missing
// object.
TEST_F(ChunkTransferTest, ObjectFailingLastGetsAnotherRoundWhenOthersSucceededDuringIt) {
  const std::string content = bytesOf(3000, 41);
  const ChunkRequest late = add(content);
  TestResponse unavailable;
  unavailable.status = 503;
  TestResponse heldUnavailable = unavailable;
  heldUnavailable.hold = true;
  server.script(objectPath(late.hash), {unavailable, unavailable, heldUnavailable});
  std::vector<ChunkRequest> requests{late};
  for (int i = 0; i < 8; ++i) requests.push_back(add(bytesOf(2000, static_cast<char>(70 + i))));
  // Its third failure is held until every other object lies verified.
  std::thread releaser([&] {
    const auto othersDone = [&] {
      for (size_t i = 1; i < requests.size(); ++i) {
        if (!fs::exists(chunks / requests[i].hash)) return false;
      }
      return true;
    };
    for (int i = 0; i < 60000 && !(server.heldCount() == 1 && othersDone()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server.releaseHeld();
  });
  const bool ok = fetch(requests);
  releaser.join();
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(server.requestCount(objectPath(late.hash)), 4);
  EXPECT_EQ(testing::readFile(chunks / late.hash), content);
  EXPECT_EQ(record.filesDone, 9);
}

// The last objects of a run, with nothing else left to succeed beside them,
// still get every round: on a network that spoils most answers, whole rounds
// fail by bad luck, and a run that gave up on them after one would leave
// them to a next run with the same odds. Each object here fails whole
// rounds, with every kind of failed answer, then is served.
TEST_F(ChunkTransferTest, ObjectsFailingWholeRoundsLandInOneRunWithNothingElseLeft) {
  LogCapture log;
  TestResponse unavailable;
  unavailable.status = 503;
  TestResponse missing;
  missing.status = 404;
  TestResponse cut;
  cut.body = std::string(3000, 'c');
  cut.cutAfter = 1000;
  TestResponse wrong;
  wrong.body = "not the object";
  const std::vector<TestResponse> round{unavailable, cut, wrong};
  struct Case {
    int failedRounds;
    bool lands;
  };
  for (const Case c : {Case{1, true}, Case{2, true}, Case{3, true}, Case{4, false}}) {
    SCOPED_TRACE(c.failedRounds);
    std::vector<ChunkRequest> requests;
    std::vector<std::string> contents;
    for (int i = 0; i < 2; ++i) {
      contents.push_back(bytesOf(3000, static_cast<char>(90 + 2 * c.failedRounds + i)));
      requests.push_back(add(contents.back()));
      std::vector<TestResponse> script;
      for (int r = 0; r < c.failedRounds; ++r) script.insert(script.end(), round.begin(), round.end());
      script.front() = missing;  // a place that lost an object for a moment
      server.script(objectPath(requests.back().hash), script);
    }
    EXPECT_EQ(fetch(requests), c.lands) << error;
    for (size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(server.requestCount(objectPath(requests[i].hash)), 3 * c.failedRounds + (c.lands ? 1 : 0));
      if (c.lands) {
        EXPECT_EQ(sha256Hex(testing::readFile(chunks / requests[i].hash)), requests[i].hash);
      }
    }
    if (c.lands) {
      EXPECT_EQ(record.filesDone, 2);
    } else {
      EXPECT_EQ(error.rfind("Download failed: ", 0), 0u) << error;
    }
  }
}

// A cancel while a failed object rests before its next round ends the run
// at once.
TEST_F(ChunkTransferTest, CancelBetweenRoundsEndsAtOnce) {
  LogCapture log;
  const std::string hash = sha256Hex("never served either");
  TestResponse unavailable;
  unavailable.status = 503;
  server.serve(objectPath(hash), unavailable);
  std::chrono::steady_clock::time_point cancelledAt;
  std::thread canceller([&] {
    // The third warning ends the first round: the object now rests.
    for (int i = 0; i < 6000 && log.warnings().size() < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    cancelledAt = std::chrono::steady_clock::now();
    cancel = true;
  });
  EXPECT_FALSE(fetch({{hash, 12}}, RetryDelays{10, 20, 2000, 60000}));
  const auto end = std::chrono::steady_clock::now();
  canceller.join();
  EXPECT_EQ(error, "Cancelled");
  EXPECT_EQ(server.requestCount(objectPath(hash)), 3);
  // Far above any stall of a loaded machine, far below the 60 s rest.
  EXPECT_LT(std::chrono::duration<double>(end - cancelledAt).count(), 20.0) << "the rest must end when the cancel comes";
}

// With nothing answering, the run ends after twelve objects in a row failed
// rather than trying every object three times.
TEST_F(ChunkTransferTest, EveryObjectFailingEndsTheRunEarly) {
  LogCapture log;
  std::vector<ChunkRequest> requests;
  for (int i = 0; i < 60; ++i) requests.push_back({sha256Hex("gone " + std::to_string(i)), 100});
  EXPECT_FALSE(fetch(requests, RetryDelays{1, 1}));
  EXPECT_EQ(error.rfind("Download failed: Server answered 404 for ", 0), 0u) << error;
  int tried = 0;
  for (const ChunkRequest& r : requests) tried += server.requestCount(objectPath(r.hash)) > 0 ? 1 : 0;
  // Twelve failed in a row; at most three more were on their way then.
  EXPECT_GE(tried, 12);
  EXPECT_LE(tried, 15);
  const std::vector<std::string> warnings = log.warnings();
  EXPECT_EQ(std::count(warnings.begin(), warnings.end(),
                       "12 objects failed in a row; no further objects are tried this time"),
            1);
}

// The feed's place fails every object, the first mirror refuses every
// connection, the second flips a byte in every fifth object it sends: the
// objects still arrive exact, in one run, from the places that answer, and
// a place that failed is left alone for a while rather than asked for every
// object.
TEST_F(ChunkTransferTest, MirrorsServeWhatTheFeedCannot) {
  LogCapture log;
  std::string refusing;
  {
    TestHttpServer gone;
    refusing = gone.url("/mirror1/manifest.json");
  }
  TestHttpServer mirror;
  mirror.setFaults({"/mirror2/objects/", 5, 0, 1});
  manifest.mirrorSources = {refusing, mirror.url("/mirror2/manifest.json")};
  std::vector<ChunkRequest> requests;
  std::vector<std::string> contents;
  TestResponse unavailable;
  unavailable.status = 503;
  for (int i = 0; i < 30; ++i) {
    contents.push_back(bytesOf(4000 + static_cast<size_t>(i), static_cast<char>(60 + i)));
    const std::string hash = sha256Hex(contents.back());
    server.serve(objectPath(hash), unavailable);
    TestResponse r;
    r.body = contents.back();
    mirror.serve("/mirror2/objects/" + hash.substr(0, 2) + "/" + hash, r);
    requests.push_back({hash, contents.back().size()});
  }

  ASSERT_TRUE(fetch(requests, RetryDelays{10, 20, 60000})) << error;
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(testing::readFile(chunks / requests[i].hash), contents[i]) << i;
  }
  EXPECT_GE(mirror.faultsMade(), 6) << "every fifth object from the second mirror was to be damaged";
  int feedTries = 0;
  for (const ChunkRequest& r : requests) feedTries += server.requestCount(objectPath(r.hash));
  // Each of the four workers may find the feed's place not yet resting; after
  // that it rests far longer than this run.
  EXPECT_LE(feedTries, 8) << "a failing place was asked for every object";
}

// A server that accepted the request and then says nothing must not keep a
// cancel waiting: the transfer asks the flag while it waits.
TEST_F(ChunkTransferTest, CancelWhileTheServerIsSilentEndsPromptly) {
  LogCapture log;
  const std::string content = bytesOf(5000, 7);
  const std::string hash = sha256Hex(content);
  TestResponse silent;
  silent.body = content;
  silent.hold = true;
  server.serve(objectPath(hash), silent);
  std::chrono::steady_clock::time_point cancelledAt;
  onProgress = [&](const Progress&) {
    if (server.heldCount() > 0 && !cancel.load()) {
      cancelledAt = std::chrono::steady_clock::now();
      cancel = true;
    }
  };
  EXPECT_FALSE(fetch({{hash, content.size()}}, RetryDelays{10000, 30000}));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - cancelledAt).count();
  EXPECT_EQ(error, "Cancelled");
  EXPECT_TRUE(log.warnings().empty());
  // curl asks about once a second; its own stall limit would take 30 s, and
  // the server stays silent until the test ends.
  EXPECT_LT(seconds, 15.0) << "the cancel waited for the silent server";
}

// An object placed straight into a staged file writes its own range and
// nothing else, even when the server sends more than the object's size.
TEST_F(ChunkTransferTest, PlacedObjectNeverWritesOutsideItsRange) {
  const fs::path target = dir / "staged.bin";
  const std::string before(3000, 'N');
  testing::writeFile(target, before);
  const std::string content = bytesOf(1000, 8);
  ChunkRequest placed = add(content);
  placed.target = target;
  placed.targetOffset = 1000;
  ASSERT_TRUE(fetch({placed})) << error;
  EXPECT_EQ(testing::readFile(target), before.substr(0, 1000) + content + before.substr(2000));
  EXPECT_FALSE(fs::exists(chunks / placed.hash)) << "a placed object needs no copy in the chunks folder";

  // Too long an answer: refused before its excess reaches the neighbours.
  const std::string other = bytesOf(1000, 9);
  ChunkRequest longer{sha256Hex(other), other.size(), target, 0};
  TestResponse tooLong;
  tooLong.body = other + std::string(200000, 'X');
  server.serve(objectPath(longer.hash), tooLong);
  EXPECT_FALSE(fetch({longer}));
  EXPECT_EQ(error, "Download failed: checksum mismatch");
  const std::string after = testing::readFile(target);
  ASSERT_EQ(after.size(), 3000u);
  EXPECT_EQ(after.substr(1000), content + before.substr(2000)) << "bytes beyond the range were overwritten";
}

TEST_F(ChunkTransferTest, RefusedWorkerThreadFailsWithAText) {
  const ChunkRequest a = add(bytesOf(1000, 11));
  for (int skip = 0; skip < 4; ++skip) {
    failThreadStartsForTesting(skip, 1);
    EXPECT_FALSE(fetch({a})) << skip;
    failThreadStartsForTesting(0, 0);
    EXPECT_EQ(error.rfind("The system refused to start a thread", 0), 0u) << skip << ": " << error;
  }
  ASSERT_TRUE(fetch({a})) << error;
}

}  // namespace
}  // namespace launcher
