// The smallest WebKitGTK program that shows a page: the yardstick for the
// launcher's start-up time and memory. It prints the page's title whenever it
// starts with "painted:" (the page puts its paint time there).
//
//   bench_minimal_webkit URL [default|never|always]   (hardware acceleration policy)
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstring>

static void onTitle(WebKitWebView* view, GParamSpec*, gpointer) {
  const char* title = webkit_web_view_get_title(view);
  if (title && std::strncmp(title, "painted:", 8) == 0) {
    std::printf("%s\n", title);
    std::fflush(stdout);
  }
}

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  if (argc < 2) return 2;
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1280, 760);
  WebKitWebView* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
  WebKitSettings* settings = webkit_web_view_get_settings(view);
  if (argc > 2 && std::strcmp(argv[2], "never") == 0)
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  if (argc > 2 && std::strcmp(argv[2], "always") == 0)
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS);
  g_signal_connect(view, "notify::title", G_CALLBACK(onTitle), nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  webkit_web_view_load_uri(view, argv[1]);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
