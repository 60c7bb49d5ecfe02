#include "shell/starfield.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <string>

namespace launcher {
namespace {

// Speed factor of each home menu entry: PLAY, ADDONS, SETTINGS, DATA, QUIT.
constexpr double factors[] = {1, 0.5, 0.38, 0.26, 0.06};
// Below this speed a resting field counts as still.
constexpr double stillSpeed = 0.0005;

}  // namespace

double StarRandom::next() {
  // mulberry32, in the page's 32-bit arithmetic.
  state_ += 0x6d2b79f5u;
  uint32_t t = state_;
  t = (t ^ (t >> 15)) * (t | 1u);
  t ^= t + (t ^ (t >> 7)) * (t | 61u);
  return static_cast<double>(t ^ (t >> 14)) / 4294967296.0;
}

Starfield::Starfield(uint32_t seed) : random_(seed) {
  stars_.reserve(starCount);
  for (int i = 0; i < starCount; ++i) stars_.push_back(newStar(false));
  for (int tint = 0; tint < 4; ++tint)
    for (int i = 0; i < starCount; ++i)
      if (stars_[i].tint == tint) byTint_.push_back(i);
  streaks_.reserve(starCount);
}

Starfield::Star Starfield::newStar(bool far) {
  // The page draws its numbers in this order: angle, radius, depth, width, tint.
  const double angle = random_.next() * std::numbers::pi * 2;
  const double radius = 0.04 + std::pow(random_.next(), 0.7) * 1.4;
  Star s;
  s.x = std::cos(angle) * radius;
  s.y = std::sin(angle) * radius;
  s.z = far ? 1.0 + random_.next() * 0.2 : 0.02 + random_.next() * 1.2;
  s.w = 0.6 + random_.next() * 0.9;
  s.tint = static_cast<int>(random_.next() * 4);
  return s;
}

void Starfield::respawn(Star& s) {
  const Star n = newStar(true);
  s.x = n.x;
  s.y = n.y;
  s.z = n.z;
  s.w = n.w;
}

void Starfield::resize(double width, double height) {
  width_ = width;
  height_ = height;
  if (vx_ == 0) {
    vx_ = width / 2;
    vy_ = height / 2;
  }
}

void Starfield::pointer(std::optional<double> x, std::optional<double> y) {
  px_ = x;
  py_ = y;
}

bool Starfield::still(double t) const { return resting(t) && speed_ < stillSpeed && jump_ == 0; }

double Starfield::target(double t, const StarInputs& inputs) const {
  if (resting(t)) return 0;
  const double a = inputs.calm ? 1 : std::min(1.0, t / 2.2);
  const double factor = inputs.menuFocus >= 0 && inputs.menuFocus < 5 ? factors[inputs.menuFocus] : 0.24;
  const double want = 0.02 + 0.22 * factor;
  double target = want * (0.2 + 0.8 * a * a) + jump_ * jump_ * 1.2;
  if (inputs.progress) target = 0.05 + 0.3 * std::min(1.0, *inputs.progress);
  if (!inputs.home) target *= 0.35;
  if (inputs.calm) target = std::min(target, 0.03);
  return target;
}

void Starfield::step(double dt, double t, const StarInputs& inputs) {
  jump_ = std::max(0.0, jump_ - 0.9 * dt);
  if (inputs.calm) jump_ = 0;
  // A resting field slows gently; otherwise it follows the menu briskly.
  const double k = jump_ > 0 ? 6 : resting(t) ? 0.7 : 4;
  speed_ += (target(t, inputs) - speed_) * (1 - std::exp(-k * dt));
  const double speed = speed_;
  const double width = width_, height = height_;

  // The vanishing point drifts away from the pointer.
  const double cx = width / 2, cy = height / 2;
  const double tx = px_ ? cx - (*px_ - cx) * 0.06 : cx;
  const double ty = py_ ? cy - (*py_ - cy) * 0.06 : cy;
  const double e = 1 - std::exp(-2 * dt);
  vx_ += (tx - vx_) * e;
  vy_ += (ty - vy_) * e;

  const double f = 0.55 * std::max(width, height) * 0.35;
  const double fade = std::min(1.0, 0.8 * t + 0.15) * 0.38;
  const double move = speed * dt * 0.55 + 0.004 * dt;
  const double streak = 0.003 + speed * 0.05;
  const double vx = vx_, vy = vy_;
  // Vignette: full brightness in the middle, darker towards the corners.
  const double vr2 = 1 / (cx * cx + cy * cy);
  streaks_.clear();
  for (int index : byTint_) {
    Star& s = stars_[index];
    s.z -= move;
    double hx = vx + (s.x / s.z) * f;
    double hy = vy + (s.y / s.z) * f;
    if (s.z <= 0.015 || hx < -80 || hy < -80 || hx > width + 80 || hy > height + 80) {
      respawn(s);
      hx = vx + (s.x / s.z) * f;
      hy = vy + (s.y / s.z) * f;
    }
    const double near = std::min(1.0, std::max(0.0, 1.15 - s.z));
    const double dx = hx - cx, dy = hy - cy;
    const double vig = 1 - 0.7 * std::min(1.0, (dx * dx + dy * dy) * vr2);
    const double b = near * near * fade * vig;
    if (b < 0.02) continue;
    const double tz = std::min(1.3, s.z + streak);
    streaks_.push_back({vx + (s.x / tz) * f, vy + (s.y / tz) * f, hx, hy, s.w * (0.5 + 1.6 * near), b, s.tint});
  }
}

std::optional<StarTest> parseStarTest(std::string_view text) {
  // Up to four comma-separated fields; the last may be missing.
  std::string fields[4];
  int count = 0;
  size_t start = 0;
  for (;;) {
    if (count == 4) return std::nullopt;
    const size_t comma = text.find(',', start);
    fields[count++] = std::string(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  auto whole = [](const std::string& s, long long& out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
  };
  StarTest test;
  long long seed = 0, steps = 0, stop = 0, focus = 0;
  if (count < 2 || !whole(fields[0], seed) || seed < 0 || seed > 0xffffffffLL) return std::nullopt;
  if (!whole(fields[1], steps) || steps <= 0 || steps > 1000) return std::nullopt;
  test.seed = static_cast<uint32_t>(seed);
  test.steps = static_cast<double>(steps);
  if (count >= 3 && !fields[2].empty()) {
    if (!whole(fields[2], stop) || stop < 0 || stop > 1000000) return std::nullopt;
    test.stop = static_cast<int>(stop);
  }
  if (count == 4 && !fields[3].empty()) {
    if (!whole(fields[3], focus) || focus < -1 || focus > 4) return std::nullopt;
    test.focus = static_cast<int>(focus);
  }
  return test;
}

}  // namespace launcher
