// The window module: an undecorated GTK window filled by a WebKitGTK web
// view that shows the page. Built as a shared library of its own and loaded
// only when a window opens (shell/window_module.h); it links GTK and WebKit
// and nothing of the launcher's, which it reaches through WindowHost.
#include "shell/gtk_starfield.h"
#include "shell/page_files.h"
#include "shell/window_module.h"
#include "shell/window_placement.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif
#include <webkit2/webkit2.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>

namespace launcher {
namespace {

constexpr const char* windowTitle = "Astrane: Vantor";
// The isolated script world that alone may post to the native side: page
// script cannot run in it, and its script is injected into the top frame only.
constexpr const char* bridgeWorld = "vantor-bridge";
constexpr const char* messageHandlerName = "vantor";
// What moves the starfield the window draws behind the page.
constexpr const char* starsHandlerName = "vantorStars";

// The page's window.chrome.webview, in the page's own world. It hands outgoing
// text to the bridge world through a DOM event and turns incoming text into an
// already-parsed `message` event.
constexpr const char* pageShim = R"JS((() => {
  if (window.chrome && window.chrome.webview) return;
  const target = new EventTarget();
  document.addEventListener('vantor-bridge-receive', (event) => {
    if (typeof event.detail !== 'string') return;
    let data;
    try { data = JSON.parse(event.detail); } catch (e) { return; }
    target.dispatchEvent(new MessageEvent('message', { data }));
  });
  const webview = Object.freeze({
    postMessage(message) {
      document.dispatchEvent(new CustomEvent('vantor-bridge-send', { detail: message }));
    },
    // The window draws the starfield; the page says what moves it.
    starfield(text) {
      document.dispatchEvent(new CustomEvent('vantor-bridge-stars', { detail: String(text) }));
    },
    addEventListener: target.addEventListener.bind(target),
    removeEventListener: target.removeEventListener.bind(target),
  });
  window.chrome = window.chrome || {};
  Object.defineProperty(window.chrome, 'webview', { value: webview, enumerable: true });
})();)JS";

// The bridge world's half, top frame only: forwards the page's text to the
// native message handler.
constexpr const char* bridgeShim = R"JS(document.addEventListener('vantor-bridge-send', (event) => {
  window.webkit.messageHandlers.vantor.postMessage(event.detail);
});
document.addEventListener('vantor-bridge-stars', (event) => {
  let message;
  try { message = JSON.parse(event.detail); } catch (e) { return; }
  if (message && typeof message === 'object') window.webkit.messageHandlers.vantorStars.postMessage(message);
});)JS";

// Runs in the bridge world with the message as the argument `text`: the text is
// data, never part of the script.
constexpr const char* deliverBody =
    "document.dispatchEvent(new CustomEvent('vantor-bridge-receive', { detail: text }));";

// A web process that dies more often than this is not coming back.
constexpr int maxReloadsPerMinute = 3;

bool onOrigin(WebKitWebView* view, std::string_view origin) {
  const char* uri = view ? webkit_web_view_get_uri(view) : nullptr;
  return uri && std::string_view(uri).substr(0, origin.size()) == origin;
}

const char* terminationReason(WebKitWebProcessTerminationReason reason) {
  switch (reason) {
    case WEBKIT_WEB_PROCESS_CRASHED: return "crashed";
    case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT: return "exceeded its memory limit";
    case WEBKIT_WEB_PROCESS_TERMINATED_BY_API: return "was ended";
  }
  return "ended";
}

class GtkShell final : public NativeWindow {
 public:
  GtkShell(WindowHost& host, const WindowOptions& options)
      : host_(host), options_(options), devtools_(options.devtools) {}

  ~GtkShell() override {
    if (closeSource_ != 0) g_source_remove(closeSource_);
    stars_.reset();  // it follows the window's signals
    if (window_) {
      g_signal_handlers_disconnect_by_data(window_, this);
      if (view_) g_signal_handlers_disconnect_by_data(view_, this);
      gtk_widget_destroy(window_);
    }
    if (content_) {
      g_signal_handlers_disconnect_by_data(content_, this);
      g_object_unref(content_);
    }
    if (context_) g_object_unref(context_);
  }

