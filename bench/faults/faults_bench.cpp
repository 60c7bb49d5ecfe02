// The sync through a network that spoils answers (testing/fault_proxy) in
// front of nginx: for each fault kind, trials of an update at a chosen rate,
// with their outcomes; then, with a share of object answers spoiled (every
// kind but the stall, alike), how many runs an install takes to finish.
// Every trial checks that the folder is exactly one release or, on failure,
// still the old one, and that no installed file holds a byte of neither.
// Prints a table, or with --json FILE writes one object.
//
//   bench_faults [--trials N] [--rate R] [--finish-seeds N] [--json FILE]
#include "testing/fault_proxy.h"
#include "testing/log_capture.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/temp_dir.h"
#include "update/folder_sync.h"
#include "update/manifest.h"
#include "update/sha256.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>

using namespace launcher;
using namespace launcher::testing;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr uint64_t chunk = 64 * 1024;

struct Setup {
  TempDir dir;
  PublishedRelease v1;
  PublishedRelease v2;
  std::unique_ptr<NginxServer> server;
  fs::path game() const { return dir / "game"; }
};

bool sync(const fs::path& game, const std::string& base, const PublishedRelease& r, std::string& error) {
  GameManifest m;
  if (!loadManifest(base + "/" + r.manifestPath, m, error)) return false;
  std::atomic<bool> cancel{false};
  return syncFolder(game, m, false, cancel, {}, error);
}

// "exact", "kept old" or what went wrong with the folder.
std::string check(const Setup& s, bool ok, const PublishedRelease& target, const PublishedRelease* old) {
  std::map<std::string, std::set<std::string>> allowed;
  for (const PublishedRelease* r : {&s.v1, &s.v2}) {
    for (const auto& f : r->files) allowed[f.path].insert(f.sha256);
  }
  for (const auto& [path, digests] : allowed) {
    if (fs::exists(s.game() / path) && !digests.count(sha256File(s.game() / path))) return "CORRUPT " + path;
  }
  std::string why;
  if (ok) return folderMatchesRelease(s.game(), target, why) ? "exact" : "WRONG: " + why;
  if (!old) return "failed";
  return folderMatchesRelease(s.game(), *old, why, Staging::MayRemain) ? "kept old" : "TOUCHED: " + why;
}

}  // namespace

