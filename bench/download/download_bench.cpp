// Times one downloadFile: prints the digest and the seconds it took, as
// "<digest> <seconds>". The wrapper script compares it with curl.
#include "update/http.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_download URL DEST\n");
    return 2;
  }
  std::string digest;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = launcher::downloadFile(argv[1], argv[2], {}, digest, error);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) {
    std::fprintf(stderr, "bench_download: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s %.6f\n", digest.c_str(), seconds);
  return 0;
}
