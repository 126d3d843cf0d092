#include "Hardening/ImportPreloading.h"

#include <cstdio>

#include <windows.h>
#include <delayimp.h>

#include "Hardening/ProcessEnd.h"
#include "Utilities/ExitCodes.h"
#include "Utilities/Throw.h"

// The toolchain's delay-load helper; <delayimp.h> names its types only.
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot);

namespace vantor::hardening {
namespace {

constexpr DWORD kModuleNotFound = 0xC06D007E;     // the library could not be loaded
constexpr DWORD kProcedureNotFound = 0xC06D007F;  // a function is missing from it

bool IsDelayLoadFailure(DWORD code) { return code == kModuleNotFound || code == kProcedureNotFound; }

// A delay-load failure ends the process where it happens, so nothing needs
// to be unwound.
[[noreturn]] void EndWithDelayLoadFailure(DWORD code) noexcept {
  char text[100];
  const int length = std::snprintf(text, sizeof(text), "LoadAllImports failed: %lu", code);
  if (length > 0) ::OutputDebugStringA(text);
  EndProcess(kImportsExitCode);
}

// Whether the failure is one of this image's own imports: the helper raises
// it with its DelayLoadInfo, whose descriptor lies in the image that imports.
// (System DLLs delay-load too, and may handle their own failures.) The count
// says whether that parameter was given at all.
bool IsOwnDelayLoadFailure(const EXCEPTION_RECORD& record) {
  if (!IsDelayLoadFailure(record.ExceptionCode) || record.NumberParameters < 1) return false;
  const auto* info = reinterpret_cast<const DelayLoadInfo*>(record.ExceptionInformation[0]);
  const auto* base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const auto* descriptor = reinterpret_cast<const BYTE*>(info->pidd);
  return descriptor >= base && descriptor < base + nt->OptionalHeader.SizeOfImage;
}

// As a vectored handler, added first in line: it sees every exception of the
// process before any frame-based handler does, on either architecture.
LONG CALLBACK OnDelayLoadFailure(EXCEPTION_POINTERS* exception) {
  if (!IsOwnDelayLoadFailure(*exception->ExceptionRecord)) return EXCEPTION_CONTINUE_SEARCH;
  EndWithDelayLoadFailure(exception->ExceptionRecord->ExceptionCode);
}

const ImgDelayDescr* DelayImportDirectory(const BYTE* base) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
  if (entry.Size == 0) return nullptr;
  return reinterpret_cast<const ImgDelayDescr*>(base + entry.VirtualAddress);
}

void BindAll(const BYTE* base) {
  for (const ImgDelayDescr* descriptor = DelayImportDirectory(base); descriptor && descriptor->rvaDLLName != 0;
       ++descriptor) {
    auto* slots = reinterpret_cast<FARPROC*>(const_cast<BYTE*>(base) + descriptor->rvaIAT);
    std::size_t count = 0;
    while (slots[count] != nullptr) ++count;
    for (std::size_t i = 0; i < count; ++i) __delayLoadHelper2(descriptor, &slots[i]);
  }
}

}  // namespace

void WatchDelayLoadFailures() {
  if (::AddVectoredExceptionHandler(1, &OnDelayLoadFailure) == nullptr) {
    vantorlib::ThrowLastError("AddVectoredExceptionHandler failed");
  }
}

void LoadAllImports() noexcept {
  BindAll(reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr)));
}

}  // namespace vantor::hardening
