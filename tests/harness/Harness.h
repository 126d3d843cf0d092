#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Runs a Windows program as its debugger and reports what a user or a
// deployment tool would see of it: the full exit code, every line it wrote
// with OutputDebugStringA, every message box it showed (read, then dismissed
// with OK so the program can go on), and the DLLs it loaded and unloaded.
namespace harness {

struct Launch {
  std::wstring application;                              // full path of the program
  std::wstring commandLine;                              // program token included; empty: the quoted application
  std::optional<std::vector<std::wstring>> environment;  // "NAME=value" entries; none: inherit ours
  std::wstring currentDirectory;                         // empty: inherit ours
  std::wstring desktop;                                  // "station\\desktop"; empty: ours
  DWORD timeoutMs = 60000;                               // then the program is terminated
  bool followChildren = false;                           // also see when the program starts a process
  std::function<void()> whileDialogShown;                // called for each dialog box, before it is dismissed
};

struct MessageBoxSeen {
  std::wstring title;
  std::wstring text;
};

struct Outcome {
  DWORD exitCode = 0;
  std::vector<std::string> debugOutput;
  std::vector<MessageBoxSeen> messageBoxes;
  // In order: "load NAME.dll", "unload NAME.dll" (lower case) and, with
  // followChildren, "start child" when the program started a process.
  std::vector<std::wstring> events;
  bool timedOut = false;
};

// Raises std::runtime_error when the program cannot be started.
Outcome Run(const Launch& launch);

// A launch of `application` (a full path) with `arguments` after its quoted path.
Launch LaunchOf(const std::wstring& application, const std::wstring& arguments);

// A Unicode environment block for CreateProcessW of "NAME=value" entries.
std::vector<wchar_t> EnvironmentBlock(const std::vector<std::wstring>& entries);

// The whole content of the file at `path`; empty when it cannot be read.
std::string ReadAll(const std::wstring& path);

// 0 when the file at `path` opens with that access and sharing, else the
// system's error code.
DWORD OpenError(const std::wstring& path, DWORD access, DWORD share);

// The folder of the running test program, with a trailing backslash; fixture
// programs are built beside it.
std::wstring ProgramDirectory();

// A test name made of the letters and digits of `text`.
std::string TestName(const std::wstring& text);

// `text` in double quotes, for a command line.
std::wstring Quote(const std::wstring& text);

// The temporary directory, with a trailing backslash.
std::wstring TempDirectory();

// A new, empty folder under the temporary directory, named `prefix` plus a
// number no other test run uses (Wine reuses process ids). No trailing backslash.
std::wstring NewTempFolder(const std::wstring& prefix);

// The failure dialog's closing lines, after the first.
extern const std::wstring kHelpLine;

// Under Wine: the Unix path of a Windows path; empty elsewhere.
std::wstring UnixPath(const std::wstring& path);

// Wine's loader for programs of this test program's architecture, as a
// Windows path (the Unix program behind `wine` starts the 32-bit loader).
extern const std::wstring kWineLoader;

// Starts `program` and does not wait for it. Under Wine it may be a Unix
// program, given by its Windows path (Z:\bin\ln): Wine gives no handle to
// such a process. False, with the last error set, when it cannot be started.
bool StartProgram(const std::wstring& program, std::wstring commandLine);

// Waits up to `ms` for `path` to exist (exists = true) or to be gone.
bool WaitFor(const std::wstring& path, bool exists, DWORD ms = 10000);

// Makes `link` a directory link to `target`; true when `link` is a reparse
// point. Wine's CreateSymbolicLinkW creates nothing, but a Unix symlink shows
// up there as a directory reparse point, so Wine's own ln stands in.
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target);

// Makes the directory link `link` lead to `target` instead; true once it does.
// Under Wine, where opening a link opens its target, Unix ln replaces it.
bool RepointDirectoryLink(const std::wstring& link, const std::wstring& target);

// The names in `folder`, however long its path and whatever its names end
// in. Raises std::runtime_error when it cannot be listed.
std::vector<std::wstring> Entries(std::wstring folder);

// Deletes a folder tree of any depth; links inside are not followed.
void RemoveTree(const std::wstring& folder);

// The system's English message for a Win32 error code, without its closing
// line break: what the launcher's texts are compared with.
std::wstring SystemText(DWORD code);

// The string form (S-1-...) of this process's token user (TokenUser) or
// default owner (TokenOwner).
std::wstring TokenSid(TOKEN_INFORMATION_CLASS which);

// The current environment as "NAME=value" entries, with NAME=value set in it
// for each pair given (names compare case-insensitively, as Windows does).
std::vector<std::wstring> EnvironmentWith(const std::vector<std::pair<std::wstring, std::wstring>>& variables);

}  // namespace harness
