#include "shell/star_raster.h"

#include <gtest/gtest.h>

#include <vector>

namespace launcher {
namespace {

int red(uint32_t p) { return (p >> 16) & 0xff; }
int green(uint32_t p) { return (p >> 8) & 0xff; }
int blue(uint32_t p) { return p & 0xff; }

// One white streak: a faint full line and a bright head over its last 30 %.
StarStreak streak(double x0, double y0, double x1, double y1, double width, double brightness, int tint = 0) {
  return {x0, y0, x1, y1, width, brightness, tint};
}

TEST(StarRaster, AStreakIsAFaintLineWithABrightHeadAndRoundEnds) {
  StarLayer layer;
  layer.resize(100, 40);
  layer.draw({streak(10.5, 20.5, 90.5, 20.5, 3, 0.5)}, 1);
  // Faint part: alpha 0.32 * 0.5 of white over black.
  EXPECT_NEAR(red(layer.at(30, 20)), 255 * 0.16, 1.5);
  // Head: the faint line, then alpha 0.5 of white over it.
  EXPECT_NEAR(red(layer.at(85, 20)), 255 * (0.16 + 0.5 * (1 - 0.16)), 1.5);
  // Across the 3 px line: the pixels beside the centre are inside, two away outside.
  EXPECT_GT(red(layer.at(30, 21)), 30);
  EXPECT_EQ(layer.at(30, 23), 0u);
  // Round ends: just past the head there is light, further on none.
  EXPECT_GT(red(layer.at(91, 20)), 0);
  EXPECT_EQ(layer.at(93, 20), 0u);
  EXPECT_EQ(layer.at(5, 5), 0u);
}

TEST(StarRaster, ANewFrameClearsTheLastOne) {
  StarLayer layer;
  layer.resize(100, 40);
  layer.draw({streak(10, 10, 40, 30, 3, 0.38), streak(60, 5, 60, 35, 2, 0.38)}, 1);
  EXPECT_GT(red(layer.at(60, 20)), 0);
  layer.draw({streak(80, 20, 95, 20, 1, 0.38)}, 1);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 75; ++x) ASSERT_EQ(layer.at(x, y), 0u) << x << "," << y;
  EXPECT_GT(red(layer.at(90, 20)), 0);
}

TEST(StarRaster, AThinLineCoversInProportionToItsWidthAndTintsAreKept) {
  StarLayer layer;
  layer.resize(40, 40);
  layer.draw({streak(5.5, 20.5, 35.5, 20.5, 0.5, 0.38, 2)}, 1);  // tint 186, 208, 255
  const uint32_t p = layer.at(15, 20);
  EXPECT_NEAR(blue(p), 255 * 0.5 * 0.32 * 0.38, 1.5);
  EXPECT_NEAR(red(p), 186 * 0.5 * 0.32 * 0.38, 1.5);
  EXPECT_LT(red(p), green(p));
}

TEST(StarRaster, ScaleDoublesTheDrawingAndStreaksOffTheEdgeAreClipped) {
  StarLayer layer;
  layer.resize(60, 60);
  // At scale 2 a streak at CSS (10, 10) lands at device (20, 20); another runs
  // far outside the buffer at both ends.
  layer.draw({streak(5, 10.25, 15, 10.25, 1, 0.38), streak(-100, -100, 200, 200, 4, 0.38)}, 2);
  EXPECT_GT(red(layer.at(20, 20)), 0);
  EXPECT_EQ(layer.at(20, 10), 0u);
  EXPECT_GT(red(layer.at(30, 30)), 0);
}

TEST(StarRaster, AStarShowsBehindThePageWhereItsBlackShows) {
  struct Row {
    const char* what;
    uint32_t page;
    uint32_t star;
    uint8_t shade;
    uint32_t expected;
  };
  const Row rows[] = {
      {"black background: the star whole", 0x000000, 0x506070, 255, 0x506070},
      {"no star: the page", 0x336699, 0x000000, 255, 0x336699},
      {"white text: hidden", 0xffffff, 0x808080, 255, 0xffffff},
      {"yellow accent: hidden", 0xffe81f, 0x808080, 255, 0xffe81f},
      {"a glow at 40 %: the rest shows", 0x665d0c, 0x646464, 255, 0xa29948},
      {"a grey text edge", 0x404040, 0x808080, 255, 0xa0a0a0},
      {"under a half shade", 0x000000, 0x808080, 128, 0x404040},
      {"under an opaque panel", 0x0a0a0d, 0xffffff, 0, 0x0a0a0d},
      {"sums clip at white", 0x808080, 0xffffff, 255, 0xffffff},
  };
  for (const Row& row : rows)
    EXPECT_EQ(starBehind(row.page, row.star, row.shade), row.expected) << row.what;
}

TEST(StarRaster, StarsAreLaidUnderThePageOnceWithinTheAreaAsked) {
  StarLayer layer;
  layer.resize(40, 20);
  // Two crossing streaks: their spans overlap on the crossing row.
  layer.draw({streak(2, 10.5, 38, 10.5, 2, 0.38), streak(20.5, 1, 20.5, 19, 2, 0.38)}, 1);
  std::vector<uint32_t> page(40 * 20, 0x000000);
  page[10 * 40 + 5] = 0xffffff;  // a white pixel of the page on the first streak
  StarPixels out{page.data(), 40, 20, 40};
  layer.layBehind(out, nullptr, 0, 0, 30, 20);
  EXPECT_EQ(page[10 * 40 + 20], layer.at(20, 10)) << "the crossing, laid once";
  EXPECT_EQ(page[10 * 40 + 5], 0xffffffu);
  EXPECT_EQ(page[10 * 40 + 10], layer.at(10, 10));
  EXPECT_EQ(page[10 * 40 + 35], 0u) << "outside the area asked for";
  std::vector<uint8_t> shade(40 * 20, 0);
  std::vector<uint32_t> dark(40 * 20, 0);
  StarPixels shaded{dark.data(), 40, 20, 40};
  layer.layBehind(shaded, shade.data(), 0, 0, 40, 20);
  EXPECT_EQ(dark[10 * 40 + 10], 0u) << "an opaque dark panel hides the field";
}

TEST(StarRaster, ShadesDimWhatTheyCoverAndOverlapsCompound) {
  std::vector<uint8_t> mask;
  drawShadeMask({{2, 2, 4, 4, 0.5}, {4, 4, 4, 4, 0.5}, {-10, -10, 5, 5, 1}}, 2, 20, 20, mask);
  ASSERT_EQ(mask.size(), 400u);
  auto at = [&](int x, int y) { return int(mask[y * 20 + x]); };
  EXPECT_EQ(at(1, 10), 255);    // no shade
  EXPECT_EQ(at(5, 5), 128);     // one half shade (device 4..12)
  EXPECT_EQ(at(9, 9), 64);      // both
  EXPECT_EQ(at(15, 15), 128);   // the second alone (device 8..16)
  EXPECT_EQ(at(17, 17), 255);
  EXPECT_EQ(at(19, 0), 255);    // the off-window shade stays off the window
}

}  // namespace
}  // namespace launcher
