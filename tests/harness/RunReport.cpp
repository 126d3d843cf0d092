// run-report PROGRAM [ARGUMENTS...]
// Runs PROGRAM with the rest of this command line, verbatim, and reports what
// a person would see of it: its debugger output, any message box (read, then
// dismissed with OK) and its full 32-bit exit code.
#include <windows.h>

#include <cstdio>
#include <string>

#include "Harness.h"

namespace {

// The command line after its first token (this program's own name).
std::wstring Tail(const wchar_t* commandLine) {
  const wchar_t* p = commandLine;
  if (*p == L'"') {
    for (++p; *p != L'\0' && *p != L'"'; ++p) {}
    if (*p == L'"') ++p;
  } else {
    while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

void Print(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), size, nullptr, nullptr);
  std::fputs(utf8.c_str(), stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: run-report PROGRAM [ARGUMENTS...]\n", stderr);
    return 2;
  }
  harness::Launch launch;
  wchar_t full[MAX_PATH] = {};
  ::GetFullPathNameW(argv[1], MAX_PATH, full, nullptr);
  launch.application = full;
  launch.commandLine = Tail(::GetCommandLineW());
  launch.timeoutMs = INFINITE;

  Print(L"command line: " + launch.commandLine + L"\n");
  const harness::Outcome outcome = harness::Run(launch);
  for (const std::string& line : outcome.debugOutput) std::printf("debugger output: %s\n", line.c_str());
  for (const harness::MessageBoxSeen& box : outcome.messageBoxes) {
    Print(L"message box \"" + box.title + L"\":\n" + box.text + L"\n");
  }
  std::printf("exit code: %lu (0x%08lX)\n", outcome.exitCode, outcome.exitCode);
  return 0;
}
