#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// Runs a Windows program as its debugger and reports what a user or a
// deployment tool would see of it: the full 32-bit exit code, every line it
// wrote with OutputDebugStringA, and every message box it showed (each one is
// read, then dismissed with OK so the program can go on).
namespace harness {

struct Launch {
  std::wstring application;                              // full path of the program
  std::wstring commandLine;                              // program token included; empty: the quoted application
  std::optional<std::vector<std::wstring>> environment;  // "NAME=value" entries; none: inherit ours
  std::wstring currentDirectory;                         // empty: inherit ours
  DWORD timeoutMs = 60000;                               // then the program is terminated
};

struct MessageBoxSeen {
  std::wstring title;
  std::wstring text;
};

struct Outcome {
  DWORD exitCode = 0;
  std::vector<std::string> debugOutput;
  std::vector<MessageBoxSeen> messageBoxes;
  bool timedOut = false;
};

// Raises std::runtime_error when the program cannot be started.
Outcome Run(const Launch& launch);

// The folder of the running test program, with a trailing backslash; fixture
// programs are built beside it.
std::wstring ProgramDirectory();

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

// Starts a Unix program, which Wine runs when CreateProcessW is asked to
// (`program` is its Windows path, as Z:\bin\ln). Does not wait for it.
bool StartUnixProgram(const std::wstring& program, std::wstring commandLine);

// Deletes a folder tree of any path length; links inside are not followed.
void RemoveTree(const std::wstring& folder);

// The system's English message for a Win32 error code, without its closing
// line break: what the launcher's texts are compared with.
std::wstring SystemText(DWORD code);

// The string form (S-1-...) of this process's token user (TokenUser) or
// default owner (TokenOwner).
std::wstring TokenSid(TOKEN_INFORMATION_CLASS which);

// The current environment as "NAME=value" entries, for editing.
std::vector<std::wstring> CurrentEnvironment();

// Sets NAME=value in `environment`, replacing any entry of that name (names
// compare case-insensitively, as Windows does).
void SetVariable(std::vector<std::wstring>& environment, const std::wstring& name, const std::wstring& value);

}  // namespace harness
