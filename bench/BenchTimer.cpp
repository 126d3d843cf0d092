// bench-timer RUNS PROGRAM [ARGUMENTS...]
// Starts PROGRAM RUNS times, one after the other, and prints the wall time of
// each run in milliseconds, measured with QueryPerformanceCounter from just
// before CreateProcessW to the end of the wait for the process.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: bench-timer RUNS PROGRAM [ARGUMENTS...]\n", stderr);
    return 2;
  }
  const long runs = std::wcstol(argv[1], nullptr, 10);
  wchar_t program[MAX_PATH] = {};
  ::GetFullPathNameW(argv[2], MAX_PATH, program, nullptr);
  std::wstring arguments = L"\"" + std::wstring(program) + L"\"";
  for (int i = 3; i < argc; ++i) arguments += std::wstring(L" ") + argv[i];

  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  for (long run = 0; run < runs; ++run) {
    std::wstring commandLine = arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    if (!::CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      std::fprintf(stderr, "CreateProcessW failed: %lu\n", ::GetLastError());
      return 1;
    }
    ::WaitForSingleObject(info.hProcess, INFINITE);
    ::QueryPerformanceCounter(&end);
    DWORD exitCode = 0;
    ::GetExitCodeProcess(info.hProcess, &exitCode);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    if (exitCode != 0) {
      std::fprintf(stderr, "run %ld exited with %lu\n", run, exitCode);
      return 1;
    }
    std::printf("%.3f\n", 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  }
  return 0;
}
