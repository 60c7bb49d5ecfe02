#include "data/instance_owner.h"

#include "platform/platform.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

namespace fs = std::filesystem;

TEST(InstanceOwner, TheHolderSaysWhoItIsAndARefusedStartRepeatsIt) {
  testing::ScopedHome home;
  EXPECT_EQ(instanceBusyText(), "Another launcher of this user is running");
  ASSERT_TRUE(recordInstanceOwner("vantorctl", "install"));
  InstanceOwner owner;
  ASSERT_TRUE(readInstanceOwner(owner));
  EXPECT_EQ(owner.program, "vantorctl");
  EXPECT_EQ(owner.command, "install");
  EXPECT_EQ(owner.processId, static_cast<uint64_t>(currentProcessId()));
  EXPECT_EQ(instanceBusyText(), "vantorctl install (process " + std::to_string(currentProcessId()) +
                                    ") is running: wait for it to finish, or stop it first");
  ASSERT_TRUE(recordInstanceOwner("vantor-launcher", "window"));
  EXPECT_EQ(instanceBusyText(), "The launcher (vantor-launcher, process " + std::to_string(currentProcessId()) +
                                    ") is running: use it, or close it first");
}

TEST(InstanceOwner, ARecordThatIsNotOnesOwnIsNotBelieved) {
  testing::ScopedHome home;
  const fs::path file = runtimeFolder() / "launcher.owner";
  const char* bad[] = {
      "",
      "not json",
      "[]",
      R"({"program":"vantorctl","command":"install"})",
      R"({"program":"vantorctl","command":"install","pid":-4})",
      R"({"program":"vantorctl","command":"install","pid":"12"})",
      R"({"program":"vantor\u001b[2Jctl","command":"install","pid":12})",
      R"({"program":"vantorctl","command":"in stall","pid":12})",
      R"({"program":"","command":"install","pid":12})",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    testing::writeFile(file, text);
    InstanceOwner owner;
    EXPECT_FALSE(readInstanceOwner(owner));
    EXPECT_EQ(instanceBusyText(), "Another launcher of this user is running");
  }
  // Names that could carry control sequences to a terminal are not written.
  EXPECT_FALSE(recordInstanceOwner("vantor\nctl", "install"));
  EXPECT_FALSE(recordInstanceOwner("vantorctl", std::string(65, 'a')));
}

}  // namespace
}  // namespace launcher
