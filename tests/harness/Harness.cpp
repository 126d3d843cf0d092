#include "Harness.h"

#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <filesystem>
#include <map>
#include <set>
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

// Finds the visible dialog boxes of process `pid` and of the processes it
// started (an installer's, say), reads them and presses OK.
class MessageBoxWatcher {
 public:
  explicit MessageBoxWatcher(DWORD pid) : pids_{pid} {}

  void Poll(std::vector<MessageBoxSeen>& seen, const std::function<void()>& whileShown) {
    AddChildren();
    found_.clear();
    ::EnumWindows(&MessageBoxWatcher::Visit, reinterpret_cast<LPARAM>(this));
    for (HWND box : found_) {
      wchar_t title[4096] = {}, text[8192] = {};
      ::GetWindowTextW(box, title, 4096);
      ::GetDlgItemTextW(box, 0xFFFF, text, 8192);  // the message box's static text
      seen.push_back({title, text});
      if (whileShown) whileShown();
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
      dismissed_.insert(box);
    }
  }

 private:
  static BOOL CALLBACK Visit(HWND window, LPARAM self) {
    auto* watcher = reinterpret_cast<MessageBoxWatcher*>(self);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    if (watcher->pids_.count(pid) != 0 && ::IsWindowVisible(window) && std::wstring(className) == L"#32770" &&
        watcher->dismissed_.count(window) == 0) {
      watcher->found_.push_back(window);
    }
    return TRUE;
  }

  void AddChildren() {
    const Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
      if (pids_.count(entry.th32ParentProcessID) != 0) pids_.insert(entry.th32ProcessID);
    }
  }

  std::set<DWORD> pids_;
  std::vector<HWND> found_;
  std::set<HWND> dismissed_;
};

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  std::string text(info.nDebugStringLength, '\0');
  SIZE_T read = 0;
  ::ReadProcessMemory(process, info.lpDebugStringData, text.data(), text.size(), &read);
  text.resize(read);
  while (!text.empty() && text.back() == '\0') text.pop_back();  // the length counts the NUL
  return text;
}

std::wstring FinalPathOf(const std::wstring& path) {
  const Handle entry(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  wchar_t final[4096] = {};
  if (entry.get() == INVALID_HANDLE_VALUE || ::GetFinalPathNameByHandleW(entry.get(), final, 4096, 0) == 0) return L"";
  return final;
}

// The lower-case file name of the DLL open as `file`.
std::wstring DllName(HANDLE file) {
  wchar_t path[MAX_PATH * 4] = {};
  if (file == nullptr || ::GetFinalPathNameByHandleW(file, path, MAX_PATH * 4, 0) == 0) return L"?";
  std::wstring name(path);
  name = name.substr(name.find_last_of(L'\\') + 1);
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
  return name;
}

}  // namespace

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

Launch LaunchOf(const std::wstring& application, const std::wstring& arguments) {
  Launch launch;
  launch.application = application;
  launch.commandLine = Quote(application) + L" " + arguments;
  return launch;
}

