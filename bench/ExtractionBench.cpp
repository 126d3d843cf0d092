// extraction-bench RUNS
// Times the launcher's own extraction of the payload this image carries
// (WriteResourceToFile: create, write, lock, read back) and, in the same run,
// CopyFileW of the same bytes; prints "extract_ms copy_ms" per run. Each run
// uses a fresh extraction folder, removed afterwards.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>

#include "Extraction/ExtractionFolder.h"
#include "Extraction/FolderRemoval.h"
#include "Extraction/ResourceExtraction.h"

namespace {

double Milliseconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using namespace vantor::extraction;
  const long runs = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 3;
  for (long run = 0; run < runs; ++run) {
    const ExtractionFolderGuard folder(CreateExtractionFolder());
    const std::filesystem::path extracted = folder.Path() / L"Setup.exe";
    LARGE_INTEGER t0, t1, t2, t3;
    ::QueryPerformanceCounter(&t0);
    {
      utilities::FileHandle lock = WriteResourceToFile(folder.Handle(), L"Setup.exe", 100);
      ::QueryPerformanceCounter(&t1);
    }
    ::QueryPerformanceCounter(&t2);
    if (!::CopyFileW(extracted.c_str(), (folder.Path() / L"Copy.exe").c_str(), TRUE)) return 1;
    ::QueryPerformanceCounter(&t3);
    std::printf("%.3f %.3f\n", Milliseconds(t0, t1), Milliseconds(t2, t3));
  }
  return 0;
}
