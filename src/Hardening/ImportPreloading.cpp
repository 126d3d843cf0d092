#include "Hardening/ImportPreloading.h"

#include <cstdio>

#include <windows.h>
#include <delayimp.h>
#include <intrin.h>

#include "Hardening/ProcessSecurity.h"

// The toolchain's delay-load helper; <delayimp.h> names its types only.
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot);

namespace vantor::hardening {
namespace {

constexpr DWORD kModuleNotFound = 0xC06D007E;     // the library could not be loaded
constexpr DWORD kProcedureNotFound = 0xC06D007F;  // a function is missing from it
constexpr unsigned int kImportsExitCode = 106;

// Structured exception handler for the walk: only the delay-load failures are
// taken; they end the process here, so nothing needs to be unwound.
EXCEPTION_DISPOSITION __cdecl OnDelayLoadFailure(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
  const DWORD code = record->ExceptionCode;
  if (code != kModuleNotFound && code != kProcedureNotFound) return ExceptionContinueSearch;
  char text[100];
  const int length = std::snprintf(text, sizeof(text), "LoadAllImports failed: %lu", code);
  if (length > 0) ::OutputDebugStringA(text);
  EndProcess(kImportsExitCode);
}

// Registers a structured exception handler for the current scope. The 32-bit
// platform keeps a chain of registration records on the stack, headed at
// fs:[0]; this object holds such a record and unlinks it when it goes.
class ScopedExceptionHandler {
 public:
  using Handler = EXCEPTION_DISPOSITION(__cdecl*)(EXCEPTION_RECORD*, void*, CONTEXT*, void*);

  explicit ScopedExceptionHandler(Handler handler) noexcept
      : record_{reinterpret_cast<Record*>(__readfsdword(0)), handler} {
    __writefsdword(0, reinterpret_cast<DWORD>(&record_));
  }
  ScopedExceptionHandler(const ScopedExceptionHandler&) = delete;
  ScopedExceptionHandler& operator=(const ScopedExceptionHandler&) = delete;
  ~ScopedExceptionHandler() { __writefsdword(0, reinterpret_cast<DWORD>(record_.previous)); }

 private:
  // The layout the platform reads: link to the previous record, then handler.
  struct Record {
    Record* previous;
    Handler handler;
  } record_;
};

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

void LoadAllImports() noexcept {
  const ScopedExceptionHandler handler(&OnDelayLoadFailure);
  BindAll(reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr)));
}

}  // namespace vantor::hardening