int main(int argc, char** argv) {
  int trials = 20;
  double rate = 0.3;
  int finishSeeds = 3;
  std::string jsonFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--trials") trials = std::atoi(argv[i + 1]);
    if (a == "--rate") rate = std::atof(argv[i + 1]);
    if (a == "--finish-seeds") finishSeeds = std::atoi(argv[i + 1]);
    if (a == "--json") jsonFile = argv[i + 1];
  }
  if (!NginxServer::available()) {
    std::fprintf(stderr, "bench_faults: nginx is not installed\n");
    return 1;
  }
  LogCapture log;  // the sync's lines stay out of the table
  Setup s;
  writeRandomFile(s.dir / "content/data/world.pak", 48 * chunk + 99, 1);
  writeRandomFile(s.dir / "content/data/level.dat", 10 * chunk, 2);
  writeFile(s.dir / "content/readme.txt", "Astrane: Vantor\n");
  std::string error;
  if (!publishRelease(VANTOR_SOURCE_DIR, s.dir / "content", s.dir / "feed", "1.0", 1, chunk, s.v1, error)) {
    std::fprintf(stderr, "bench_faults: %s\n", error.c_str());
    return 1;
  }
  overwriteRandom(s.dir / "content/data/world.pak", 3 * chunk, 20 * chunk, 7);
  writeRandomFile(s.dir / "content/data/new.dat", 12 * chunk + 5, 3);
  if (!publishRelease(VANTOR_SOURCE_DIR, s.dir / "content", s.dir / "feed", "2.0", 2, chunk, s.v2, error)) {
    std::fprintf(stderr, "bench_faults: %s\n", error.c_str());
    return 1;
  }
  s.server = std::make_unique<NginxServer>(s.dir / "feed");
  if (!s.server->started()) {
    std::fprintf(stderr, "bench_faults: %s\n", s.server->error().c_str());
    return 1;
  }
  const std::string direct = s.server->url("");

  // Trials per fault kind: an update from 1.0 to 2.0 with `rate` of the object
  // answers spoiled by that one kind.
  const std::vector<std::pair<Fault, double FaultPlan::*>> kinds = {
      {Fault::Reset, &FaultPlan::reset},       {Fault::Stall, &FaultPlan::stall},
      {Fault::Truncate, &FaultPlan::truncate}, {Fault::Flip, &FaultPlan::flip},
      {Fault::ServerError, &FaultPlan::serverError}, {Fault::WrongLength, &FaultPlan::wrongLength}};
  json kindsOut = json::array();
  bool sound = true;
  std::printf("update 1.0 -> 2.0 through the proxy, %d trials per kind, %.0f %% of object answers spoiled\n", trials,
              rate * 100);
  std::printf("  %-13s %8s %8s %9s  %s\n", "fault", "spoiled", "exact", "kept old", "failures (text: count)");
  for (const auto& [kind, member] : kinds) {
    std::map<std::string, int> outcomes;
    std::map<std::string, int> texts;
    int spoiled = 0;
    for (int t = 0; t < trials; ++t) {
      fs::remove_all(s.game());
      if (!sync(s.game(), direct, s.v1, error)) {
        std::fprintf(stderr, "bench_faults: the clean install failed: %s\n", error.c_str());
        return 1;
      }
      FaultPlan plan;
      plan.pathPrefix = "/objects/";
      plan.*member = rate;
      plan.stallMs = 400;
      plan.seed = static_cast<uint32_t>(1000 * static_cast<int>(kind) + t);
      FaultProxy proxy(s.server->port(), plan);
      error.clear();
      const bool ok = sync(s.game(), proxy.url(""), s.v2, error);
      spoiled += proxy.counts()[kind];
      const std::string outcome = check(s, ok, s.v2, &s.v1);
      ++outcomes[outcome];
      if (!ok) ++texts[error.substr(0, error.find(':') == std::string::npos ? error.size() : error.find(':'))];
      sound = sound && (outcome == "exact" || outcome == "kept old");
    }
    std::string failures;
    for (const auto& [text, count] : texts) failures += (failures.empty() ? "" : "; ") + text + ": " + std::to_string(count);
    std::printf("  %-13s %8d %8d %9d  %s\n", faultName(kind), spoiled, outcomes["exact"], outcomes["kept old"],
                failures.c_str());
    kindsOut.push_back({{"fault", faultName(kind)}, {"trials", trials}, {"spoiled_answers", spoiled},
                        {"outcomes", outcomes}, {"failure_texts", texts}});
  }

  // Runs to finish an install with a share of object answers spoiled.
  json finishOut = json::object();
  std::printf("install 2.0 from nothing, runs until it finishes (objects spoiled by every kind but stall alike)\n");
  for (double share : {0.6, 0.8}) {
    std::vector<int> runs;
    for (int seed = 1; seed <= finishSeeds; ++seed) {
      fs::remove_all(s.game());
      FaultPlan plan;
      plan.pathPrefix = "/objects/";
      plan.reset = plan.truncate = plan.flip = plan.serverError = plan.wrongLength = share / 5;
      plan.seed = static_cast<uint32_t>(seed);
      FaultProxy proxy(s.server->port(), plan);
      int n = 0;
      bool ok = false;
      while (!ok && n < 200) {
        ++n;
        error.clear();
        ok = sync(s.game(), proxy.url(""), s.v2, error);
        const std::string outcome = check(s, ok, s.v2, nullptr);
        sound = sound && (outcome == "exact" || outcome == "failed");
      }
      runs.push_back(ok ? n : -1);
    }
    std::string list;
    double sum = 0;
    for (int r : runs) {
      list += (list.empty() ? "" : ", ") + std::to_string(r);
      sum += r;
    }
    std::printf("  %3.0f %% faulty: runs %s (mean %.1f)\n", share * 100, list.c_str(), sum / static_cast<double>(runs.size()));
    finishOut[std::to_string(static_cast<int>(share * 100))] = {{"runs", runs}, {"mean", sum / static_cast<double>(runs.size())}};
  }
  std::printf("every trial ended exact, or failed with the installed files untouched: %s\n", sound ? "yes" : "NO");
  if (!jsonFile.empty()) {
    std::ofstream out(jsonFile);
    out << json{{"trials_per_kind", trials}, {"rate", rate}, {"kinds", kindsOut}, {"runs_to_finish", finishOut},
                {"sound", sound}}
               .dump(2)
        << "\n";
  }
  return sound ? 0 : 1;
}
