// How many runs an install needs through a server that fails a share of the
// object requests it gets (in turn a 503, a body cut half-way and a flipped
// byte, picked at random): each run is one chunk transfer of the objects
// not yet fetched, as a sync after an interrupted one plans it. Prints a
// table and, with --json FILE, the members runs_to_finish_60 and
// runs_to_finish_80 (the mean over the trials) with the details.
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/chunk_transfer.h"
#include "update/sha256.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using launcher::ChunkRequest;
using launcher::GameManifest;
using launcher::Progress;
using launcher::RetryDelays;
using launcher::testing::TestFaults;
using launcher::testing::TestHttpServer;
using launcher::testing::TestResponse;

struct Options {
  int objects = 64;
  size_t objectSize = 64 * 1024;
  int trials = 10;
  int maxRuns = 100;
  std::vector<double> shares{0.6, 0.8};
  std::string json;
};

struct Trial {
  int runs = 0;
  double seconds = 0;
};

std::string objectBytes(size_t size, int seed) {
  std::string s(size, '\0');
  uint32_t x = 2463534242u + static_cast<uint32_t>(seed) * 7919u;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

Trial runTrial(const Options& o, double share, int trial) {
  TestHttpServer server(launcher::testing::TestServerOptions{1, 16});
  launcher::testing::TempDir dir;
  GameManifest manifest;
  manifest.source = server.url("/feed/manifest.json");
  manifest.objects = "objects/";
  std::vector<ChunkRequest> all;
  for (int i = 0; i < o.objects; ++i) {
    TestResponse r;
    r.body = objectBytes(o.objectSize, i + 1000 * trial);
    const std::string hash = launcher::sha256Hex(r.body);
    server.serve("/feed/objects/" + hash.substr(0, 2) + "/" + hash, r);
    all.push_back({hash, o.objectSize});
  }
  TestFaults faults;
  faults.pathPrefix = "/feed/objects/";
  faults.failShare = share;
  faults.seed = static_cast<uint64_t>(trial) + 1;
  server.setFaults(faults);

  // Short pauses: they change how long a run takes, not what it fetches.
  RetryDelays delays;
  delays.afterFirstMs = 10;
  delays.afterSecondMs = 30;
  const fs::path chunks = dir / "chunks";
  std::atomic<bool> cancel{false};
  Trial result;
  const auto start = std::chrono::steady_clock::now();
  for (result.runs = 1; result.runs <= o.maxRuns; ++result.runs) {
    std::vector<ChunkRequest> missing;
    for (const ChunkRequest& r : all) {
      if (!fs::exists(chunks / r.hash)) missing.push_back(r);
    }
    Progress record;
    std::string error;
    if (launcher::fetchChunks(missing, manifest, chunks, cancel, record, {}, error, delays)) break;
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--objects" && hasValue) {
      o.objects = std::atoi(argv[++i]);
    } else if (arg == "--object-size" && hasValue) {
      o.objectSize = static_cast<size_t>(std::atoll(argv[++i]));
    } else if (arg == "--trials" && hasValue) {
      o.trials = std::atoi(argv[++i]);
    } else if (arg == "--json" && hasValue) {
      o.json = argv[++i];
    } else {
      return false;
    }
  }
  return o.objects > 0 && o.objectSize > 0 && o.trials > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr, "usage: bench_flaky [--objects N] [--object-size BYTES] [--trials N] [--json FILE]\n");
    return 2;
  }
  std::printf("%d objects of %zu bytes, %d trials per share; a run is one transfer of what is missing\n\n",
              o.objects, o.objectSize, o.trials);
  std::printf("%-14s %10s %8s %8s %12s\n", "failing share", "mean runs", "median", "most", "mean seconds");
  std::string json = "{\n  \"objects\": " + std::to_string(o.objects) + ",\n  \"object_size\": " +
                     std::to_string(o.objectSize) + ",\n  \"trials\": " + std::to_string(o.trials);
  for (double share : o.shares) {
    std::vector<Trial> trials;
    for (int t = 0; t < o.trials; ++t) trials.push_back(runTrial(o, share, t));
    std::vector<int> runs;
    double meanRuns = 0;
    double meanSeconds = 0;
    for (const Trial& t : trials) {
      runs.push_back(t.runs);
      meanRuns += t.runs;
      meanSeconds += t.seconds;
    }
    meanRuns /= static_cast<double>(trials.size());
    meanSeconds /= static_cast<double>(trials.size());
    std::sort(runs.begin(), runs.end());
    const int median = runs[runs.size() / 2];
    const std::string label = std::to_string(static_cast<int>(share * 100 + 0.5)) + " %";
    std::printf("%-14s %10.2f %8d %8d %12.2f\n", label.c_str(), meanRuns, median, runs.back(), meanSeconds);
    const std::string key = std::to_string(static_cast<int>(share * 100 + 0.5));
    json += ",\n  \"runs_to_finish_" + key + "\": " + std::to_string(meanRuns);
    json += ",\n  \"runs_to_finish_" + key + "_median\": " + std::to_string(median);
    json += ",\n  \"runs_to_finish_" + key + "_most\": " + std::to_string(runs.back());
    json += ",\n  \"seconds_to_finish_" + key + "\": " + std::to_string(meanSeconds);
  }
  json += "\n}\n";
  if (!o.json.empty()) {
    std::ofstream out(o.json, std::ios::binary | std::ios::trunc);
    out << json;
    if (!out) {
      std::fprintf(stderr, "bench_flaky: cannot write %s\n", o.json.c_str());
      return 1;
    }
  }
  return 0;
}
