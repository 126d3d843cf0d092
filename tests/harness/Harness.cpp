#include "Harness.h"

#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace harness {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

std::runtime_error Failure(const std::string& what) {
  return std::runtime_error(what + " failed: " + std::to_string(::GetLastError()));
}

std::vector<wchar_t> EnvironmentBlock(const std::vector<std::wstring>& entries) {
  std::vector<wchar_t> block;
  for (const std::wstring& entry : entries) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  if (entries.empty()) block.push_back(L'\0');
  return block;
}

std::wstring WindowText(HWND window) {
  wchar_t text[4096] = {};
  ::GetWindowTextW(window, text, 4096);
  return text;
}

// Finds the visible dialog boxes of process `pid` and of the processes it
// started (an installer's, say), reads them and presses OK.
class MessageBoxWatcher {
 public:
  explicit MessageBoxWatcher(DWORD pid) : pids_{pid} {}

  void Poll(std::vector<MessageBoxSeen>& seen) {
    AddChildren();
    found_.clear();
    ::EnumWindows(&MessageBoxWatcher::Visit, reinterpret_cast<LPARAM>(this));
    for (HWND box : found_) {
      wchar_t text[8192] = {};
      ::GetDlgItemTextW(box, 0xFFFF, text, 8192);  // the message box's static text
      seen.push_back({WindowText(box), text});
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
      dismissed_.push_back(box);
    }
  }

 private:
  static BOOL CALLBACK Visit(HWND window, LPARAM self) {
    auto* watcher = reinterpret_cast<MessageBoxWatcher*>(self);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    if (watcher->IsWatched(pid) && ::IsWindowVisible(window) && std::wstring(className) == L"#32770" &&
        !watcher->WasDismissed(window)) {
      watcher->found_.push_back(window);
    }
    return TRUE;
  }

  bool WasDismissed(HWND window) const {
    for (HWND box : dismissed_) {
      if (box == window) return true;
    }
    return false;
  }

  bool IsWatched(DWORD pid) const { return std::find(pids_.begin(), pids_.end(), pid) != pids_.end(); }

  void AddChildren() {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
      if (IsWatched(entry.th32ParentProcessID) && !IsWatched(entry.th32ProcessID)) pids_.push_back(entry.th32ProcessID);
    }
    ::CloseHandle(snapshot);
  }

  std::vector<DWORD> pids_;
  std::vector<HWND> found_;
  std::vector<HWND> dismissed_;
};

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  std::string text(info.nDebugStringLength, '\0');
  SIZE_T read = 0;
  ::ReadProcessMemory(process, info.lpDebugStringData, text.data(), text.size(), &read);
  text.resize(read);
  while (!text.empty() && text.back() == '\0') text.pop_back();  // the length counts the NUL
  return text;
}

}  // namespace

Outcome Run(const Launch& launch) {
  std::wstring commandLine = launch.commandLine.empty() ? Quote(launch.application) : launch.commandLine;
  std::vector<wchar_t> environment;
  if (launch.environment) environment = EnvironmentBlock(*launch.environment);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(launch.application.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS | CREATE_UNICODE_ENVIRONMENT,
                        launch.environment ? environment.data() : nullptr,
                        launch.currentDirectory.empty() ? nullptr : launch.currentDirectory.c_str(),
                        &startup, &info)) {
    throw Failure("CreateProcessW");
  }
  const Handle process(info.hProcess);
  const Handle thread(info.hThread);

  Outcome outcome;
  MessageBoxWatcher watcher(info.dwProcessId);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(launch.timeoutMs);
  bool sawInitialBreakpoint = false;
  for (;;) {
    DEBUG_EVENT event{};
    if (!::WaitForDebugEvent(&event, 50)) {
      watcher.Poll(outcome.messageBoxes);
      if (!outcome.timedOut && std::chrono::steady_clock::now() > deadline) {
        outcome.timedOut = true;
        ::TerminateProcess(process.get(), 0xDEAD);
      }
      continue;
    }
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr) ::CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) ::CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT:
        outcome.debugOutput.push_back(ReadDebugString(process.get(), event.u.DebugString));
        break;
      case EXCEPTION_DEBUG_EVENT: {
        const DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
        if (code == EXCEPTION_BREAKPOINT && !sawInitialBreakpoint) {
          sawInitialBreakpoint = true;  // the loader's breakpoint for a new debuggee
        } else if (code == EXCEPTION_INVALID_HANDLE) {
          // Raised only because a debugger is attached: the program itself
          // sees the failed call return, as it would without us.
        } else {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      }
      case EXIT_PROCESS_DEBUG_EVENT:
        outcome.exitCode = event.u.ExitProcess.dwExitCode;
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
        return outcome;
      default:
        break;
    }
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
}

std::wstring ProgramDirectory() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring Quote(const std::wstring& text) { return L"\"" + text + L"\""; }

const std::wstring kHelpLine = L"\n\nHelp at https://support.vantor.example/kb/setup-launcher-failure";

std::wstring NewTempFolder(const std::wstring& prefix) {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  const std::wstring folder =
      TempDirectory() + prefix + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(now.QuadPart);
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::wstring UnixPath(const std::wstring& path) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return L"";
  char* name = unixName(path.c_str());
  if (name == nullptr) return L"";
  std::wstring result(static_cast<std::size_t>(::MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0)), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, name, -1, result.data(), static_cast<int>(result.size()));
  result.pop_back();  // the terminating NUL
  ::HeapFree(::GetProcessHeap(), 0, name);
  return result;
}

#if defined(_WIN64)
const std::wstring kWineLoader = L"Z:\\usr\\lib\\wine\\wine64";
#else
const std::wstring kWineLoader = L"Z:\\usr\\bin\\wine";
#endif

bool StartUnixProgram(const std::wstring& program, std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
    return false;
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return true;
}

std::wstring TempDirectory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, buffer);
  return buffer;
}

void RemoveTree(const std::wstring& folder) {
  const std::wstring extended = L"\\\\?\\" + folder;
  WIN32_FIND_DATAW entry;
  const HANDLE find = ::FindFirstFileW((extended + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        ::RemoveDirectoryW((L"\\\\?\\" + path).c_str());  // a link: never followed
      } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        ::DeleteFileW((L"\\\\?\\" + path).c_str());
      }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(extended.c_str());
}

std::wstring SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                   nullptr, code, 0x0409, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = buffer != nullptr ? buffer : L"";
  ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text;
}

std::wstring TokenSid(TOKEN_INFORMATION_CLASS which) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return L"?";
  BYTE buffer[256] = {};
  DWORD length = 0;
  const BOOL read = ::GetTokenInformation(token, which, buffer, sizeof(buffer), &length);
  ::CloseHandle(token);
  if (!read) return L"?";
  const PSID sid = which == TokenOwner ? reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner
                                       : reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring result = text;
  ::LocalFree(text);
  return result;
}

std::vector<std::wstring> CurrentEnvironment() {
  std::vector<std::wstring> entries;
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    entries.emplace_back(entry);
  }
  ::FreeEnvironmentStringsW(block);
  return entries;
}

}  // namespace harness

namespace harness {

void SetVariable(std::vector<std::wstring>& environment, const std::wstring& name, const std::wstring& value) {
  const std::wstring prefix = name + L"=";
  for (auto entry = environment.begin(); entry != environment.end();) {
    const bool same = entry->size() >= prefix.size() &&
                      ::CompareStringOrdinal(entry->c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                             static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
    entry = same ? environment.erase(entry) : entry + 1;
  }
  environment.push_back(prefix + value);
}

}  // namespace harness
