// Draws a starfield frame the way the page's canvas draws it (each streak a
// faint line and a bright head, anti-aliased, with round caps, over black)
// and lays it under the page's own pixels. A frame visits only the pixels
// near its streaks: clearing the last one, drawing, and laying it under the
// page all cost in proportion to the stars, not to the window. Pure; one
// thread at a time.
#pragma once

#include "shell/starfield.h"

#include <cstdint>
#include <vector>

namespace launcher {

// 32-bit pixels 0x00RRGGBB (cairo's RGB24), `stride` pixels per row.
struct StarPixels {
  uint32_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

// A part of the page that darkens what lies behind it (a translucent dark
// panel, a dialog's backdrop): CSS pixels and the panel's opacity.
struct StarShade {
  double x = 0, y = 0, width = 0, height = 0;
  double alpha = 0;
};

// How much of the field shows through at each device pixel (255: all of
// it), from the page's shades. `mask` gets width * height values.
void drawShadeMask(const std::vector<StarShade>& shades, double scale, int width, int height,
                   std::vector<uint8_t>& mask);

// One pixel of the page (opaque, as painted over black) with the star pixel
// behind it. Where the page shows black the star shows whole; where it paints
// something, the brightest of its three channels tells how much of the black
// it covers (exact for content with a full channel: white, yellow, orange;
// close for greys), and the star shows through the rest; dark panels, which
// look black, say what they cover through `shade` (255: nothing).
[[nodiscard]] uint32_t starBehind(uint32_t page, uint32_t star, uint8_t shade);

// The stars of the latest frame, in device pixels.
class StarLayer {
 public:
  // Black, `width` x `height` device pixels.
  void resize(int width, int height);
  // Clears the last frame and draws `streaks` (CSS pixels) at `scale` device
  // pixels per CSS pixel.
  void draw(const std::vector<StarStreak>& streaks, double scale);
  // Puts the stars behind the page's pixels (`page`, the layer's size) within
  // device pixels [x0, x1) x [y0, y1), with `shade` (null: none; else one
  // value per pixel) dimming them. The page's pixels there must be the page
  // alone: laying the stars twice adds them twice.
  void layBehind(StarPixels& page, const uint8_t* shade, int x0, int y0, int x1, int y1) const;

  [[nodiscard]] int width() const { return width_; }
  [[nodiscard]] int height() const { return height_; }
  [[nodiscard]] uint32_t at(int x, int y) const { return pixels_[static_cast<size_t>(y) * width_ + x]; }

 private:
  struct Span {
    int row, first, last;  // pixels first..last of the row may hold light
  };
  void line(double x0, double y0, double x1, double y1, double width, double alpha, const uint8_t tint[3]);

  int width_ = 0, height_ = 0;
  std::vector<uint32_t> pixels_;
  std::vector<Span> spans_;
};

}  // namespace launcher
