// The UI thread's loop on Windows: the thread's message loop, woken by
// messages to a message-only window the loop creates on its own thread.
// Windows the shell or the activation listener create on the same thread
// are served by the same loop.
#include "platform/ui_loop.h"

#include "platform/windows/win_helpers.h"

#include <atomic>
#include <csignal>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

namespace launcher {

namespace {

constexpr const wchar_t* loopClass = L"VantorLauncherLoop";
constexpr UINT wakeMessage = WM_APP + 10;
constexpr size_t maxInputLine = 1024 * 1024;

// The loop that SIGTERM, SIGINT and console close events reach (one UI loop per process).
std::atomic<HWND> signalWindow{nullptr};
std::atomic<bool> signalPending{false};

void notifySignal() {
  signalPending.store(true);
  if (HWND window = signalWindow.load()) ::PostMessageW(window, wakeMessage, 0, 0);
}

extern "C" void onSignal(int number) {
  // The C runtime resets the handler before calling it.
  std::signal(number, &onSignal);
  notifySignal();
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      notifySignal();
      return TRUE;
    default:
      return FALSE;
  }
}

// Standard input, read by a thread of its own: a console or pipe read cannot
// be waited on beside window messages. Shared with the thread, which may
// outlive the loop while blocked in a read.
struct InputState {
  std::mutex mutex;
  std::deque<std::string> lines;
  bool ended = false;
  bool deliveredEnd = false;
  HWND window = nullptr;  // cleared when the loop ends
};

DWORD WINAPI readInput(void* p) {
  auto* shared = static_cast<std::shared_ptr<InputState>*>(p);
  std::shared_ptr<InputState> state = std::move(*shared);
  delete shared;
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  bool discarding = false;
  char buffer[64 * 1024];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(input, buffer, sizeof buffer, &n, nullptr) || n == 0) break;
    std::deque<std::string> lines;
    for (DWORD i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (c != '\n') {
        if (discarding) continue;
        pending.push_back(c);
        if (pending.size() > maxInputLine) {
          pending.clear();
          discarding = true;
        }
        continue;
      }
      if (!discarding) {
        if (!pending.empty() && pending.back() == '\r') pending.pop_back();
        lines.push_back(std::move(pending));
        pending.clear();
      }
      discarding = false;
    }
    if (lines.empty()) continue;
    std::lock_guard<std::mutex> lock(state->mutex);
    for (auto& line : lines) state->lines.push_back(std::move(line));
    if (state->window) ::PostMessageW(state->window, wakeMessage, 0, 0);
  }
  std::lock_guard<std::mutex> lock(state->mutex);
  state->ended = true;
  if (state->window) ::PostMessageW(state->window, wakeMessage, 0, 0);
  return 0;
}

}  // namespace

struct UiLoop::Impl {
  HWND window = nullptr;
  std::atomic<bool> quitRequested{false};
  std::mutex mutex;
  std::deque<std::function<void()>> tasks;
  std::function<void()> onTerminate;
  std::function<void(const std::string&)> onLine;
  std::function<void()> onEnd;
  std::shared_ptr<InputState> input;

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == wakeMessage) {
      auto* impl = reinterpret_cast<Impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
      if (impl) impl->drain();
      return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
  }

  void drain() {
    if (onTerminate && signalWindow.load() == window && signalPending.exchange(false)) onTerminate();
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (tasks.empty()) break;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();
      if (quitRequested.load()) return;
    }
    if (input) {
      std::deque<std::string> lines;
      bool end = false;
      {
        std::lock_guard<std::mutex> lock(input->mutex);
        lines.swap(input->lines);
        end = input->ended && !input->deliveredEnd;
        if (end) input->deliveredEnd = true;
      }
      for (const std::string& line : lines) {
        if (onLine) onLine(line);
      }
      if (end && onEnd) onEnd();
    }
  }
};

UiLoop::UiLoop() : impl_(new Impl) {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Impl::windowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = loopClass;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  if (registered) {
    impl_->window = ::CreateWindowExW(0, loopClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      ::GetModuleHandleW(nullptr), nullptr);
  }
  if (impl_->window) ::SetWindowLongPtrW(impl_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl_));
}

UiLoop::~UiLoop() {
  HWND expected = impl_->window;
  signalWindow.compare_exchange_strong(expected, nullptr);
  if (impl_->input) {
    std::lock_guard<std::mutex> lock(impl_->input->mutex);
    impl_->input->window = nullptr;
  }
  if (impl_->window) {
    ::SetWindowLongPtrW(impl_->window, GWLP_USERDATA, 0);
    ::DestroyWindow(impl_->window);
  }
  delete impl_;
}

void UiLoop::run() {
  if (!impl_->window) return;
  // Work that came before the loop ran (an invoke, a signal) is picked up first.
  impl_->drain();
  MSG message;
  while (!impl_->quitRequested.load()) {
    const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got <= 0) break;  // WM_QUIT or an error
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

void UiLoop::quit() {
  impl_->quitRequested.store(true);
  if (impl_->window) ::PostMessageW(impl_->window, wakeMessage, 0, 0);
}

void UiLoop::invoke(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->tasks.push_back(std::move(task));
  }
  if (impl_->window) ::PostMessageW(impl_->window, wakeMessage, 0, 0);
}

void UiLoop::onTerminateSignal(std::function<void()> handler) {
  impl_->onTerminate = std::move(handler);
  signalWindow.store(impl_->window);
  std::signal(SIGTERM, &onSignal);
  std::signal(SIGINT, &onSignal);
  ::SetConsoleCtrlHandler(&onConsoleEvent, TRUE);
}

void UiLoop::watchStandardInput(std::function<void(const std::string&)> onLine, std::function<void()> onEnd) {
  impl_->onLine = std::move(onLine);
  impl_->onEnd = std::move(onEnd);
  impl_->input = std::make_shared<InputState>();
  impl_->input->window = impl_->window;
  auto* shared = new std::shared_ptr<InputState>(impl_->input);
  HANDLE thread = ::CreateThread(nullptr, 256 * 1024, &readInput, shared, 0, nullptr);
  if (!thread) {
    delete shared;
    std::lock_guard<std::mutex> lock(impl_->input->mutex);
    impl_->input->ended = true;
    return;
  }
  // Never joined: a read of a console or pipe may block until the process ends.
  ::CloseHandle(thread);
}

}  // namespace launcher
