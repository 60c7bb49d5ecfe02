#include "app/sync_command.h"
#include "app/sync_progress.h"

#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace launcher {
namespace {

TEST(SyncCommand, ParsesTheSyncArgumentsAndRejectsEverythingElse) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    bool verify;
  };
  const std::vector<Case> cases = {
      {{"--sync", "game", "http://h/m.json"}, true, false},
      {{"--sync", "game", "m.json", "--verify"}, true, true},
      {{"--verify", "--sync", "game", "file:///m.json"}, true, true},
      {{"--sync"}, false, false},
      {{"--sync", "game"}, false, false},
      {{"--sync", "game", "m.json", "extra"}, false, false},
      {{"--sync", "game", "m.json", "--verfy"}, false, false},
      {{"--sync", "game", "m.json", "--verify", "--verify"}, false, false},
      {{"--sync", "", "m.json"}, false, false},
      {{"game", "m.json"}, false, false},
  };
  for (const Case& c : cases) {
    SyncArguments parsed;
    EXPECT_EQ(parseSyncArguments(c.args, parsed), c.ok) << ::testing::PrintToString(c.args);
    if (c.ok) {
      EXPECT_EQ(parsed.folder, "game");
      EXPECT_EQ(parsed.verify, c.verify);
    }
  }
}

std::string contentOf(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string out;
  for (int c; (c = std::fgetc(f)) != EOF;) out += static_cast<char>(c);
  return out;
}

TEST(SyncProgressPrinter, PlainOutputPrintsPhaseChangesAndOneLineASecond) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  SyncProgressPrinter printer(f, /*terminal=*/false);
  const auto t0 = SyncProgressPrinter::Clock::now();
  Progress p;
  p.phase = "Downloading";
  p.bytesTotal = 10'000'000;
  p.filesTotal = 10;
  for (int i = 0; i <= 30; ++i) {  // 3 s of reports, 10 a second
    p.bytesDone = 300'000 * static_cast<uint64_t>(i);
    printer.update(p, t0 + std::chrono::milliseconds(100 * i));
  }
  p.phase = "Assembling";
  p.bytesDone = 0;
  printer.update(p, t0 + std::chrono::milliseconds(3050));
  printer.finish();
  const std::string out = contentOf(f);
  std::fclose(f);
  EXPECT_EQ(out,
            "Downloading      0.0%  0.0 / 10.0 MB\n"
            "Downloading     30.0%  3.0 / 10.0 MB  3.0 MB/s  0:02 left\n"
            "Downloading     60.0%  6.0 / 10.0 MB  3.0 MB/s  0:01 left\n"
            "Downloading     90.0%  9.0 / 10.0 MB  3.0 MB/s  0:00 left\n"
            "Assembling       0.0%  0.0 / 10.0 MB\n");
}

TEST(SyncProgressPrinter, TerminalOutputRedrawsOneLine) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  SyncProgressPrinter printer(f, /*terminal=*/true);
  const auto t0 = SyncProgressPrinter::Clock::now();
  Progress p;
  p.phase = "Installing";
  p.filesTotal = 4;
  for (int i = 0; i < 4; ++i) {
    p.filesDone = i;
    printer.update(p, t0 + std::chrono::milliseconds(60 * i));  // every other one is too soon
  }
  printer.finish();
  const std::string out = contentOf(f);
  std::fclose(f);
  EXPECT_EQ(out,
            "\rInstalling       0.0%  0 / 4 files\x1b[K"
            "\rInstalling      50.0%  2 / 4 files\x1b[K\n");
}

}  // namespace
}  // namespace launcher
