#include "cli/ctl_options.h"

#include <gtest/gtest.h>

#include <functional>

namespace launcher {
namespace {

using Args = std::vector<std::string>;

TEST(CtlOptions, EveryCommandWithWhatItTakes) {
  struct Row {
    Args args;
    CtlCommand command;
    std::function<void(const CtlOptions&)> check;
  };
  const Row rows[] = {
      {{"status"}, CtlCommand::Status, [](const CtlOptions& o) { EXPECT_FALSE(o.json); }},
      {{"status", "--json"}, CtlCommand::Status, [](const CtlOptions& o) { EXPECT_TRUE(o.json); }},
      {{"--json", "status"}, CtlCommand::Status, [](const CtlOptions& o) { EXPECT_TRUE(o.json); }},
      {{"install", "--limit-rate", "500K", "--feed", "http://h/f", "--folder", "g"}, CtlCommand::Install,
       [](const CtlOptions& o) {
         EXPECT_EQ(o.limitRate, 500u * 1024);
         EXPECT_EQ(o.feed, "http://h/f");
         EXPECT_EQ(o.folder, "g");
       }},
      {{"install", "--limit-rate=2M", "--feed=f", "--folder=/x y"}, CtlCommand::Install,
       [](const CtlOptions& o) {
         EXPECT_EQ(o.limitRate, 2u * 1024 * 1024);
         EXPECT_EQ(o.feed, "f");
         EXPECT_EQ(o.folder, "/x y");
       }},
      {{"install", "--limit-rate", "0"}, CtlCommand::Install, [](const CtlOptions& o) { EXPECT_EQ(o.limitRate, 0u); }},
      {{"install"}, CtlCommand::Install, [](const CtlOptions& o) { EXPECT_FALSE(o.limitRate.has_value()); }},
      {{"update", "-v"}, CtlCommand::Update, [](const CtlOptions& o) { EXPECT_TRUE(o.verbose); }},
      {{"verify", "--json", "--folder", "g"}, CtlCommand::Verify, [](const CtlOptions& o) { EXPECT_TRUE(o.json); }},
      {{"repair", "--limit-rate", "1.5m"}, CtlCommand::Repair,
       [](const CtlOptions& o) { EXPECT_EQ(o.limitRate, 3u * 512 * 1024); }},
      {{"sync", "http://h/m.json", "game"}, CtlCommand::Sync,
       [](const CtlOptions& o) {
         EXPECT_EQ(o.source, "http://h/m.json");
         EXPECT_EQ(o.target, "game");
         EXPECT_FALSE(o.verify);
       }},
      {{"sync", "--verify", "m.json", "game", "--limit-rate", "64K"}, CtlCommand::Sync,
       [](const CtlOptions& o) {
         EXPECT_TRUE(o.verify);
         EXPECT_EQ(o.limitRate, 64u * 1024);
       }},
      {{"sync", "--", "-odd.json", "-game"}, CtlCommand::Sync,
       [](const CtlOptions& o) {
         EXPECT_EQ(o.source, "-odd.json");
         EXPECT_EQ(o.target, "-game");
       }},
      {{"addons", "list"}, CtlCommand::AddonsList, [](const CtlOptions&) {}},
      {{"addons", "list", "--json", "--feed", "f"}, CtlCommand::AddonsList,
       [](const CtlOptions& o) { EXPECT_TRUE(o.json); }},
      {{"addons", "install", "hd-skies"}, CtlCommand::AddonsInstall,
       [](const CtlOptions& o) { EXPECT_EQ(o.name, "hd-skies"); }},
      {{"addons", "remove", "a_b-1"}, CtlCommand::AddonsRemove, [](const CtlOptions& o) { EXPECT_EQ(o.name, "a_b-1"); }},
      {{"backup"}, CtlCommand::Backup, [](const CtlOptions&) {}},
      {{"restore", "2026-01-02_030405"}, CtlCommand::Restore,
       [](const CtlOptions& o) { EXPECT_EQ(o.name, "2026-01-02_030405"); }},
      // Help and version answer whatever else the line says.
      {{"--help"}, CtlCommand::Help, [](const CtlOptions&) {}},
      {{"install", "-h"}, CtlCommand::Help, [](const CtlOptions&) {}},
      {{"bogus", "--frob", "--help"}, CtlCommand::Help, [](const CtlOptions&) {}},
      {{"--version"}, CtlCommand::Version, [](const CtlOptions&) {}},
      {{"--version", "--help"}, CtlCommand::Help, [](const CtlOptions&) {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::PrintToString(r.args));
    CtlOptions o;
    std::string error;
    ASSERT_TRUE(parseCtlArguments(r.args, o, error)) << error;
    EXPECT_EQ(o.command, r.command);
    r.check(o);
  }
}

TEST(CtlOptions, UsageErrorsSayWhatIsWrong) {
  struct Row {
    Args args;
    const char* says;
  };
  const Row rows[] = {
      {{}, "no command given"},
      {{"--json"}, "no command given"},
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"addons"}, "addons needs list, install ID or remove ID"},
      {{"addons", "purge"}, "unknown command \"addons purge\""},
      {{"status", "extra"}, "status takes no arguments"},
      {{"install", "now"}, "install takes no arguments"},
      {{"restore"}, "restore takes one argument"},
      {{"restore", "a", "b"}, "restore takes one argument"},
      {{"restore", ""}, "restore needs a backup's name"},
      {{"addons", "install"}, "addons install takes one argument"},
      {{"addons", "install", "Bad/Id"}, "\"Bad/Id\" is not an add-on id"},
      {{"addons", "remove", "../x"}, "\"../x\" is not an add-on id"},
      {{"addons", "remove", std::string(65, 'a')}, "is not an add-on id"},
      {{"sync", "m.json"}, "sync takes two arguments"},
      {{"sync", "", "g"}, "sync needs a manifest location and a folder"},
      {{"status", "--frob"}, "unknown option --frob"},
      {{"status", "-x"}, "unknown option -x"},
      {{"install", "--limit-rate"}, "--limit-rate needs a value"},
      {{"install", "--limit-rate", "fast"}, "--limit-rate takes a rate such as 500K"},
      {{"install", "--limit-rate=1KB"}, "--limit-rate takes a rate"},
      {{"install", "--feed"}, "--feed needs a value"},
      {{"install", "--feed="}, "--feed needs a location"},
      {{"install", "--folder="}, "--folder needs a folder"},
      {{"install", "--json"}, "install does not take --json"},
      {{"status", "--limit-rate", "1M"}, "status does not take --limit-rate"},
      {{"backup", "--feed", "f"}, "backup does not take --feed"},
      {{"restore", "x", "--folder", "g"}, "restore does not take --folder"},
      {{"addons", "remove", "a", "--feed", "f"}, "addons remove does not take --feed"},
      {{"addons", "list", "--folder", "g"}, "addons list does not take --folder"},
      {{"sync", "m", "g", "--feed", "f"}, "sync does not take --feed"},
      {{"install", "--verify"}, "install does not take --verify"},
      {{"status", "--", "--json"}, "status takes no arguments"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::PrintToString(r.args));
    CtlOptions o;
    std::string error;
    EXPECT_FALSE(parseCtlArguments(r.args, o, error));
    EXPECT_NE(error.find(r.says), std::string::npos) << "said: " << error;
  }
}

TEST(CtlOptions, HelpListsEveryCommandAndExitStatus) {
  const std::string help = ctlHelpText();
  for (const char* word : {"status", "install", "update", "verify", "repair", "sync SOURCE FOLDER", "addons list",
                           "addons install ID", "addons remove ID", "backup", "restore NAME", "--limit-rate",
                           "--feed", "--folder", "--json", "0    done", "1    failed", "2    bad usage",
                           "3    refused because busy", "130  interrupted"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace launcher
