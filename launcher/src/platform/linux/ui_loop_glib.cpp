#include "platform/ui_loop.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <memory>
#include <utility>

namespace launcher {

struct UiLoop::Impl {
  GMainLoop* loop = nullptr;
  std::function<void()> onSignal;
  guint signalSources[2] = {0, 0};
};

UiLoop::UiLoop() : impl_(new Impl) { impl_->loop = g_main_loop_new(nullptr, FALSE); }

UiLoop::~UiLoop() {
  for (guint id : impl_->signalSources)
    if (id != 0) g_source_remove(id);
  g_main_loop_unref(impl_->loop);
  delete impl_;
}

void UiLoop::run() { g_main_loop_run(impl_->loop); }

void UiLoop::quit() { g_main_loop_quit(impl_->loop); }

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
    if (impl->onSignal) impl->onSignal();
    return G_SOURCE_CONTINUE;
  };
  impl_->signalSources[0] = g_unix_signal_add(SIGTERM, callback, impl_);
  impl_->signalSources[1] = g_unix_signal_add(SIGINT, callback, impl_);
}

}  // namespace launcher
