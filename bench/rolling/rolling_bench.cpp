// Rolls the weak checksum over a corpus of mixed data the way a sync looks
// for moved chunks, against the chunks of a second corpus of the same mix,
// and counts what matched: windows whose CRC half matched, whose whole weak
// checksum matched, and of those the ones SHA-256 refused (false matches)
// or confirmed. Prints a table and, with --json FILE, the figures.
//
//   bench_rolling --corpus FILE [--size BYTES] [--chunk BYTES] [--json FILE]
#include "update/rolling_search.h"
#include "update/sha256.h"
#include "update/weak_checksum.h"

#include <nlohmann/json.hpp>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using namespace launcher;
namespace fs = std::filesystem;

// xorshift64*: fast and reproducible.
struct Random {
  uint64_t s;
  explicit Random(uint64_t seed) : s(seed * 0x9e3779b97f4a7c15ull + 1) {}
  uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545f4914f6cdd1dull;
  }
  uint64_t below(uint64_t n) { return next() % n; }
};

const char* const words[] = {"the",   "vantor", "mesh",  "texture", "level", "spawn", "door",  "light",
                             "shadow", "sound",  "enemy", "player",  "quest", "item",  "float", "index"};

std::string text(Random& r, size_t n) {
  std::string out;
  out.reserve(n + 16);
  while (out.size() < n) {
    out += words[r.below(16)];
    out += r.below(12) == 0 ? '\n' : ' ';
    if (r.below(20) == 0) out += std::to_string(r.below(100000));
  }
  out.resize(n);
  return out;
}

// One piece of the corpus: a kind of content game files hold.
std::string piece(Random& r, int kind, size_t n) {
  std::string out(n, '\0');
  switch (kind) {
    case 0:  // random: encrypted or well-compressed data
      for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = r.next();
        std::memcpy(&out[i], &v, 8);
      }
      break;
    case 1: {  // deflate streams of text, as in compressed archives
      out.clear();
      while (out.size() < n) {
        const std::string plain = text(r, 256 * 1024);
        uLongf size = compressBound(static_cast<uLong>(plain.size()));
        std::string packed(size, '\0');
        compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
                  static_cast<uLong>(plain.size()), 6);
        packed.resize(size);
        out += packed;
      }
      out.resize(n);
      break;
    }
    case 2:  // plain text: configuration, scripts, localisation
      out = text(r, n);
      break;
    case 3:  // sparse tables: mostly zeros, a value every 64 bytes
      for (size_t i = 0; i + 4 <= n; i += 64) {
        const uint32_t v = static_cast<uint32_t>(r.below(4096));
        std::memcpy(&out[i], &v, 4);
      }
      break;
    case 4: {  // records: counters and small floats, like vertex buffers
      uint32_t counter = static_cast<uint32_t>(r.below(1000));
      for (size_t i = 0; i + 32 <= n; i += 32) {
        const float f[4] = {static_cast<float>(counter) * 0.5f, static_cast<float>(r.below(100)) / 10.0f, 1.0f,
                            0.0f};
        std::memcpy(&out[i], &counter, 4);
        std::memcpy(&out[i + 4], f, 16);
        ++counter;
      }
      break;
    }
    case 5:  // zeros: padding and empty reserved space
      break;
    default: {  // a tile repeated with a few bytes changed each time
      std::string tile = piece(r, 0, 4096);
      for (size_t i = 0; i < n; i += 4096) {
        tile[r.below(4096)] = static_cast<char>(r.next());
        out.replace(i, std::min<size_t>(4096, n - i), tile, 0, std::min<size_t>(4096, n - i));
      }
      break;
    }
  }
  return out;
}

const char* const kindNames[] = {"random", "deflate", "text", "sparse", "records", "zeros", "tiles"};
constexpr int kindCount = 7;

