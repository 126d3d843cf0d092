#include "Hardening/ProcessSecurity.h"

#include <exception>

#include <windows.h>

#include "Hardening/IdentityValidation.h"
#include "Hardening/ImportPreloading.h"
#include "Hardening/ProcessEnd.h"
#include "Utilities/ExitCodes.h"
#include "Utilities/Throw.h"

namespace vantor::hardening {
namespace {

constexpr DWORD kSafeSearchPermanent = 0x8001;  // BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | ..._PERMANENT
constexpr DWORD kSearchSystem32 = 0x800;        // LOAD_LIBRARY_SEARCH_SYSTEM32

using vantorlib::ThrowLastError;

// Only where the system has it (Windows 8, or 7 with its update).
void RestrictDefaultDllDirectories() {
  const HMODULE kernel32 = ::GetModuleHandleW(L"Kernel32.dll");
  if (kernel32 == nullptr) ThrowLastError("GetModuleHandleW failed");
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories == nullptr) return;
  if (!setDefaultDllDirectories(kSearchSystem32)) ThrowLastError("SetDefaultDllDirectories failed");
}

void ConfigureProcess() {
  // The first delay-loaded call comes before the imports are bound: identity
  // validation opens the token through advapi32.
  WatchDelayLoadFailures();
  if (!::SetSearchPathMode(kSafeSearchPermanent)) ThrowLastError("SetSearchPathMode failed");
  if (!::SetDllDirectoryW(L"")) ThrowLastError("SetDllDirectoryW failed");  // drops the current directory
  RestrictDefaultDllDirectories();
  if (!::SetEnvironmentVariableW(L"PATH", nullptr)) ThrowLastError("SetEnvironmentVariableW failed");
  const HANDLE heap = ::GetProcessHeap();
  if (heap == nullptr) ThrowLastError("GetProcessHeap failed");
  if (!::HeapSetInformation(heap, HeapEnableTerminationOnCorruption, nullptr, 0)) {
    ThrowLastError("HeapSetInformation failed");
  }
}

}  // namespace

void TerminateWithMessage(const std::string& message) noexcept {
  ::OutputDebugStringA(message.c_str());
  EndProcess(kSecurityExitCode);
}

void InitProcessSecurity(const ProcessSecurityConfig& config) noexcept {
  try {
    ConfigureProcess();
  } catch (const std::exception& error) {
    TerminateWithMessage(std::string("Process security configuration failed: ") + error.what());
  }
  try {
    ValidateProcessIdentity(config);
  } catch (const std::exception& error) {
    TerminateWithMessage(std::string("Process security validation failed: ") + error.what());
  }
  LoadAllImports();
}

}  // namespace vantor::hardening
