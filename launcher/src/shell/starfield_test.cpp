#include "shell/starfield.h"

#include <gtest/gtest.h>

#include <cmath>

namespace launcher {
namespace {

// Runs the field for `seconds` at 30 frames a second from time `t`; returns
// the time reached.
double run(Starfield& field, double t, double seconds, const StarInputs& inputs) {
  const double dt = 1.0 / 30;
  for (int i = 0; i < std::lround(seconds * 30); ++i) {
    t += dt;
    field.step(dt, t, inputs);
  }
  return t;
}

Starfield settledField(const StarInputs& inputs, double& t) {
  Starfield field(7);
  field.resize(1280, 760);
  t = run(field, 0, 6, inputs);  // past the arrival ramp, eased to the target
  return field;
}

TEST(Starfield, SpeedFollowsTheFocusedEntryTheScreenTheTaskAndReducedMotion) {
  struct Row {
    const char* what;
    StarInputs inputs;
    double speed;
  };
  auto in = [](int focus, bool home, bool calm, std::optional<double> progress) {
    StarInputs i;
    i.menuFocus = focus;
    i.home = home;
    i.calm = calm;
    i.progress = progress;
    return i;
  };
  const Row rows[] = {
      {"PLAY", in(0, true, false, {}), 0.02 + 0.22 * 1},
      {"ADDONS", in(1, true, false, {}), 0.02 + 0.22 * 0.5},
      {"SETTINGS", in(2, true, false, {}), 0.02 + 0.22 * 0.38},
      {"DATA", in(3, true, false, {}), 0.02 + 0.22 * 0.26},
      {"QUIT", in(4, true, false, {}), 0.02 + 0.22 * 0.06},
      {"before the first focus", in(-1, true, false, {}), 0.02 + 0.22 * 0.24},
      {"another screen", in(0, false, false, {}), (0.02 + 0.22) * 0.35},
      {"a download half done", in(0, true, false, 0.5), 0.05 + 0.3 * 0.5},
      {"a download, on a page", in(0, false, false, 1.0), (0.05 + 0.3) * 0.35},
      {"reduced motion", in(0, true, true, {}), 0.03},
      {"reduced motion, slower still on a page", in(4, false, true, {}), (0.02 + 0.22 * 0.06) * 0.35},
  };
  for (const Row& row : rows) {
    double t = 0;
    Starfield field = settledField(row.inputs, t);
    EXPECT_NEAR(field.speed(), row.speed, 1e-4) << row.what;
  }
}

TEST(Starfield, AJumpSpeedsTheFieldUpAndDiesAwayButNotUnderReducedMotion) {
  StarInputs inputs;
  inputs.menuFocus = 0;
  double t = 0;
  Starfield field = settledField(inputs, t);
  field.jump();
  t = run(field, t, 0.3, inputs);
  EXPECT_GT(field.speed(), 0.8);
  t = run(field, t, 3, inputs);
  EXPECT_NEAR(field.speed(), 0.24, 1e-3);

  inputs.calm = true;
  Starfield calm = settledField(inputs, t);
  calm.jump();
  run(calm, t, 0.3, inputs);
  EXPECT_LE(calm.speed(), 0.03 + 1e-9);
}

TEST(Starfield, RestsAfterThreeMinutesWithoutInputUntilTheNextOne) {
  StarInputs inputs;
  inputs.menuFocus = 0;
  double t = 0;
  Starfield field = settledField(inputs, t);
  t = run(field, t, 170, inputs);
  EXPECT_FALSE(field.resting(t));
  EXPECT_NEAR(field.speed(), 0.24, 1e-3);
  t = run(field, t, 12, inputs);
  EXPECT_TRUE(field.resting(t));
  EXPECT_FALSE(field.still(t)) << "it eases to a stop over seconds, not at once";
  t = run(field, t, 15, inputs);
  EXPECT_TRUE(field.still(t));
  field.input(t);
  EXPECT_FALSE(field.still(t));
  run(field, t, 2, inputs);
  EXPECT_NEAR(field.speed(), 0.24, 1e-2);
}

TEST(Starfield, StreaksAreTheVisibleStarsInsideTheWindowsReach) {
  StarInputs inputs;
  inputs.menuFocus = 0;
  Starfield field(99);
  field.resize(1280, 760);
  double t = 0;
  size_t most = 0;
  for (int i = 0; i < 300; ++i) {
    t += 1.0 / 30;
    if (i == 100) field.jump();
    field.step(1.0 / 30, t, inputs);
    most = std::max(most, field.streaks().size());
    for (const StarStreak& s : field.streaks()) {
      ASSERT_GE(s.brightness, 0.02);
      ASSERT_LE(s.brightness, 0.38 + 1e-9);
      ASSERT_GE(s.headX, -80);
      ASSERT_LE(s.headX, 1280 + 80);
      ASSERT_GE(s.headY, -80);
      ASSERT_LE(s.headY, 760 + 80);
      ASSERT_GE(s.width, 0.6 * 0.5);
      ASSERT_LE(s.width, 1.5 * 2.1 + 1e-9);
      ASSERT_TRUE(s.tint >= 0 && s.tint < 4);
    }
  }
  EXPECT_LE(most, size_t(starCount));
  EXPECT_GT(most, size_t(100)) << "most of the 560 stars should be visible at once";
}

TEST(Starfield, TheSameSeedGivesTheSameField) {
  StarInputs inputs;
  Starfield a(5), b(5), c(6);
  for (Starfield* f : {&a, &b, &c}) {
    f->resize(800, 600);
    run(*f, 0, 1, inputs);
  }
  ASSERT_EQ(a.streaks().size(), b.streaks().size());
  for (size_t i = 0; i < a.streaks().size(); ++i) EXPECT_EQ(a.streaks()[i].headX, b.streaks()[i].headX);
  EXPECT_TRUE(a.streaks().size() != c.streaks().size() || a.streaks()[0].headX != c.streaks()[0].headX);
}

TEST(StarTestHook, ParsesSeedStepsStopAndFocus) {
  struct Row {
    const char* text;
    bool ok;
    uint32_t seed;
    double steps;
    int stop;
    std::optional<int> focus;
  };
  const Row rows[] = {
      {"7,30", true, 7, 30, 0, std::nullopt},
      {"7,30,90", true, 7, 30, 90, std::nullopt},
      {"7,30,90,0", true, 7, 30, 90, 0},
      {"7,30,,4", true, 7, 30, 0, 4},
      {"4294967295,60,0,-1", true, 4294967295u, 60, 0, -1},
      {"", false, 0, 0, 0, std::nullopt},
      {"7", false, 0, 0, 0, std::nullopt},
      {"7,0", false, 0, 0, 0, std::nullopt},
      {"7,-30", false, 0, 0, 0, std::nullopt},
      {"-1,30", false, 0, 0, 0, std::nullopt},
      {"4294967296,30", false, 0, 0, 0, std::nullopt},
      {"7,30,90,5", false, 0, 0, 0, std::nullopt},
      {"7,30,90,0,1", false, 0, 0, 0, std::nullopt},
      {"seven,30", false, 0, 0, 0, std::nullopt},
      {"7,30x", false, 0, 0, 0, std::nullopt},
      {" 7,30", false, 0, 0, 0, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const std::optional<StarTest> test = parseStarTest(row.text);
    ASSERT_EQ(test.has_value(), row.ok);
    if (!test) continue;
    EXPECT_EQ(test->seed, row.seed);
    EXPECT_EQ(test->steps, row.steps);
    EXPECT_EQ(test->stop, row.stop);
    EXPECT_EQ(test->focus, row.focus);
  }
}

}  // namespace
}  // namespace launcher
