#include "shell/gtk_starfield.h"

#include <algorithm>
#include <random>

namespace launcher {
namespace {

constexpr int focusedIntervalMs = 1000 / 30;
constexpr int unfocusedIntervalMs = 100;
// More than any page shows; a longer list is cut.
constexpr guint maxShades = 64;

uint32_t randomSeed() {
  std::random_device device;
  return device();
}

// A number member of a message, if it has one.
std::optional<double> number(JSCValue* object, const char* name) {
  JSCValue* value = jsc_value_object_get_property(object, name);
  std::optional<double> out;
  if (value && jsc_value_is_number(value)) out = jsc_value_to_double(value);
  if (value) g_object_unref(value);
  return out;
}

std::optional<bool> boolean(JSCValue* object, const char* name) {
  JSCValue* value = jsc_value_object_get_property(object, name);
  std::optional<bool> out;
  if (value && jsc_value_is_boolean(value)) out = jsc_value_to_boolean(value);
  if (value) g_object_unref(value);
  return out;
}

std::optional<double> element(JSCValue* array, guint index) {
  JSCValue* value = jsc_value_object_get_property_at_index(array, index);
  std::optional<double> out;
  if (value && jsc_value_is_number(value)) out = jsc_value_to_double(value);
  if (value) g_object_unref(value);
  return out;
}

StarPixels pixelsOf(cairo_surface_t* surface) {
  StarPixels p;
  p.pixels = reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(surface));
  p.width = cairo_image_surface_get_width(surface);
  p.height = cairo_image_surface_get_height(surface);
  p.stride = cairo_image_surface_get_stride(surface) / 4;
  return p;
}

cairo_surface_t* newSurface(int width, int height, int scale) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width * scale, height * scale);
  cairo_surface_set_device_scale(surface, scale, scale);
  return surface;
}

}  // namespace

GtkStarfield::GtkStarfield(GtkWidget* window, GtkWidget* view, std::optional<StarTest> test)
    : window_(window), view_(view), test_(test), field_(test ? test->seed : randomSeed()) {
  g_signal_connect(view_, "size-allocate", G_CALLBACK(+[](GtkWidget* widget, GdkRectangle* box, gpointer self) {
                     static_cast<GtkStarfield*>(self)->resized(box->width, box->height,
                                                               gtk_widget_get_scale_factor(widget));
                   }), this);
  g_signal_connect(window_, "notify::is-active", G_CALLBACK(+[](GObject* window, GParamSpec*, gpointer data) {
                     auto* self = static_cast<GtkStarfield*>(data);
                     self->active_ = gtk_window_is_active(GTK_WINDOW(window));
                     if (self->active_) self->input();
                     // The interval changed: a long unfocused wait ends now.
                     self->stopTimer();
                     self->schedule();
                   }), this);
  g_signal_connect(window_, "window-state-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEventWindowState* event, gpointer data) -> gboolean {
                     auto* self = static_cast<GtkStarfield*>(data);
                     self->iconified_ = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
                     self->schedule();
                     return FALSE;
                   }), this);
  active_ = gtk_window_is_active(GTK_WINDOW(window_));
  if (test_ && test_->focus) inputs_.menuFocus = *test_->focus;
}

GtkStarfield::~GtkStarfield() {
  stopTimer();
  g_signal_handlers_disconnect_by_data(window_, this);
  g_signal_handlers_disconnect_by_data(view_, this);
  if (composite_) cairo_surface_destroy(composite_);
}

void GtkStarfield::pageMessage(JSCValue* message) {
  if (!message || !jsc_value_is_object(message)) return;
  if (boolean(message, "jump").value_or(false)) {
    if (!inputs_.calm) field_.jump();
    input();
    return;
  }
  JSCValue* shades = jsc_value_object_get_property(message, "shades");
  if (shades && jsc_value_is_array(shades)) {
    readShades(shades);
    g_object_unref(shades);
    gtk_widget_queue_draw(view_);
    return;
  }
  if (shades) g_object_unref(shades);
  if (!test_ || !test_->focus) {
    const double focus = number(message, "menuFocus").value_or(-1);
    inputs_.menuFocus = focus >= 0 && focus < 5 ? static_cast<int>(focus) : -1;
  }
  inputs_.home = boolean(message, "home").value_or(true);
  inputs_.calm = boolean(message, "calm").value_or(false);
  const std::optional<double> progress = number(message, "progress");
  inputs_.progress = progress ? std::optional<double>(std::clamp(*progress, 0.0, 1.0)) : std::nullopt;
  running_ = boolean(message, "running").value_or(true);
  if (!started_) {
    started_ = true;
    start_ = last_ = g_get_monotonic_time();
    gtk_widget_queue_draw(view_);
  }
  schedule();
}

