// Tests of interfaces only Linux has here (named pipes and devices, /proc,
// interposed fsync and rename, mode bits, symbolic links a test makes, mounts)
// skip on other systems, saying which interface:
//
//   VANTOR_LINUX_ONLY("named pipes");
#pragma once

#include <gtest/gtest.h>

namespace launcher::testing {

// True on the Linux build.
[[nodiscard]] bool onLinux();

}  // namespace launcher::testing

#define VANTOR_LINUX_ONLY(what) \
  if (!::launcher::testing::onLinux()) GTEST_SKIP() << "Linux-only: " << (what)
