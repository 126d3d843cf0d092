// An installer that reports its parent's (the launcher's) memory while it
// runs, one line appended to the file named by VANTOR_BENCH_REPORT: peak
// private bytes (peak commit charge), working set, peak working set.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>

namespace {

DWORD ParentProcessId() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  DWORD parent = 0;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == ::GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  ::CloseHandle(snapshot);
  return parent;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t report[MAX_PATH] = {};
  if (::GetEnvironmentVariableW(L"VANTOR_BENCH_REPORT", report, MAX_PATH) == 0) return 2;
  const HANDLE parent = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ParentProcessId());
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (parent == nullptr ||
      !::K32GetProcessMemoryInfo(parent, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters))) {
    return 3;
  }
  ::CloseHandle(parent);
  FILE* out = ::_wfopen(report, L"a");
  if (out == nullptr) return 4;
  std::fprintf(out, "%lu %lu %lu\n", static_cast<unsigned long>(counters.PeakPagefileUsage),
               static_cast<unsigned long>(counters.WorkingSetSize), static_cast<unsigned long>(counters.PeakWorkingSetSize));
  std::fclose(out);
  return 0;
}
