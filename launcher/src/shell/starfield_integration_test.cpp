// The window's starfield (starfield.cpp) against the page's own motion
// (launcher/page/starmath.js, run by Node): the same seed and the same steps
// must give the same streaks, so the window shows the field the page shows
// elsewhere. Node is the page tests' own runtime.
#include "shell/starfield.h"
#include "testing/child_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>

namespace launcher {
namespace {

using nlohmann::json;

// A scenario touching every input: the first focus, the pointer, a jump, a
// download's progress, another screen, reduced motion, and the rest after
// minutes without input with the input that ends it.
json scenario() {
  json steps = json::array();
  const double dt = 1.0 / 30;
  double t = 0;
  for (int i = 0; i < 420; ++i) {
    // From step 200 the clock leaps past the three minutes without input and
    // the field comes to rest, until the input at step 390.
    const bool resting = i >= 200 && i < 390;
    t += i == 200 ? 200.0 : resting ? 0.05 : dt;
    json inputs = {{"menuFocus", i < 8 ? -1 : (i / 50) % 5}, {"home", !(i >= 120 && i < 150)},
                   {"calm", i >= 170 && i < 190}, {"progress", (i >= 90 && i < 110) ? json(0.4 + i * 0.001) : json()}};
    json step = {{"dt", resting ? 0.05 : dt}, {"t", t}, {"inputs", inputs}};
    if (i == 20) step["pointer"] = json::array({900.5, 140.25});
    if (i == 70) step["pointer"] = nullptr;
    if (i == 40 || i == 160) step["jump"] = true;
    if (i == 390) step["input"] = true;
    steps.push_back(step);
  }
  return {{"seed", 20261210}, {"width", 1280}, {"height", 760}, {"steps", steps},
          {"record", {0, 1, 10, 45, 100, 130, 180, 260, 389, 419}}};
}

TEST(StarfieldAgainstPage, SameSeedAndStepsGiveTheSameStreaks) {
  const json s = scenario();
  const testing::ProcessResult r = testing::runProcess(
      {"node", std::string(VANTOR_SOURCE_DIR) + "/launcher/src/shell/tests/starfield_dump.mjs", s.dump()}, 60000);
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  const json page = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(page.is_object()) << r.out.substr(0, 200);

  Starfield field(s["seed"].get<uint32_t>());
  field.resize(1280, 760);
  std::vector<int> record = s["record"].get<std::vector<int>>();
  size_t next = 0;
  int compared = 0;
  for (int i = 0; i < static_cast<int>(s["steps"].size()); ++i) {
    const json& step = s["steps"][i];
    if (step.contains("pointer")) {
      if (step["pointer"].is_null()) field.pointer(std::nullopt, std::nullopt);
      else field.pointer(step["pointer"][0].get<double>(), step["pointer"][1].get<double>());
    }
    if (step.value("jump", false)) field.jump();
    if (step.value("input", false)) field.input(step["t"].get<double>());
    StarInputs inputs;
    inputs.menuFocus = step["inputs"]["menuFocus"].get<int>();
    inputs.home = step["inputs"]["home"].get<bool>();
    inputs.calm = step["inputs"]["calm"].get<bool>();
    if (!step["inputs"]["progress"].is_null()) inputs.progress = step["inputs"]["progress"].get<double>();
    field.step(step["dt"].get<double>(), step["t"].get<double>(), inputs);
    if (next >= record.size() || record[next] != i) continue;
    SCOPED_TRACE("step " + std::to_string(i));
    const json& frame = page["frames"][next];
    EXPECT_NEAR(field.speed(), page["speeds"][next].get<double>(), 1e-9);
    ASSERT_EQ(field.streaks().size(), frame.size());
    for (size_t k = 0; k < frame.size(); ++k) {
      const StarStreak& c = field.streaks()[k];
      const double mine[] = {c.tailX, c.tailY, c.headX, c.headY, c.width, c.brightness, double(c.tint)};
      for (int v = 0; v < 7; ++v) {
        const double theirs = frame[k][v].get<double>();
        ASSERT_NEAR(mine[v], theirs, 1e-6 * std::max(1.0, std::abs(theirs))) << "streak " << k << " value " << v;
      }
    }
    ++compared;
    ++next;
  }
  EXPECT_EQ(compared, static_cast<int>(record.size()));
  // The rest did happen: the field stood still, and the input woke it.
  EXPECT_LT(page["speeds"][8].get<double>(), 0.001);
  EXPECT_GT(page["speeds"][9].get<double>(), 0.07);  // back at DATA's 0.077
}

}  // namespace
}  // namespace launcher
