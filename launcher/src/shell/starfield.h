// The starfield's motion for the window, which draws the field natively behind
// a transparent page: a step-for-step copy of launcher/page/starmath.js (the
// same stars, speeds, streaks and brightness), so the window shows what the
// page's canvas shows elsewhere. Pure; one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace launcher {

inline constexpr int starCount = 560;
// The four tints, as red, green, blue.
inline constexpr uint8_t starTints[4][3] = {{255, 255, 255}, {214, 228, 255}, {186, 208, 255}, {255, 240, 225}};
// An animation nobody watches rests: this long after the last input the field
// eases to a stop and draws nothing until the next input (starmath.js says why).
inline constexpr double starRestAfterSeconds = 180;

// Numbers in [0, 1): a seeded mulberry32, the same generator the page uses
// under its test hook.
class StarRandom {
 public:
  explicit StarRandom(uint32_t seed) : state_(seed) {}
  double next();

 private:
  uint32_t state_;
};

// What moves the field, as the page tells it.
struct StarInputs {
  int menuFocus = -1;              // the focused home menu entry; -1 before the first
  bool home = true;                // the home screen shows
  bool calm = false;               // reduced motion
  std::optional<double> progress;  // 0..1 while a task has a byte total
};

// One visible star of a frame: a faint streak from tail to head (alpha 0.32 b,
// `width`) and a bright head over the 30 % nearest the head (alpha b, 0.9 of
// the width), with round caps. CSS pixels.
struct StarStreak {
  double tailX, tailY, headX, headY;
  double width;
  double brightness;
  int tint;
};

class Starfield {
 public:
  explicit Starfield(uint32_t seed);

  void resize(double width, double height);
  // The pointer over the window, or none.
  void pointer(std::optional<double> x, std::optional<double> y);
  void jump() { jump_ = 1; }
  // An input at time t: a resting field moves again.
  void input(double t) { lastInput_ = t; }
  [[nodiscard]] bool resting(double t) const { return t - lastInput_ >= starRestAfterSeconds; }
  // Resting and slowed to a stop: nothing moves until the next input.
  [[nodiscard]] bool still(double t) const;

  // Moves the field on by dt seconds at time t (seconds since it started) and
  // fills streaks() with the frame.
  void step(double dt, double t, const StarInputs& inputs);

  [[nodiscard]] const std::vector<StarStreak>& streaks() const { return streaks_; }
  [[nodiscard]] double speed() const { return speed_; }
  [[nodiscard]] double width() const { return width_; }
  [[nodiscard]] double height() const { return height_; }

 private:
  struct Star {
    double x, y, z, w;
    int tint;
  };
  Star newStar(bool far);
  void respawn(Star& s);
  [[nodiscard]] double target(double t, const StarInputs& inputs) const;

  StarRandom random_;
  std::vector<Star> stars_;
  std::vector<int> byTint_;  // star indices grouped by tint, in the page's order
  std::vector<StarStreak> streaks_;
  double jump_ = 0;
  double speed_ = 0;
  double vx_ = 0, vy_ = 0;
  std::optional<double> px_, py_;
  double width_ = 0, height_ = 0;
  double lastInput_ = 0;
};

// The test hook's text "SEED,STEPS,STOP,FOCUS" (as the page's starTest): the
// stars' seed, steps of the clock per second, frames after which the field
// stops (0: never) and the menu focus to hold (optional). Nothing for text
// that is not of that form.
struct StarTest {
  uint32_t seed = 0;
  double steps = 30;
  int stop = 0;
  std::optional<int> focus;
};
[[nodiscard]] std::optional<StarTest> parseStarTest(std::string_view text);

}  // namespace launcher
