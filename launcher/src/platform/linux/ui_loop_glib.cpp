#include "platform/ui_loop.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <memory>
#include <utility>

namespace launcher {

namespace {

constexpr size_t maxInputLine = 1024 * 1024;

}  // namespace

struct UiLoop::Impl {
  GMainLoop* loop = nullptr;
  // g_main_loop_run() marks the loop running when it starts, so a quit that
  // came before it would be forgotten; this flag remembers it.
  std::atomic<bool> quitRequested{false};
  std::function<void()> onSignal;
  guint signalSources[2] = {0, 0};

  // Gives SIGTERM and SIGINT back their default action, which ends the
  // process at once: GLib's handler only notes a signal for a loop that may
  // never iterate again, so a second signal during shutdown would be lost.
  void restoreDefaultSignals() {
    for (guint& id : signalSources) {
      if (id != 0) g_source_remove(id);
      id = 0;
    }
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
  }

  std::function<void(const std::string&)> onLine;
  std::function<void()> onEnd;
  guint inputSource = 0;
  std::string pending;    // a line not yet ended
  bool discarding = false;  // inside an over-long line
};

UiLoop::UiLoop() : impl_(new Impl) { impl_->loop = g_main_loop_new(nullptr, FALSE); }

UiLoop::~UiLoop() {
  for (guint id : impl_->signalSources)
    if (id != 0) g_source_remove(id);
  if (impl_->inputSource != 0) g_source_remove(impl_->inputSource);
  g_main_loop_unref(impl_->loop);
  delete impl_;
}

void UiLoop::run() {
  if (!impl_->quitRequested.load()) g_main_loop_run(impl_->loop);
  // Shutdown follows: from now on a signal ends the process.
  if (impl_->onSignal) impl_->restoreDefaultSignals();
}

void UiLoop::quit() {
  impl_->quitRequested.store(true);
  g_main_loop_quit(impl_->loop);
  // Should run() be just starting on another thread, this reaches it once it
  // iterates: the idle callback quits again.
  g_main_loop_ref(impl_->loop);
  g_idle_add_full(
      G_PRIORITY_HIGH,
      [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      impl_->loop, [](gpointer data) { g_main_loop_unref(static_cast<GMainLoop*>(data)); });
}

void UiLoop::invoke(std::function<void()> task) {
  auto* heap = new std::function<void()>(std::move(task));
  // g_idle_add is safe from any thread and wakes the default context.
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      heap, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void UiLoop::onTerminateSignal(std::function<void()> handler) {
  impl_->onSignal = std::move(handler);
  auto callback = [](gpointer data) -> gboolean {
    auto* impl = static_cast<Impl*>(data);
    // The first signal asks for an orderly stop; a second one, while that
    // stop waits for work to end, ends the process (nothing the launcher
    // writes is ever left half-done by that).
    impl->restoreDefaultSignals();
    if (impl->onSignal) impl->onSignal();
    return G_SOURCE_REMOVE;
  };
  impl_->signalSources[0] = g_unix_signal_add(SIGTERM, callback, impl_);
  impl_->signalSources[1] = g_unix_signal_add(SIGINT, callback, impl_);
}

void UiLoop::watchStandardInput(std::function<void(const std::string&)> onLine, std::function<void()> onEnd) {
  impl_->onLine = std::move(onLine);
  impl_->onEnd = std::move(onEnd);
  const int flags = ::fcntl(STDIN_FILENO, F_GETFL);
  if (flags >= 0) ::fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK);
  auto callback = [](gint fd, GIOCondition, gpointer data) -> gboolean {
    auto* impl = static_cast<Impl*>(data);
    char buffer[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return G_SOURCE_CONTINUE;
      if (n <= 0) {
        impl->inputSource = 0;
        if (impl->onEnd) impl->onEnd();
        return G_SOURCE_REMOVE;
      }
      for (ssize_t i = 0; i < n; ++i) {
        const char c = buffer[i];
        if (c != '\n') {
          if (impl->discarding) continue;
          impl->pending.push_back(c);
          if (impl->pending.size() > maxInputLine) {
            impl->pending.clear();
            impl->discarding = true;
          }
          continue;
        }
        if (!impl->discarding) {
          std::string line;
          line.swap(impl->pending);
          if (impl->onLine) impl->onLine(line);
        }
        impl->discarding = false;
      }
    }
  };
  impl_->inputSource = g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                     callback, impl_);
}

}  // namespace launcher
