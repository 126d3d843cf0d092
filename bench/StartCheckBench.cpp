// start-check-bench RUNS INSTALLER
// Times the launcher's start of INSTALLER (a full path) to its end, started
// suspended, proven by file identity and resumed as the launcher starts its
// installer, and, in the same run, started plainly; prints
// "checked_ms plain_ms" per run.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <string>

#include "Extraction/StartedInstaller.h"
#include "Process/ProcessRun.h"
#include "Utilities/Raii.h"

namespace {

double Milliseconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

utilities::FileHandle Open(const std::wstring& path) {
  return utilities::FileHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

double TimedRun(const vantor::process::ProcessSpec& spec) {
  LARGE_INTEGER start, end;
  std::uint32_t exitCode = 1;
  ::QueryPerformanceCounter(&start);
  vantor::process::RunProcess(spec, exitCode);
  ::QueryPerformanceCounter(&end);
  return Milliseconds(start, end);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const long runs = std::wcstol(argv[1], nullptr, 10);
  const std::filesystem::path installer = argv[2];
  const utilities::FileHandle image = Open(installer.wstring());
  const utilities::FileHandle folder = Open(installer.parent_path().wstring());
  if (!image.IsOpen() || !folder.IsOpen()) return 1;

  vantor::process::ProcessSpec plain;
  plain.application = installer.wstring();
  plain.commandLine = L"\"" + plain.application + L"\"";
  plain.workingDirectory = installer.parent_path().wstring();
  vantor::process::ProcessSpec checked;
  checked.application = plain.application;
  checked.commandLine = plain.commandLine;
  checked.workingDirectory = plain.workingDirectory;
  checked.startCheck = [&](HANDLE child) {
    vantor::extraction::CheckStartedInstaller(child, image.Get(), folder.Get(), checked.workingDirectory);
  };
  for (long run = 0; run < runs; ++run) {
    const double withCheck = TimedRun(checked);
    std::printf("%.3f %.3f\n", withCheck, TimedRun(plain));
  }
  return 0;
}
