// Test entry point: the whole run gets its own HOME and XDG folders, so no
// test can touch the real user's files, even one that forgets to ask.
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  launcher::testing::ScopedHome home;
  return RUN_ALL_TESTS();
}
