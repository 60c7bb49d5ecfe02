// Part of the window module: the starfield drawn natively under the page.
//
// WebKitGTK paints without the GPU, and the page's full-window canvas redrawn
// every frame cost it, per frame, a repaint of the whole page, a fresh
// shared-memory frame handed to the launcher and a blend there: most of a
// core at 30 frames a second. Here the page stays still (its canvas hidden,
// its background black) and a frame is the stars themselves, laid under the
// page's last picture, plus one copy to the window.
//
// WebKitGTK cannot show a transparent page over other drawing in this mode
// (its backing store is copied over what lies below, and translucent parts
// that repaint pile up), so the page is painted opaque into a layer of its
// own and the stars are put behind its pixels (star_raster.h says how); the
// page names its dark translucent panels, which look black. When only part of
// the page changes, only that part is painted again.
//
// It draws at most 30 frames a second while the window is active, 10 while it
// is not, and none while the window is minimised, while the game runs, before
// the page has said what moves the field, or while the field rests (no input
// for a few minutes). UI thread only.
#pragma once

#include "shell/star_raster.h"
#include "shell/starfield.h"

#include <gtk/gtk.h>
#include <jsc/jsc.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace launcher {

class GtkStarfield {
 public:
  // `window` is the toplevel whose focus and state it follows, `view` the web
  // view it draws under; `test` the test hook (seed, fixed clock, stop,
  // focus), if any.
  GtkStarfield(GtkWidget* window, GtkWidget* view, std::optional<StarTest> test);
  ~GtkStarfield();
  GtkStarfield(const GtkStarfield&) = delete;
  GtkStarfield& operator=(const GtkStarfield&) = delete;

  // The view's "draw", ahead of WebKit's own: once the page has started the
  // field, paints the page with the stars under it and returns true; until
  // then false, and WebKit paints as ever.
  [[nodiscard]] bool draw(cairo_t* cr);

  // What the page says through its `starfield` call: {menuFocus, home, calm,
  // progress, running}, {jump: true} or {shades: [[x, y, w, h, alpha], ...]}.
  // The first message starts the field and its clock.
  void pageMessage(JSCValue* message);

  // Frames drawn so far (the launcher logs it when the window closes).
  [[nodiscard]] int frames() const { return frames_; }

  // Input on the page (pointer, keys, buttons, wheel): a resting field wakes.
  void pointerMoved(double x, double y);
  void pointerLeft();
  void input();

 private:
  void schedule();
  void frame();
  void stopTimer();
  [[nodiscard]] bool shouldRun() const;
  [[nodiscard]] double clock() const;
  void resized(int width, int height, int scale);
  void renderPage(const GdkRectangle& area);
  void readShades(JSCValue* list);

  GtkWidget* window_;
  GtkWidget* view_;
  std::optional<StarTest> test_;
  Starfield field_;
  StarInputs inputs_;
  bool started_ = false;      // the page has spoken
  bool running_ = true;       // the page says the game does not run
  bool active_ = false;       // the window has the focus
  bool iconified_ = false;
  bool idle_ = false;         // resting and still: no frames until an input
  int64_t start_ = 0;         // the field's clock's zero, monotonic microseconds
  int64_t last_ = 0;          // the last frame
  int frames_ = 0;
  guint timer_ = 0;

  int width_ = 0, height_ = 0, scale_ = 1;  // the view, CSS pixels and scale
  StarLayer stars_;                         // the latest frame, device pixels
  std::vector<StarShade> shades_;
  std::vector<uint8_t> shadeMask_;
  cairo_surface_t* composite_ = nullptr;    // the page with the stars behind
  bool paintingPage_ = false;               // inside WebKit's paint into composite_
};

}  // namespace launcher
