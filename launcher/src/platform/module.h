// Code loaded only when it is needed: a shared library the executable carries
// as bytes and opens at run time, so that what it links (the window's GTK and
// WebKitGTK) is never mapped into a process that shows no window.
#pragma once

#include <string>
#include <string_view>

namespace launcher {

class LoadedModule {
 public:
  LoadedModule() = default;
  // Never unloads: the libraries a module brings (GTK, WebKit) start threads
  // and register exit handlers that must outlive any use of them.
  ~LoadedModule() = default;
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  // UI thread (the dynamic loader runs the module's constructors on it), once.
  // Opens the shared library whose file bytes are `image`, under `name` (what
  // the process's memory map shows). The copy stays private to this process
  // and open for its life, so debuggers and sanitizers can read its symbols.
  // False, with `error` saying why, when the system cannot load it (a missing
  // library it needs, a system that forbids running code from memory...).
  [[nodiscard]] bool open(std::string_view image, const char* name, std::string& error);

  // The address of an exported symbol, or null when the module lacks it.
  [[nodiscard]] void* symbol(const char* name) const;

 private:
  void* handle_ = nullptr;
};

}  // namespace launcher
