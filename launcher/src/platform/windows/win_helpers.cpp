#include "platform/windows/win_helpers.h"

#include <aclapi.h>
#include <sddl.h>

namespace launcher::win {

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), n);
  return out;
}

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

std::string errorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text) out = narrow(std::wstring_view(text, n));
  if (text) ::LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
    out.pop_back();
  }
  if (out.empty()) out = "error " + std::to_string(code);
  return out;
}

MutexHolder::Result MutexHolder::acquire(const std::wstring& name, DWORD timeoutMs, MutexHolder*& holder,
                                         std::string& error) {
  holder = nullptr;
  auto* self = new MutexHolder;
  self->name_ = name;
  self->timeoutMs_ = timeoutMs;
  self->decided_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  self->releaseNow_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (self->decided_) self->thread_ = ::CreateThread(nullptr, 64 * 1024, &MutexHolder::run, self, 0, nullptr);
  if (!self->thread_) {
    error = "Can't wait for the launcher's mutex: " + errorText(::GetLastError());
    if (self->decided_) ::CloseHandle(self->decided_);
    if (self->releaseNow_) ::CloseHandle(self->releaseNow_);
    delete self;
    return Result::Failed;
  }
  ::WaitForSingleObject(self->decided_, INFINITE);
  const Result result = self->result_;
  if (result == Result::Acquired) {
    holder = self;
    return result;
  }
  if (result == Result::Failed) error = "Can't open the launcher's mutex: " + errorText(self->error_);
  ::WaitForSingleObject(self->thread_, INFINITE);
  ::CloseHandle(self->thread_);
  ::CloseHandle(self->decided_);
  ::CloseHandle(self->releaseNow_);
  delete self;
  return result;
}

void MutexHolder::release(MutexHolder* holder) {
  if (!holder) return;
  ::SetEvent(holder->releaseNow_);
  ::WaitForSingleObject(holder->thread_, INFINITE);
  ::CloseHandle(holder->thread_);
  ::CloseHandle(holder->decided_);
  ::CloseHandle(holder->releaseNow_);
  delete holder;
}

DWORD WINAPI MutexHolder::run(void* p) {
  auto* self = static_cast<MutexHolder*>(p);
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, self->name_.c_str());
  if (!mutex) {
    self->error_ = ::GetLastError();
    self->result_ = Result::Failed;
    ::SetEvent(self->decided_);
    return 0;
  }
  const DWORD wait = ::WaitForSingleObject(mutex, self->timeoutMs_);
  // An abandoned mutex (its holder died) is ours now, as a released one is.
  const bool owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  self->result_ = owned ? Result::Acquired : wait == WAIT_TIMEOUT ? Result::HeldElsewhere : Result::Failed;
  if (!owned && wait != WAIT_TIMEOUT) self->error_ = ::GetLastError();
  ::SetEvent(self->decided_);
  if (owned) {
    ::WaitForSingleObject(self->releaseNow_, INFINITE);
    ::ReleaseMutex(mutex);
  }
  ::CloseHandle(mutex);
  return 0;
}


namespace {

// The token's information of `kind`, or empty when it cannot be read.
std::vector<BYTE> tokenInformation(TOKEN_INFORMATION_CLASS kind) {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  const Handle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), kind, nullptr, 0, &size);
  std::vector<BYTE> info(size);
  if (size == 0 || !::GetTokenInformation(token.get(), kind, info.data(), size, &size)) return {};
  return info;
}

}  // namespace

bool ownedByThisUser(const std::filesystem::path& path, std::string& owner) {
  PSID ownerSid = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &ownerSid,
                                           nullptr, nullptr, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) {
    owner = "its owner cannot be read: " + errorText(rc);
    return false;
  }
  const std::vector<BYTE> user = tokenInformation(TokenUser);
  const std::vector<BYTE> defaultOwner = tokenInformation(TokenOwner);
  const bool mine =
      ownerSid && ((!user.empty() && ::EqualSid(ownerSid, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid)) ||
                   (!defaultOwner.empty() &&
                    ::EqualSid(ownerSid, reinterpret_cast<const TOKEN_OWNER*>(defaultOwner.data())->Owner)));
  if (!mine) {
    LPWSTR text = nullptr;
    owner = ownerSid && ::ConvertSidToStringSidW(ownerSid, &text) ? narrow(text) : "no owner";
    if (text) ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return mine;
}

}  // namespace launcher::win

namespace launcher::win {

std::wstring commandLine(const std::vector<std::string>& argv) {
  std::wstring line;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) line += L' ';
    const std::wstring arg = widen(argv[i]);
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
      line += arg;
      continue;
    }
    // Backslashes count only before a quote: doubled there, and before the
    // closing quote; a quote inside is escaped.
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
      if (c == L'\\') {
        ++backslashes;
        continue;
      }
      if (c == L'"') {
        line.append(backslashes * 2 + 1, L'\\');
      } else {
        line.append(backslashes, L'\\');
      }
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
  }
  return line;
}

bool startProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingFolder, HANDLE& process,
                  DWORD& pid, DWORD& errorCode) {
  process = nullptr;
  pid = 0;
  if (argv.empty() || argv[0].empty()) {
    errorCode = ERROR_INVALID_PARAMETER;
    return false;
  }
  const std::wstring application = widen(argv[0]);
  std::wstring line = commandLine(argv);
  // CreateProcessW may write into the command line; it must be writable.
  line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const wchar_t* folder = workingFolder.empty() ? nullptr : workingFolder.c_str();
  if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        nullptr, folder, &startup, &info)) {
    errorCode = ::GetLastError();
    return false;
  }
  ::CloseHandle(info.hThread);
  process = info.hProcess;
  pid = info.dwProcessId;
  return true;
}

}  // namespace launcher::win
