#include "shell/star_raster.h"

#include <gtest/gtest.h>

#include <vector>

namespace launcher {
namespace {

struct Image {
  Image(int w, int h, uint32_t fill = 0) : width(w), height(h), data(static_cast<size_t>(w) * h, fill) {}
  StarPixels pixels() { return {data.data(), width, height, width}; }
  uint32_t at(int x, int y) const { return data[static_cast<size_t>(y) * width + x]; }
  int width, height;
  std::vector<uint32_t> data;
};

int red(uint32_t p) { return (p >> 16) & 0xff; }
int green(uint32_t p) { return (p >> 8) & 0xff; }
int blue(uint32_t p) { return p & 0xff; }

// One white streak: a faint full line and a bright head over its last 30 %.
StarStreak streak(double x0, double y0, double x1, double y1, double width, double brightness) {
  return {x0, y0, x1, y1, width, brightness, 0};
}

TEST(StarRaster, AStreakIsAFaintLineWithABrightHeadAndRoundEnds) {
  Image img(100, 40, 0x123456);  // not black: the frame clears it
  StarPixels px = img.pixels();
  drawStarFrame({streak(10.5, 20.5, 90.5, 20.5, 3, 0.5)}, 1, px);
  // Faint part: alpha 0.32 * 0.5 of white over black.
  EXPECT_NEAR(red(img.at(30, 20)), 255 * 0.16, 1.5);
  // Head: the faint line, then alpha 0.5 of white over it.
  EXPECT_NEAR(red(img.at(85, 20)), 255 * (0.16 + 0.5 * (1 - 0.16)), 1.5);
  // Across the 3 px line: the pixels beside the centre are inside, two away outside.
  EXPECT_GT(red(img.at(30, 21)), 30);
  EXPECT_EQ(img.at(30, 23), 0u);
  // Round ends: just past the head there is light, further on none.
  EXPECT_GT(red(img.at(91, 20)), 0);
  EXPECT_EQ(img.at(93, 20), 0u);
  // Everything else is black, the old content gone.
  EXPECT_EQ(img.at(5, 5), 0u);
  EXPECT_EQ(img.at(50, 35), 0u);
}

TEST(StarRaster, AThinLineCoversInProportionToItsWidthAndTintsAreKept) {
  Image img(40, 40);
  StarPixels px = img.pixels();
  StarStreak s = streak(5.5, 20.5, 35.5, 20.5, 0.5, 0.38);
  s.tint = 2;  // 186, 208, 255
  drawStarFrame({s}, 1, px);
  const uint32_t p = img.at(15, 20);
  EXPECT_NEAR(blue(p), 255 * 0.5 * 0.32 * 0.38, 1.5);
  EXPECT_NEAR(red(p), 186 * 0.5 * 0.32 * 0.38, 1.5);
  EXPECT_LT(red(p), green(p));
}

TEST(StarRaster, ScaleDoublesTheDrawingAndStreaksOffTheEdgeAreClipped) {
  Image img(60, 60);
  StarPixels px = img.pixels();
  // At scale 2 a streak at CSS (10, 10) lands at device (20, 20); another runs
  // far outside the buffer on every side.
  drawStarFrame({streak(5, 10.25, 15, 10.25, 1, 0.38), streak(-100, -100, 200, 200, 4, 0.38)}, 2, px);
  EXPECT_GT(red(img.at(20, 20)), 0);
  EXPECT_EQ(img.at(20, 10), 0u);
  EXPECT_GT(red(img.at(30, 30)), 0);  // the long diagonal crosses the middle
}

TEST(StarRaster, StarsShowBehindThePageWhereItsBlackShows) {
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
  for (const Row& row : rows) {
    Image page(1, 1, row.page), stars(1, 1, row.star), out(1, 1);
    const uint8_t shade = row.shade;
    StarPixels o = out.pixels();
    composeBehind(page.pixels(), stars.pixels(), &shade, o);
    EXPECT_EQ(out.at(0, 0), row.expected) << row.what << std::hex << " got " << out.at(0, 0);
  }
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
