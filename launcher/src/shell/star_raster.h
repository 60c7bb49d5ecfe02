// Draws a starfield frame the way the page's canvas draws it (each streak a
// faint line and a bright head, anti-aliased, with round caps, over black)
// and lays it under the page's own pixels. Only the pixels near each streak
// are visited to draw it. Pure; any thread.
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

// Clears `target` to black and draws `streaks` (CSS pixels) at `scale`
// device pixels per CSS pixel.
void drawStarFrame(const std::vector<StarStreak>& streaks, double scale, StarPixels& target);

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

// `out` = the page (opaque, as painted over black) with the stars behind it.
// Where the page shows black the stars show whole; where it paints something,
// the brightest of its three channels tells how much of the black it covers
// (exact for content with a full channel, white, yellow or orange, and close
// for greys), and the stars show through the rest; dark panels, which look
// black, say what they cover through `shade` (null: none). All four buffers
// have the same size.
void composeBehind(const StarPixels& page, const StarPixels& stars, const uint8_t* shade, StarPixels& out);

}  // namespace launcher