std::string ReadAll(const std::wstring& path) {
  // Shares deletion too: a file a program has just renamed into place may
  // still be open for deletion (MoveFileExW holds it so while it renames), and
  // an open that does not share that fails then.
  const Handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  std::string content;
  char buffer[4096];
  DWORD read = 0;
  while (file.get() != INVALID_HANDLE_VALUE && ::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
    content.append(buffer, read);
  return content;
}

DWORD OpenError(const std::wstring& path, DWORD access, DWORD share) {
  const Handle file(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
  return file.get() == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
}

Outcome Run(const Launch& launch) {
  std::wstring commandLine = launch.commandLine.empty() ? Quote(launch.application) : launch.commandLine;
  std::vector<wchar_t> environment;
  if (launch.environment) environment = EnvironmentBlock(*launch.environment);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  std::wstring desktop = launch.desktop;
  if (!desktop.empty()) startup.lpDesktop = desktop.data();
  PROCESS_INFORMATION info{};
  const DWORD debugging = launch.followChildren ? DEBUG_PROCESS : DEBUG_ONLY_THIS_PROCESS;
  if (!::CreateProcessW(launch.application.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        debugging | CREATE_UNICODE_ENVIRONMENT, launch.environment ? environment.data() : nullptr,
                        launch.currentDirectory.empty() ? nullptr : launch.currentDirectory.c_str(), &startup,
                        &info)) {
    const DWORD error = ::GetLastError();
    throw std::runtime_error("CreateProcessW failed: " + std::to_string(error));
  }
  const Handle process(info.hProcess);
  const Handle thread(info.hThread);

  Outcome outcome;
  MessageBoxWatcher watcher(info.dwProcessId);
  std::map<void*, std::wstring> dlls;  // of the program, by base address
  std::set<DWORD> started;            // processes past their loader's first breakpoint
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(launch.timeoutMs);
  for (;;) {
    DEBUG_EVENT event{};
    if (!::WaitForDebugEvent(&event, 50)) {
      watcher.Poll(outcome.messageBoxes, launch.whileDialogShown);
      if (!outcome.timedOut && std::chrono::steady_clock::now() > deadline) {
        outcome.timedOut = true;
        ::TerminateProcess(process.get(), 0xDEAD);
      }
      continue;
    }
    const bool ours = event.dwProcessId == info.dwProcessId;
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr) ::CloseHandle(event.u.CreateProcessInfo.hFile);
        if (!ours) outcome.events.push_back(L"start child");
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (ours) {
          dlls[event.u.LoadDll.lpBaseOfDll] = DllName(event.u.LoadDll.hFile);
          outcome.events.push_back(L"load " + dlls[event.u.LoadDll.lpBaseOfDll]);
        }
        if (event.u.LoadDll.hFile != nullptr) ::CloseHandle(event.u.LoadDll.hFile);
        break;
      case UNLOAD_DLL_DEBUG_EVENT:
        if (ours) outcome.events.push_back(L"unload " + dlls[event.u.UnloadDll.lpBaseOfDll]);
        break;
      case OUTPUT_DEBUG_STRING_EVENT:
        if (ours) outcome.debugOutput.push_back(ReadDebugString(process.get(), event.u.DebugString));
        break;
      case EXCEPTION_DEBUG_EVENT: {
        const DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
        if (code == EXCEPTION_BREAKPOINT && started.insert(event.dwProcessId).second) {
          // the loader's breakpoint for a new debuggee
        } else if (code != EXCEPTION_INVALID_HANDLE) {
          // (an invalid handle is raised only because a debugger is attached:
          // the program itself sees the failed call return, as without us)
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      }
      case EXIT_PROCESS_DEBUG_EVENT:
        if (ours) {
          outcome.exitCode = event.u.ExitProcess.dwExitCode;
          ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
          return outcome;
        }
        break;
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

std::string TestName(const std::wstring& text) {
  std::string name;
  for (const wchar_t c : text) {
    if (std::iswalnum(c) && c < 0x80) name += static_cast<char>(c);
  }
  return name;
}

std::wstring Quote(const std::wstring& text) { return L"\"" + text + L"\""; }

const std::wstring kHelpLine = L"\n\nHelp at https://support.vantor.example/kb/setup-launcher-failure";

std::wstring TempDirectory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, buffer);
  return buffer;
}

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

bool StartProgram(const std::wstring& program, std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
    return false;
  }
  const Handle thread(info.hThread);
  const Handle process(info.hProcess);
  return true;
}

bool WaitFor(const std::wstring& path, bool exists, DWORD ms) {
  const std::wstring extended = L"\\\\?\\" + path;
  for (DWORD waited = 0;; waited += 20) {
    if ((::GetFileAttributesW(extended.c_str()) != INVALID_FILE_ATTRIBUTES) == exists) return true;
    if (waited >= ms) return false;
    ::Sleep(20);
  }
}

bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
  const auto isLink = [&] {
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  };
  ::CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
  if (isLink()) return true;
  const std::wstring unixTarget = UnixPath(target);
  const std::wstring unixLink = UnixPath(link);
  if (unixTarget.empty() || unixLink.empty()) return false;
  if (!StartProgram(L"Z:\\bin\\ln", L"ln -s \"" + unixTarget + L"\" \"" + unixLink + L"\"")) return false;
  return WaitFor(link, true) && isLink();
}

bool RepointDirectoryLink(const std::wstring& link, const std::wstring& target) {
  const std::wstring unixTarget = UnixPath(target);
  const std::wstring unixLink = UnixPath(link);
  if (unixTarget.empty() || unixLink.empty()) {
    return ::RemoveDirectoryW(link.c_str()) && MakeDirectoryLink(link, target);  // the link itself goes
  }
  if (!StartProgram(L"Z:\\bin\\ln", L"ln -sfn \"" + unixTarget + L"\" \"" + unixLink + L"\"")) return false;
  const std::wstring wanted = FinalPathOf(target);
  for (DWORD waited = 0; waited < 10000; waited += 20) {
    if (FinalPathOf(link) == wanted) return true;
    ::Sleep(20);
  }
  return false;
}

std::vector<std::wstring> Entries(std::wstring folder) {
  if (folder.back() == L'\\') folder.pop_back();
  if (folder.rfind(L"\\\\?\\", 0) != 0) folder = L"\\\\?\\" + folder;
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  const HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot list " + std::filesystem::path(folder).string());
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

// Under Wine, Unix rm removes trees of any depth at once and never follows a
// link; elsewhere the tree is walked.
void RemoveTree(const std::wstring& folder) {
  const std::wstring unixFolder = UnixPath(folder);
  if (!unixFolder.empty() && StartProgram(L"Z:\\bin\\rm", L"rm -rf \"" + unixFolder + L"\"")) {
    WaitFor(folder, false, 60000);
    return;
  }
  std::vector<std::wstring> folders{L"\\\\?\\" + folder};
  for (std::size_t next = 0; next < folders.size(); ++next) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = ::FindFirstFileW((folders[next] + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = entry.cFileName;
      const std::wstring path = folders[next] + L"\\" + name;
      if (name == L"." || name == L"..") continue;
      ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        ::RemoveDirectoryW(path.c_str());  // a link: never followed
      } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        folders.push_back(path);
      } else {
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) ::RemoveDirectoryW(it->c_str());
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

std::vector<std::wstring> EnvironmentWith(const std::vector<std::pair<std::wstring, std::wstring>>& variables) {
  std::vector<std::wstring> entries;
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) entries.emplace_back(entry);
  ::FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : variables) {
    const std::wstring prefix = name + L"=";
    const auto named = [&](const std::wstring& entry) {
      const int length = static_cast<int>(std::min(entry.size(), prefix.size()));
      return ::CompareStringOrdinal(entry.c_str(), length, prefix.c_str(), static_cast<int>(prefix.size()), TRUE) ==
             CSTR_EQUAL;
    };
    entries.erase(std::remove_if(entries.begin(), entries.end(), named), entries.end());
    entries.push_back(prefix + value);
  }
  return entries;
}

}  // namespace harness