void GtkStarfield::readShades(JSCValue* list) {
  shades_.clear();
  JSCValue* length = jsc_value_object_get_property(list, "length");
  const guint count = length && jsc_value_is_number(length) ? std::min(maxShades, guint(jsc_value_to_int32(length))) : 0;
  if (length) g_object_unref(length);
  for (guint i = 0; i < count; ++i) {
    JSCValue* item = jsc_value_object_get_property_at_index(list, i);
    if (item && jsc_value_is_array(item)) {
      StarShade s;
      std::optional<double> v[5];
      for (guint k = 0; k < 5; ++k) v[k] = element(item, k);
      if (v[0] && v[1] && v[2] && v[3] && v[4] && *v[2] > 0 && *v[3] > 0) {
        s.x = *v[0];
        s.y = *v[1];
        s.width = *v[2];
        s.height = *v[3];
        s.alpha = std::clamp(*v[4], 0.0, 1.0);
        shades_.push_back(s);
      }
    }
    if (item) g_object_unref(item);
  }
  if (width_ > 0) drawShadeMask(shades_, scale_, width_ * scale_, height_ * scale_, shadeMask_);
}

void GtkStarfield::pointerMoved(double x, double y) {
  if (!test_) field_.pointer(x, y);
  input();
}

void GtkStarfield::pointerLeft() { field_.pointer(std::nullopt, std::nullopt); }

void GtkStarfield::input() {
  if (!started_) return;
  field_.input(clock());
  if (idle_) {
    idle_ = false;
    last_ = g_get_monotonic_time();
    schedule();
  }
}

bool GtkStarfield::shouldRun() const {
  return started_ && running_ && !iconified_ && !idle_ && width_ > 0 &&
         !(test_ && test_->stop && frames_ >= test_->stop);
}

double GtkStarfield::clock() const {
  if (test_) return frames_ / test_->steps;
  return static_cast<double>(g_get_monotonic_time() - start_) / 1e6;
}

void GtkStarfield::stopTimer() {
  if (timer_ != 0) g_source_remove(timer_);
  timer_ = 0;
}

// Waits out the rest of the frame interval, or stops when nothing should move.
void GtkStarfield::schedule() {
  if (!shouldRun()) {
    stopTimer();
    return;
  }
  if (timer_ != 0) return;
  const int interval = active_ ? focusedIntervalMs : unfocusedIntervalMs;
  const int64_t due = last_ + int64_t(interval) * 1000;
  const int64_t wait = std::max<int64_t>(0, due - g_get_monotonic_time());
  // Below the toolkit's own work: input, the page's messages and its
  // painting always come first.
  timer_ = g_timeout_add_full(G_PRIORITY_DEFAULT_IDLE, static_cast<guint>(wait / 1000),
                              +[](gpointer self) -> gboolean {
                                auto* field = static_cast<GtkStarfield*>(self);
                                field->timer_ = 0;
                                field->frame();
                                return G_SOURCE_REMOVE;
                              },
                              this, nullptr);
}

void GtkStarfield::frame() {
  if (!shouldRun()) return;
  const int64_t now = g_get_monotonic_time();
  const double dt = test_ ? 1 / test_->steps : std::min(0.05, std::max(0.0, (now - last_) / 1e6));
  last_ = now;
  field_.step(dt, clock(), inputs_);
  stars_.draw(field_.streaks(), scale_);
  gtk_widget_queue_draw(view_);
  ++frames_;
  // At rest the last frame stays until an input wakes the field.
  if (field_.still(clock())) idle_ = true;
  schedule();
}

void GtkStarfield::resized(int width, int height, int scale) {
  if (width <= 0 || height <= 0) return;
  scale = std::clamp(scale, 1, 2);
  if (width == width_ && height == height_ && scale == scale_) return;
  width_ = width;
  height_ = height;
  scale_ = scale;
  stars_.resize(width * scale, height * scale);  // black until the first frame
  if (composite_) cairo_surface_destroy(composite_);
  composite_ = newSurface(width, height, scale);
  drawShadeMask(shades_, scale_, width * scale, height * scale, shadeMask_);
  field_.resize(width, height);
  // As the page does on a resize while its field stands: a frame that moves
  // nothing (stars off the new window are sent far again).
  if (!timer_) {
    field_.step(0, started_ ? clock() : 0, inputs_);
    stars_.draw(field_.streaks(), scale_);
  }
  schedule();
}

// WebKit paints `area` of the page into composite_ (its own "draw", which
// this one's guard lets through). It paints all of its picture that the
// area shows, so the stars laid there before are gone.
void GtkStarfield::renderPage(const GdkRectangle& area) {
  cairo_t* cr = cairo_create(composite_);
  cairo_rectangle(cr, area.x, area.y, area.width, area.height);
  cairo_clip(cr);
  paintingPage_ = true;
  gtk_widget_draw(view_, cr);
  paintingPage_ = false;
  cairo_destroy(cr);
  cairo_surface_flush(composite_);
}

bool GtkStarfield::draw(cairo_t* cr) {
  if (paintingPage_ || !started_ || !composite_) return false;
  GdkRectangle area;
  if (!gdk_cairo_get_clip_rectangle(cr, &area)) return true;  // nothing to paint
  renderPage(area);
  StarPixels page = pixelsOf(composite_);
  stars_.layBehind(page, shades_.empty() ? nullptr : shadeMask_.data(), area.x * scale_, area.y * scale_,
                   (area.x + area.width) * scale_, (area.y + area.height) * scale_);
  cairo_surface_mark_dirty(composite_);
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, composite_, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
  return true;
}

}  // namespace launcher