  bool create(std::string& error) override {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    if (!window_) {
      error = "Couldn't create the window.";
      return false;
    }
    GtkWindow* window = GTK_WINDOW(window_);
    gtk_window_set_title(window, windowTitle);
    gtk_window_set_decorated(window, FALSE);
    gtk_window_set_resizable(window, FALSE);
    setIcon(window);
    setBlackBackground();

    ScreenRect placed = placeWindow(pointerWorkArea());
    gtk_widget_set_size_request(window_, placed.width, placed.height);
    gtk_window_set_default_size(window, placed.width, placed.height);
    gtk_window_move(window, placed.x, placed.y);

    g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                       static_cast<GtkShell*>(self)->windowDestroyed();
                     }), this);
    g_signal_connect(window_, "focus-in-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                       static_cast<GtkShell*>(self)->focusView();
                       return FALSE;
                     }), this);
    g_signal_connect(window_, "map-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                       static_cast<GtkShell*>(self)->focusView();
                       return FALSE;
                     }), this);
    gtk_widget_show(window_);
    return true;
  }

  void loadPage() override {
    if (!window_) return;

    const std::string& dataDir = options_.dataFolder;
    const std::string cacheDir = dataDir + "/cache";
    WebKitWebsiteDataManager* data = webkit_website_data_manager_new(
        "base-data-directory", dataDir.c_str(), "base-cache-directory", cacheDir.c_str(), nullptr);
    context_ = webkit_web_context_new_with_website_data_manager(data);
    g_object_unref(data);
    // The page is one small local document: WebKit's larger caches only cost memory.
    webkit_web_context_set_cache_model(context_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    webkit_web_context_register_uri_scheme(
        context_, "vantor",
        +[](WebKitURISchemeRequest* request, gpointer self) { static_cast<GtkShell*>(self)->serve(request); },
        this, nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context_);
    webkit_security_manager_register_uri_scheme_as_secure(security, "vantor");
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "vantor");

    content_ = webkit_user_content_manager_new();
    addScript(pageShim, nullptr);
    addScript(bridgeShim, bridgeWorld);
    g_signal_connect(content_, "script-message-received::vantor",
                     G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self) {
                       static_cast<GtkShell*>(self)->received(result);
                     }), this);
    webkit_user_content_manager_register_script_message_handler_in_world(content_, messageHandlerName,
                                                                         bridgeWorld);
    g_signal_connect(content_, "script-message-received::vantorStars",
                     G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self) {
                       static_cast<GtkShell*>(self)->starsReceived(result);
                     }), this);
    webkit_user_content_manager_register_script_message_handler_in_world(content_, starsHandlerName, bridgeWorld);

    WebKitSettings* settings = webkit_settings_new_with_settings(
        "enable-developer-extras", devtools_ ? TRUE : FALSE,
        "javascript-can-open-windows-automatically", FALSE,
        "enable-back-forward-navigation-gestures", FALSE,
        "enable-page-cache", FALSE,
        "enable-smooth-scrolling", TRUE,
        "hardware-acceleration-policy", WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER,
        nullptr);
    view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_, "user-content-manager",
                                         content_, "settings", settings, nullptr));
    g_object_unref(settings);
    GdkRGBA black = {0, 0, 0, 1};
    webkit_web_view_set_background_color(view_, &black);

    g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(view_, "create", G_CALLBACK(onCreate), this);
    g_signal_connect(view_, "context-menu", G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                                             WebKitHitTestResult*, gpointer self) -> gboolean {
                       return static_cast<GtkShell*>(self)->devtools_ ? FALSE : TRUE;
                     }), this);
    g_signal_connect(view_, "web-process-terminated",
                     G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer self) {
                       static_cast<GtkShell*>(self)->webProcessEnded(reason);
                     }), this);
    // No built-in error page: the page's own files cannot fail to load short
    // of a broken installation, and WebKit's page would only confuse.
    g_signal_connect(view_, "load-failed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, char* uri, GError* error,
                                                           gpointer self) -> gboolean {
                       bool quiet = g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
                                    error->domain == WEBKIT_POLICY_ERROR;
                       if (!quiet) {
                         static_cast<GtkShell*>(self)->host_.log(
                             "warn", std::string("Couldn't load ") + (uri ? uri : "") + ": " + error->message);
                       }
                       return TRUE;
                     }), this);
    g_signal_connect(view_, "button-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventButton* event, gpointer self) {
                       static_cast<GtkShell*>(self)->rememberPress(event);
                       return FALSE;
                     }), this);

    connectInput();
    connectLayeredDraw();
    stars_ = std::make_unique<GtkStarfield>(window_, GTK_WIDGET(view_), parseStarTest(options_.starTest));
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
    gtk_widget_show(GTK_WIDGET(view_));
    focusView();
    webkit_web_view_load_uri(view_, options_.startUrl.c_str());
  }

  void deliver(const std::string& json) override {
    if (!view_ || !onOrigin(view_, options_.origin)) return;  // no page yet, or not ours: dropped
    GVariantDict arguments;
    g_variant_dict_init(&arguments, nullptr);
    g_variant_dict_insert_value(&arguments, "text", g_variant_new_string(json.c_str()));
    webkit_web_view_call_async_javascript_function(view_, deliverBody, -1, g_variant_dict_end(&arguments),
                                                   bridgeWorld, nullptr, nullptr, nullptr, nullptr);
  }

  void minimize() override {
    if (window_) gtk_window_iconify(GTK_WINDOW(window_));
  }

  void close() override {
    // Destroyed from the main loop, not inside a web view signal that may be
    // the one asking.
    if (!window_ || closeSource_ != 0) return;
    closeSource_ = g_idle_add(
        +[](gpointer self) -> gboolean {
          auto* shell = static_cast<GtkShell*>(self);
          shell->closeSource_ = 0;
          if (shell->window_) gtk_widget_destroy(shell->window_);
          return G_SOURCE_REMOVE;
        },
        this);
  }

  void beginDrag() override {
    if (!window_ || !press_.valid) return;
    gtk_window_begin_move_drag(GTK_WINDOW(window_), static_cast<gint>(press_.button),
                               static_cast<gint>(press_.xRoot), static_cast<gint>(press_.yRoot), press_.time);
    press_.valid = false;
  }

  void activate() override {
    if (!window_) return;
    gtk_window_deiconify(GTK_WINDOW(window_));
    // No input event asked for this (a second start did), so there is no event
    // time to pass; window managers that prevent focus stealing refuse a zero
    // time, so ask the X server for its current one.
    guint32 time = GDK_CURRENT_TIME;
#ifdef GDK_WINDOWING_X11
    GdkWindow* surface = gtk_widget_get_window(window_);
    if (surface && GDK_IS_X11_WINDOW(surface)) time = gdk_x11_get_server_time(surface);
#endif
    gtk_window_present_with_time(GTK_WINDOW(window_), time);
    focusView();
  }

  void restore() override {
    if (!window_) return;
    // Only a minimised window comes back; one the player left open stays put.
    GdkWindow* surface = gtk_widget_get_window(window_);
    if (surface && (gdk_window_get_state(surface) & GDK_WINDOW_STATE_ICONIFIED)) {
      gtk_window_deiconify(GTK_WINDOW(window_));
    }
  }

  bool failed() const override { return failed_; }

 private:
  struct Press {
    bool valid = false;
    guint button = 0;
    double xRoot = 0;
    double yRoot = 0;
    guint32 time = 0;
  };

  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                 gpointer data) {
    auto* self = static_cast<GtkShell*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
      return FALSE;  // responses keep WebKit's handling
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    std::string_view target = uri ? uri : "";
    NavigationDecision verdict = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION
                                     ? self->host_.newWindow(target)
                                     : self->host_.navigation(target);
    if (verdict == NavigationDecision::Allow) {
      webkit_policy_decision_use(decision);
      return TRUE;
    }
    webkit_policy_decision_ignore(decision);
    if (verdict == NavigationDecision::OpenInBrowser && uri) self->host_.openExternal(uri);
    return TRUE;
  }

  // Windows the page opens by script. Links with a target were already turned
  // away by the new-window policy, so each address opens once.
  static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
    auto* self = static_cast<GtkShell*>(data);
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (uri && self->host_.newWindow(uri) == NavigationDecision::OpenInBrowser) self->host_.openExternal(uri);
    return nullptr;
  }

  void addScript(const char* source, const char* world) {
    WebKitUserScript* script =
        world ? webkit_user_script_new_for_world(source, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                 WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, world, nullptr, nullptr)
              : webkit_user_script_new(source, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                       WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content_, script);
    webkit_user_script_unref(script);
  }

  void serve(WebKitURISchemeRequest* request) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    PageResponse page;
    host_.servePage(uri ? uri : "", page);
    auto* body = new std::string(std::move(page.body));
    GBytes* bytes = g_bytes_new_with_free_func(body->data(), body->size(),
                                               +[](gpointer data) { delete static_cast<std::string*>(data); }, body);
    gsize size = g_bytes_get_size(bytes);
    GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
    g_bytes_unref(bytes);
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, static_cast<gint64>(size));
    g_object_unref(stream);
    webkit_uri_scheme_response_set_status(response, static_cast<guint>(page.status), page.reason.c_str());
    webkit_uri_scheme_response_set_content_type(response, page.contentType.c_str());
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Content-Type", page.contentType.c_str());
    // A reload always asks again, which is what shows edits in an override folder.
    soup_message_headers_append(headers, "Cache-Control", "no-store");
    webkit_uri_scheme_response_set_http_headers(response, headers);  // takes the headers
    webkit_uri_scheme_request_finish_with_response(request, response);
    g_object_unref(response);
  }

  void received(WebKitJavascriptResult* result) {
    if (!onOrigin(view_, options_.origin)) return;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (!value || !jsc_value_is_string(value)) return;  // the page sends text only
    char* text = jsc_value_to_string(value);
    const std::string message = text ? text : "";
    g_free(text);
    host_.pageMessage(message);
  }

  void webProcessEnded(WebKitWebProcessTerminationReason reason) {
    auto now = std::chrono::steady_clock::now();
    while (!reloads_.empty() && now - reloads_.front() >= std::chrono::minutes(1)) reloads_.pop_front();
    if (static_cast<int>(reloads_.size()) >= maxReloadsPerMinute) {
      host_.log("error", std::string("The page's web process ") + terminationReason(reason) + " again; it ended " +
                             std::to_string(maxReloadsPerMinute + 1) + " times within a minute, so the launcher stops");
      failed_ = true;
      close();
      return;
    }
    reloads_.push_back(now);
    host_.log("error", std::string("The page's web process ") + terminationReason(reason) + "; reloading the page");
    webkit_web_view_load_uri(view_, options_.startUrl.c_str());
  }

  void rememberPress(const GdkEventButton* event) {
    if (stars_) stars_->input();
    if (event->type != GDK_BUTTON_PRESS) return;
    press_ = {true, event->button, event->x_root, event->y_root, event->time};
  }

  void focusView() {
    if (view_) gtk_widget_grab_focus(GTK_WIDGET(view_));
  }

  void starsReceived(WebKitJavascriptResult* result) {
    if (!stars_ || !onOrigin(view_, options_.origin)) return;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    G_GNUC_END_IGNORE_DEPRECATIONS
    stars_->pageMessage(value);
  }

  // Input on the page wakes a resting starfield; the pointer moves its
  // vanishing point. The page still gets every event.
  // The starfield lies under the page: it paints the view once the page has
  // started it (gtk_starfield.h).
  void connectLayeredDraw() {
    g_signal_connect(view_, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer self) -> gboolean {
                       auto* shell = static_cast<GtkShell*>(self);
                       return shell->stars_ && shell->stars_->draw(cr) ? TRUE : FALSE;
                     }), this);
  }

  void connectInput() {
    g_signal_connect(view_, "motion-notify-event", G_CALLBACK(+[](GtkWidget*, GdkEventMotion* event, gpointer self) {
                       auto* shell = static_cast<GtkShell*>(self);
                       if (shell->stars_) shell->stars_->pointerMoved(event->x, event->y);
                       return FALSE;
                     }), this);
    g_signal_connect(view_, "leave-notify-event", G_CALLBACK(+[](GtkWidget*, GdkEventCrossing*, gpointer self) {
                       auto* shell = static_cast<GtkShell*>(self);
                       if (shell->stars_) shell->stars_->pointerLeft();
                       return FALSE;
                     }), this);
    for (const char* signal : {"key-press-event", "scroll-event"}) {
      g_signal_connect(view_, signal, G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) {
                         auto* shell = static_cast<GtkShell*>(self);
                         if (shell->stars_) shell->stars_->input();
                         return FALSE;
                       }), this);
    }
  }

  void windowDestroyed() {
    if (stars_) host_.log("info", "The starfield drew " + std::to_string(stars_->frames()) + " frames");
    stars_.reset();
    window_ = nullptr;
    view_ = nullptr;
    host_.windowGone();
  }

  void setIcon(GtkWindow* window) {
    std::string_view png = options_.iconPng;
    GInputStream* stream = g_memory_input_stream_new_from_data(png.data(), static_cast<gssize>(png.size()), nullptr);
    GdkPixbuf* icon = gdk_pixbuf_new_from_stream(stream, nullptr, nullptr);
    g_object_unref(stream);
    if (icon) {
      gtk_window_set_icon(window, icon);
      g_object_unref(icon);
    }
  }

  void setBlackBackground() {
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, "window { background-color: #000000; }", -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(window_), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
  }

  static ScreenRect pointerWorkArea() {
    GdkDisplay* display = gdk_display_get_default();
    gint x = 0, y = 0;
    if (GdkSeat* seat = gdk_display_get_default_seat(display))
      if (GdkDevice* pointer = gdk_seat_get_pointer(seat)) gdk_device_get_position(pointer, nullptr, &x, &y);
    GdkMonitor* monitor = gdk_display_get_monitor_at_point(display, x, y);
    GdkRectangle area = {0, 0, windowDesignWidth, windowDesignHeight};
    if (monitor) gdk_monitor_get_workarea(monitor, &area);
    return {area.x, area.y, area.width, area.height};
  }

  WindowHost& host_;
  const WindowOptions options_;
  bool devtools_ = false;
  GtkWidget* window_ = nullptr;
  WebKitWebView* view_ = nullptr;  // owned by window_
  WebKitWebContext* context_ = nullptr;
  WebKitUserContentManager* content_ = nullptr;
  Press press_;
  std::unique_ptr<GtkStarfield> stars_;
  std::deque<std::chrono::steady_clock::time_point> reloads_;
  guint closeSource_ = 0;
  bool failed_ = false;
};

}  // namespace

}  // namespace launcher

// The module's one export (see shell/window_module.h).
extern "C" __attribute__((visibility("default"))) launcher::NativeWindow* vantor_open_window(
    launcher::WindowHost& host, const launcher::WindowOptions& options, std::string& error) {
  if (!gtk_init_check(nullptr, nullptr)) {
    const char* x11 = g_getenv("DISPLAY");
    const char* wayland = g_getenv("WAYLAND_DISPLAY");
    error = std::string("Couldn't open the display ") + (x11 && *x11 ? x11 : wayland && *wayland ? wayland : "") + ".";
    return nullptr;
  }
  // The window's class names the launcher, whatever the executable is called.
  gdk_set_program_class("VantorLauncher");
  return new launcher::GtkShell(host, options);
}
