// The single-instance mutex "Local\Vantor.Launcher", and activation through a
// message-only window of the class "VantorLauncher" that a second start finds
// and posts to.
#include "platform/instance.h"

#include "platform/windows/win_helpers.h"

#include <memory>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* instanceMutexName = L"Local\\Vantor.Launcher";
constexpr const wchar_t* windowClass = L"VantorLauncher";
constexpr UINT activateMessage = WM_APP + 1;

win::MutexHolder* holderOf(std::intptr_t slot) { return reinterpret_cast<win::MutexHolder*>(slot); }

LockResult toLockResult(win::MutexHolder::Result result) {
  switch (result) {
    case win::MutexHolder::Result::Acquired:
      return LockResult::Acquired;
    case win::MutexHolder::Result::HeldElsewhere:
      return LockResult::HeldElsewhere;
    case win::MutexHolder::Result::Failed:
      break;
  }
  return LockResult::Failed;
}

LockResult acquire(std::intptr_t& slot, bool& held, DWORD timeoutMs, std::string& error) {
  if (held) return LockResult::Acquired;
  win::MutexHolder* holder = nullptr;
  const LockResult result = toLockResult(win::MutexHolder::acquire(instanceMutexName, timeoutMs, holder, error));
  if (result == LockResult::Acquired) {
    slot = reinterpret_cast<std::intptr_t>(holder);
    held = true;
  }
  return result;
}

}  // namespace

fs::path instanceLockPath() {
  // The lock is a named mutex, not a file.
  return {};
}

bool isInstanceLockHeld() {
  HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, instanceMutexName);
  if (!mutex) return false;
  // Asked from a thread that never holds it (holders are threads of their own).
  const DWORD wait = ::WaitForSingleObject(mutex, 0);
  const bool held = wait == WAIT_TIMEOUT;
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
  return held;
}

InstanceLock::~InstanceLock() { release(); }

bool InstanceLock::open(std::string&) { return true; }

LockResult InstanceLock::tryAcquire(std::string& error) { return acquire(fd_, held_, 0, error); }

LockResult InstanceLock::acquireWaiting(int timeoutMs, std::string& error) {
  return acquire(fd_, held_, static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs), error);
}

void InstanceLock::release() {
  if (held_) win::MutexHolder::release(holderOf(fd_));
  fd_ = -1;
  held_ = false;
}

bool requestActivation() {
  // Every listening window of this desktop (there is one launcher at a time;
  // a window that is ending may still be listed).
  bool reached = false;
  HWND after = nullptr;
  while (HWND window = ::FindWindowExW(HWND_MESSAGE, after, windowClass, nullptr)) {
    DWORD_PTR result = 0;
    // Sent, not posted, so that "reached" means the running launcher took it;
    // a wedged one cannot hold us for more than a second.
    if (::SendMessageTimeoutW(window, activateMessage, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 1000, &result) &&
        result == 1) {
      reached = true;
    }
    after = window;
  }
  return reached;
}

struct ActivationListener::Impl {
  HWND window = nullptr;
  std::function<void()> onActivate;
  bool pending = false;

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == activateMessage) {
      auto* impl = reinterpret_cast<Impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
      if (!impl) return 0;
      // Answered at once; the activation runs from the loop, after the sender
      // has let go, as a posted message.
      if (!impl->pending) {
        impl->pending = true;
        ::PostMessageW(window, activateMessage + 1, 0, 0);
      }
      return 1;
    }
    if (message == activateMessage + 1) {
      auto* impl = reinterpret_cast<Impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
      if (impl) {
        impl->pending = false;
        if (impl->onActivate) impl->onActivate();
      }
      return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
};

ActivationListener::~ActivationListener() { stop(); }

bool ActivationListener::start(std::function<void()> onActivate, std::string& error) {
  stop();
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Impl::windowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = windowClass;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  if (!registered) {
    error = "Can't register the window class VantorLauncher";
    return false;
  }
  auto impl = std::make_unique<Impl>();
  impl->onActivate = std::move(onActivate);
  impl->window = ::CreateWindowExW(0, windowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   ::GetModuleHandleW(nullptr), nullptr);
  if (!impl->window) {
    error = "Can't create the activation window: " + win::errorText(::GetLastError());
    return false;
  }
  ::SetWindowLongPtrW(impl->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl.get()));
  impl_ = impl.release();
  return true;
}

void ActivationListener::stop() {
  if (!impl_) return;
  ::SetWindowLongPtrW(impl_->window, GWLP_USERDATA, 0);
  ::DestroyWindow(impl_->window);
  delete impl_;
  impl_ = nullptr;
}

}  // namespace launcher
