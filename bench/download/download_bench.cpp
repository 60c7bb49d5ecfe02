// Times the launcher's transfers for bench/download/run.
//
//   bench_download URL DEST
//     one downloadFile; prints "<digest> <seconds>".
//   bench_download --objects MANIFEST_URL LIST DEST
//     the chunk transfer of an install: the objects LIST names (one
//     "<hash> <size>" a line, stored under "objects/" beside MANIFEST_URL)
//     fetched by its four workers and placed one after another into DEST, a
//     staged file made first at the sum of their sizes; prints
//     "<objects> <bytes> <seconds>".
#include "platform/platform.h"
#include "update/chunk_transfer.h"
#include "update/http.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

int single(const char* url, const char* dest) {
  std::string digest;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = launcher::downloadFile(url, dest, {}, digest, error);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) {
    std::fprintf(stderr, "bench_download: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s %.6f\n", digest.c_str(), seconds);
  return 0;
}

int objects(const char* manifestUrl, const char* list, const char* dest) {
  std::ifstream in(list);
  std::vector<launcher::ChunkRequest> requests;
  std::string hash;
  uint64_t size = 0;
  uint64_t total = 0;
  while (in >> hash >> size) {
    requests.emplace_back(hash, size, dest, total);
    total += size;
  }
  if (requests.empty()) {
    std::fprintf(stderr, "bench_download: %s lists no objects\n", list);
    return 2;
  }
  std::string error;
  if (launcher::prepareFile(dest, total, error) != launcher::PrepareResult::Ready) {
    std::fprintf(stderr, "bench_download: can't make %s: %s\n", dest, error.c_str());
    return 1;
  }
  launcher::GameManifest manifest;
  manifest.source = manifestUrl;
  manifest.objects = "objects/";
  const std::filesystem::path chunks = std::filesystem::path(dest).parent_path() / "chunks";
  std::atomic<bool> cancel{false};
  launcher::Progress record;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = launcher::fetchChunks(requests, manifest, chunks, cancel, record, {}, error);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) {
    std::fprintf(stderr, "bench_download: %s\n", error.c_str());
    return 1;
  }
  std::printf("%zu %llu %.6f\n", requests.size(), static_cast<unsigned long long>(total), seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--objects") return objects(argv[2], argv[3], argv[4]);
  if (argc == 3) return single(argv[1], argv[2]);
  std::fprintf(stderr, "usage: bench_download URL DEST\n       bench_download --objects MANIFEST_URL LIST DEST\n");
  return 2;
}
