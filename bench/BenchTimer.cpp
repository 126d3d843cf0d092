// bench-timer RUNS PROGRAM [ARGUMENTS...]
// Starts PROGRAM RUNS times, one after the other, and prints the wall time of
// each run in milliseconds, measured with QueryPerformanceCounter from just
// before CreateProcessW to the end of the wait for the process.
// With VANTOR_BENCH_STALE=N, each run gets a fresh temporary directory of its
// own (TMP and TEMP) holding N folders as killed launcher runs leave them
// ("VantorSetup-<n>" with Setup.exe, scf.dat and a nested folder of the
// installer's), made before the clock starts.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

void WriteFileOfSize(const std::wstring& path, DWORD size) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const std::vector<char> bytes(size, 'x');
  DWORD written = 0;
  ::WriteFile(file, bytes.data(), size, &written, nullptr);
  ::CloseHandle(file);
}

// A new temporary directory in `base`, with `count` stale folders in it, set
// as TMP and TEMP for the programs this one starts.
std::wstring MakeTempWithStaleFolders(const std::wstring& base, long run, long count) {
  const std::wstring temp = base + L"vantor-bench-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(run) + L"\\";
  ::CreateDirectoryW(temp.c_str(), nullptr);
  for (long i = 0; i < count; ++i) {
    const std::wstring folder = temp + L"VantorSetup-" + std::to_wstring(1000 + i);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    WriteFileOfSize(folder + L"\\Setup.exe", 64 << 10);
    WriteFileOfSize(folder + L"\\scf.dat", 2 << 10);
    ::CreateDirectoryW((folder + L"\\cache").c_str(), nullptr);
    WriteFileOfSize(folder + L"\\cache\\unpacked.bin", 16 << 10);
  }
  ::SetEnvironmentVariableW(L"TMP", temp.c_str());
  ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
  return temp;
}

// Deletes the folder tree `folder` that this program made; returns how many
// entries it held.
int RemoveTree(const std::wstring& folder) {
  int entries = 0;
  WIN32_FIND_DATAW entry;
  const HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      ++entries;
      const std::wstring path = folder + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(folder.c_str());
  return entries;
}

}  // namespace

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
  const wchar_t* stale = _wgetenv(L"VANTOR_BENCH_STALE");
  wchar_t base[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, base);

  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  for (long run = 0; run < runs; ++run) {
    const std::wstring temp = stale != nullptr ? MakeTempWithStaleFolders(base, run, std::wcstol(stale, nullptr, 10)) : L"";
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
    if (!temp.empty()) {
      // The launcher sweeps within its bounds; what it left waits for a later start.
      const int left = RemoveTree(temp.substr(0, temp.size() - 1));
      if (left != 0) std::fprintf(stderr, "run %ld: %d stale folders left for a later start\n", run, left);
    }
    std::printf("%.3f\n", 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  }
  return 0;
}
