#include "shell/star_raster.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace launcher {

void StarLayer::resize(int width, int height) {
  width_ = std::max(0, width);
  height_ = std::max(0, height);
  pixels_.assign(static_cast<size_t>(width_) * height_, 0);
  spans_.clear();
}

void StarLayer::draw(const std::vector<StarStreak>& streaks, double scale) {
  for (const Span& s : spans_)
    std::memset(&pixels_[static_cast<size_t>(s.row) * width_ + s.first], 0, sizeof(uint32_t) * (s.last - s.first + 1));
  spans_.clear();
  for (const StarStreak& s : streaks) {
    const double ex = s.tailX * scale, ey = s.tailY * scale, hx = s.headX * scale, hy = s.headY * scale;
    const double width = s.width * scale;
    line(ex, ey, hx, hy, width, 0.32 * s.brightness, starTints[s.tint]);
    line(ex + (hx - ex) * 0.7, ey + (hy - ey) * 0.7, hx, hy, width * 0.9, s.brightness, starTints[s.tint]);
  }
  // Overlapping spans become one, so that each pixel is laid under the page
  // once (layBehind adds to the page's pixels in place).
  std::sort(spans_.begin(), spans_.end(),
            [](const Span& a, const Span& b) { return a.row != b.row ? a.row < b.row : a.first < b.first; });
  size_t kept = 0;
  for (const Span& s : spans_) {
    if (kept > 0 && spans_[kept - 1].row == s.row && s.first <= spans_[kept - 1].last + 1) {
      spans_[kept - 1].last = std::max(spans_[kept - 1].last, s.last);
    } else {
      spans_[kept++] = s;
    }
  }
  spans_.resize(kept);
}

// One anti-aliased line from (x0, y0) to (x1, y1) with round caps, blended
// over the pixels with `alpha` (source-over, as the canvas does). A pixel's
// coverage is the overlap of its width with the line's width across the
// line, at its centre's distance from the segment: a line wider than a pixel
// fills the pixels it covers and fades over one pixel at its edges; a thinner
// one covers each pixel in proportion to its width.
void StarLayer::line(double x0, double y0, double x1, double y1, double width, double alpha,
                     const uint8_t tint[3]) {
  if (alpha <= 0 || width <= 0) return;
  const double half = width / 2;
  const double reach = half + 0.5;  // beyond it a pixel centre gets nothing
  const double dx = x1 - x0, dy = y1 - y0;
  const double length2 = dx * dx + dy * dy;
  const int rowFirst = std::max(0, static_cast<int>(std::floor(std::min(y0, y1) - reach)));
  const int rowLast = std::min(height_ - 1, static_cast<int>(std::ceil(std::max(y0, y1) + reach)));
  for (int row = rowFirst; row <= rowLast; ++row) {
    const double yc = row + 0.5;
    // The part of the segment within `reach` of this row, in x.
    double xa, xb;
    if (std::abs(dy) < 1e-9) {
      if (std::abs(yc - y0) > reach) continue;
      xa = std::min(x0, x1);
      xb = std::max(x0, x1);
    } else {
      double t0 = (yc - reach - y0) / dy, t1 = (yc + reach - y0) / dy;
      if (t0 > t1) std::swap(t0, t1);
      t0 = std::max(0.0, t0);
      t1 = std::min(1.0, t1);
      if (t0 > t1) continue;
      xa = std::min(x0 + t0 * dx, x0 + t1 * dx);
      xb = std::max(x0 + t0 * dx, x0 + t1 * dx);
    }
    const int colFirst = std::max(0, static_cast<int>(std::floor(xa - reach)));
    const int colLast = std::min(width_ - 1, static_cast<int>(std::ceil(xb + reach)));
    if (colFirst > colLast) continue;
    spans_.push_back({row, colFirst, colLast});
    uint32_t* pixels = &pixels_[static_cast<size_t>(row) * width_];
    for (int col = colFirst; col <= colLast; ++col) {
      const double xc = col + 0.5;
      double t = length2 > 0 ? ((xc - x0) * dx + (yc - y0) * dy) / length2 : 0;
      t = std::clamp(t, 0.0, 1.0);
      const double ex = xc - (x0 + t * dx), ey = yc - (y0 + t * dy);
      const double d = std::sqrt(ex * ex + ey * ey);
      const double cover = std::min(0.5, d + half) - std::max(-0.5, d - half);
      if (cover <= 0) continue;
      const double a = alpha * std::min(1.0, cover);
      const uint32_t old = pixels[col];
      const double r = ((old >> 16) & 0xff) * (1 - a) + tint[0] * a;
      const double g = ((old >> 8) & 0xff) * (1 - a) + tint[1] * a;
      const double b = (old & 0xff) * (1 - a) + tint[2] * a;
      pixels[col] = (static_cast<uint32_t>(r + 0.5) << 16) | (static_cast<uint32_t>(g + 0.5) << 8) |
                    static_cast<uint32_t>(b + 0.5);
    }
  }
}