// Calls sink with the corpus of `size` bytes made from `seed`, in pieces of
// 1 to 8 MiB cycling through the kinds. Returns the bytes of each kind.
template <typename Sink>
std::map<std::string, uint64_t> corpus(uint64_t seed, uint64_t size, Sink sink) {
  Random r(seed);
  std::map<std::string, uint64_t> kinds;
  uint64_t done = 0;
  int kind = static_cast<int>(seed % kindCount);
  while (done < size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, (1 + r.below(8)) << 20));
    sink(piece(r, kind, n));
    kinds[kindNames[kind]] += n;
    done += n;
    kind = (kind + 1) % kindCount;
  }
  return kinds;
}

struct Wanted {
  uint64_t weak = 0;
  std::string hash;
  bool settled = false;
};

}  // namespace

int main(int argc, char** argv) {
  fs::path corpusPath;
  std::string jsonPath;
  uint64_t size = uint64_t{1} << 30;
  uint64_t chunk = 1 << 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--corpus") corpusPath = argv[i + 1];
    else if (a == "--size") size = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--chunk") chunk = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--json") jsonPath = argv[i + 1];
  }
  if (corpusPath.empty() || size < 4 * chunk) {
    std::fprintf(stderr, "usage: bench_rolling --corpus FILE [--size BYTES] [--chunk BYTES] [--json FILE]\n");
    return 2;
  }

  // The rolled corpus, written to a file (the search reads files).
  std::map<std::string, uint64_t> kinds;
  {
    std::ofstream out(corpusPath, std::ios::binary | std::ios::trunc);
    kinds = corpus(1, size, [&](const std::string& p) { out.write(p.data(), static_cast<std::streamsize>(p.size())); });
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", corpusPath.string().c_str());
      return 1;
    }
  }
  // The wanted chunks: every chunk of a second corpus of the same mix, plus
  // windows of the rolled one at odd offsets, which must all be found.
  std::vector<Wanted> wanted;
  {
    std::string pending;
    corpus(2, size, [&](const std::string& p) {
      pending += p;
      size_t at = 0;
      for (; pending.size() - at >= chunk; at += chunk) {
        wanted.push_back({weakChecksum(pending.data() + at, chunk), sha256Hex(pending.data() + at, chunk)});
      }
      pending.erase(0, at);
    });
  }
  const size_t fromOther = wanted.size();
  {
    std::ifstream in(corpusPath, std::ios::binary);
    Random r(3);
    std::string window(chunk, '\0');
    for (int i = 0; i < 16; ++i) {
      const uint64_t at = r.below(size - chunk) | 1;
      in.seekg(static_cast<std::streamoff>(at));
      in.read(window.data(), static_cast<std::streamsize>(chunk));
      wanted.push_back({weakChecksum(window.data(), chunk), sha256Hex(window)});
    }
  }
  // Warm the page cache, as for an installed game that was just read.
  {
    std::ifstream in(corpusPath, std::ios::binary);
    std::vector<char> block(1 << 20);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }

  const CrcWindow crc(chunk);
  std::unordered_map<uint32_t, std::vector<size_t>> byState;
  std::vector<uint32_t> states;
  for (size_t i = 0; i < wanted.size(); ++i) {
    const uint32_t state = crc.stateOf(weakCrc(wanted[i].weak));
    byState[state].push_back(i);
    states.push_back(state);
  }
  CrcSet set;
  set.assign(states);

  uint64_t crcMatches = 0, weakMatches = 0, falseMatches = 0, trueMatches = 0;
  double matchSeconds = 0;
  std::map<std::string, uint64_t> falseByNothing;
  WindowRoller roller(crc);
  uint64_t read = 0;
  const std::clock_t cpu0 = std::clock();
  const auto wall0 = std::chrono::steady_clock::now();
  const RollEnd end = roller.roll(
      corpusPath, 0, size - chunk, set, ~uint64_t{0}, nullptr,
      [&](uint64_t, uint32_t state, const BytePieces& bytes) {
        const std::clock_t t0 = std::clock();
        for (size_t i : byState[state]) {
          Wanted& w = wanted[i];
          if (w.settled) continue;
          ++crcMatches;
          uint32_t adler = 1;
          for (const auto& [p, n] : bytes) adler = adler32Update(adler, p, n);
          if (adler != weakAdler(w.weak)) continue;
          ++weakMatches;
          Sha256 sha;
          for (const auto& [p, n] : bytes) sha.update(p, n);
          if (sha.finishHex() != w.hash) {
            ++falseMatches;
            continue;
          }
          // Found, as the search takes it: looked for no more.
          ++trueMatches;
          w.settled = true;
        }
        bool open = false;
        for (size_t i : byState[state]) open |= !wanted[i].settled;
        if (!open) set.remove(state);
        matchSeconds += static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
        return true;
      },
      read);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  const double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
  if (end != RollEnd::Done) {
    std::fprintf(stderr, "the roll did not finish\n");
    return 1;
  }
  // A planted window may also lie elsewhere (zeros): found anywhere counts.
  const size_t plantedCount = wanted.size() - fromOther;
  size_t plantedFound = 0;
  for (size_t i = fromOther; i < wanted.size(); ++i) plantedFound += wanted[i].settled ? 1 : 0;
  // Rolling alone: the processor time spent confirming matches (real ones
  // included) is taken out; it is the work a download's verification does.
  const double rollCpu = std::max(1e-9, cpu - matchSeconds);

  const double positions = static_cast<double>(size - chunk + 1);
  const double expectedCrc = positions * static_cast<double>(wanted.size()) / 4294967296.0;
  std::printf("Weak checksum %s, window %llu bytes, over %.0f MB of mixed data (", weakChecksumKind,
              static_cast<unsigned long long>(chunk), static_cast<double>(size) / 1e6);
  bool first = true;
  for (const auto& [name, bytes] : kinds) {
    std::printf("%s%s %.0f%%", first ? "" : ", ", name.c_str(), 100.0 * static_cast<double>(bytes) / static_cast<double>(size));
    first = false;
  }
  std::printf(")\n");
  std::printf("| figure                                  | value      |\n|-----------------------------------------|------------|\n");
  std::printf("| rolling speed, one core (CPU time)      | %7.0f MB/s |\n", static_cast<double>(size) / rollCpu / 1e6);
  std::printf("| rolling speed, wall clock, with matches | %7.0f MB/s |\n", static_cast<double>(size) / wall / 1e6);
  std::printf("| wanted chunks                           | %zu (%zu of another corpus, %zu planted) |\n",
              wanted.size(), fromOther, wanted.size() - fromOther);
  std::printf("| windows rolled                          | %.0f |\n", positions);
  std::printf("| CRC half matched, Adler half not        | %llu (about %.0f expected by chance) |\n",
              static_cast<unsigned long long>(crcMatches - weakMatches), expectedCrc);
  std::printf("| whole weak checksum matched             | %llu |\n", static_cast<unsigned long long>(weakMatches));
  std::printf("| false matches (refused by SHA-256)      | %llu |\n", static_cast<unsigned long long>(falseMatches));
  std::printf("| true matches (confirmed)                | %llu, planted found %zu of %zu |\n",
              static_cast<unsigned long long>(trueMatches), plantedFound, plantedCount);

  if (!jsonPath.empty()) {
    nlohmann::json j = {{"weak_kind", weakChecksumKind},
                        {"corpus_bytes", size},
                        {"chunk_bytes", chunk},
                        {"corpus_kinds", kinds},
                        {"wanted_chunks", wanted.size()},
                        {"windows_rolled", static_cast<uint64_t>(positions)},
                        {"rolling_mb_per_s_one_core", static_cast<double>(size) / rollCpu / 1e6},
                        {"rolling_cpu_seconds", rollCpu},
                        {"wall_seconds", wall},
                        {"wall_mb_per_s", static_cast<double>(size) / wall / 1e6},
                        {"match_seconds", matchSeconds},
                        {"crc_only_matches", crcMatches - weakMatches},
                        {"crc_only_matches_expected_by_chance", expectedCrc},
                        {"weak_matches", weakMatches},
                        {"false_matches", falseMatches},
                        {"true_matches", trueMatches},
                        {"planted", plantedCount},
                        {"planted_found", plantedFound}};
    std::ofstream(jsonPath) << j.dump(2) << "\n";
  }
  return plantedFound == plantedCount ? 0 : 1;
}
