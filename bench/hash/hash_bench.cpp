// Times sha256File on one file: prints the digest and the seconds it took,
// as "<digest> <seconds>". The wrapper script compares it with a peer.
#include "update/sha256.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_hash FILE\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const std::string digest = launcher::sha256File(argv[1]);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (digest.empty()) {
    std::fprintf(stderr, "bench_hash: cannot read %s\n", argv[1]);
    return 1;
  }
  std::printf("%s %.6f\n", digest.c_str(), seconds);
  return 0;
}