uint32_t starBehind(uint32_t page, uint32_t star, uint8_t shade) {
  page &= 0xffffff;
  star &= 0xffffff;
  if (star == 0) return page;
  const uint32_t pr = page >> 16, pg = (page >> 8) & 0xff, pb = page & 0xff;
  // What of the black behind the page still shows, 0..255, times the shade.
  const uint32_t open = (255 - std::max({pr, pg, pb})) * shade / 255;
  if (open == 0) return page;
  const uint32_t r = std::min<uint32_t>(255, pr + ((star >> 16) * open + 127) / 255);
  const uint32_t g = std::min<uint32_t>(255, pg + (((star >> 8) & 0xff) * open + 127) / 255);
  const uint32_t b = std::min<uint32_t>(255, pb + ((star & 0xff) * open + 127) / 255);
  return (r << 16) | (g << 8) | b;
}

void StarLayer::layBehind(StarPixels& page, const uint8_t* shade, int x0, int y0, int x1, int y1) const {
  x0 = std::max(0, x0);
  y0 = std::max(0, y0);
  x1 = std::min({x1, width_, page.width});
  y1 = std::min({y1, height_, page.height});
  for (const Span& s : spans_) {
    if (s.row < y0 || s.row >= y1) continue;
    const int first = std::max(s.first, x0), last = std::min(s.last, x1 - 1);
    if (first > last) continue;
    uint32_t* out = page.pixels + static_cast<ptrdiff_t>(s.row) * page.stride;
    const uint32_t* stars = &pixels_[static_cast<size_t>(s.row) * width_];
    const uint8_t* dim = shade ? shade + static_cast<size_t>(s.row) * width_ : nullptr;
    for (int x = first; x <= last; ++x) out[x] = starBehind(out[x], stars[x], dim ? dim[x] : 255);
  }
}

void drawShadeMask(const std::vector<StarShade>& shades, double scale, int width, int height,
                   std::vector<uint8_t>& mask) {
  mask.assign(static_cast<size_t>(width) * height, 255);
  for (const StarShade& s : shades) {
    const double through = 1 - std::clamp(s.alpha, 0.0, 1.0);
    const int x0 = std::max(0, static_cast<int>(std::lround(s.x * scale)));
    const int y0 = std::max(0, static_cast<int>(std::lround(s.y * scale)));
    const int x1 = std::min(width, static_cast<int>(std::lround((s.x + s.width) * scale)));
    const int y1 = std::min(height, static_cast<int>(std::lround((s.y + s.height) * scale)));
    for (int y = y0; y < y1; ++y) {
      uint8_t* row = mask.data() + static_cast<size_t>(y) * width;
      for (int x = x0; x < x1; ++x) row[x] = static_cast<uint8_t>(row[x] * through + 0.5);
    }
  }
}

}  // namespace launcher
