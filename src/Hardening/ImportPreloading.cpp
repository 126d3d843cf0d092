#include "Hardening/ImportPreloading.h"

#include <cstdio>

#include <windows.h>
#include <delayimp.h>
#include <intrin.h>

#include "Hardening/ProcessSecurity.h"
#include "Utilities/ExitCodes.h"
#include "Utilities/Throw.h"

// The toolchain's delay-load helper; <delayimp.h> names its types only.
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot);

namespace vantor::hardening {
namespace {

constexpr DWORD kModuleNotFound = 0xC06D007E;     // the library could not be loaded
constexpr DWORD kProcedureNotFound = 0xC06D007F;  // a function is missing from it

bool IsDelayLoadFailure(DWORD code) { return code == kModuleNotFound || code == kProcedureNotFound; }

// A delay-load failure during the walk ends the process here, so nothing
// needs to be unwound.
[[noreturn]] void EndWithDelayLoadFailure(DWORD code) noexcept {
  char text[100];
  const int length = std::snprintf(text, sizeof(text), "LoadAllImports failed: %lu", code);
  if (length > 0) ::OutputDebugStringA(text);
  EndProcess(kImportsExitCode);
}

// Whether the failure is one of this image's own imports: the helper raises
// it with its DelayLoadInfo, whose descriptor lies in the image that imports.
// (System DLLs delay-load too, and may handle their own failures.)
bool IsOwnDelayLoadFailure(const EXCEPTION_RECORD& record) {
  if (!IsDelayLoadFailure(record.ExceptionCode) || record.NumberParameters < 1) return false;
  const auto* info = reinterpret_cast<const DelayLoadInfo*>(record.ExceptionInformation[0]);
  const auto* base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const auto* descriptor = reinterpret_cast<const BYTE*>(info->pidd);
  return descriptor >= base && descriptor < base + nt->OptionalHeader.SizeOfImage;
}

// As a vectored handler: it sees every exception of the process before any
// frame-based handler does.
LONG CALLBACK OnDelayLoadFailure(EXCEPTION_POINTERS* exception) {
  if (!IsOwnDelayLoadFailure(*exception->ExceptionRecord)) return EXCEPTION_CONTINUE_SEARCH;
  EndWithDelayLoadFailure(exception->ExceptionRecord->ExceptionCode);
}

#if defined(_M_IX86)

EXCEPTION_DISPOSITION __cdecl OnDelayLoadFailure(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
  if (!IsDelayLoadFailure(record->ExceptionCode)) return ExceptionContinueSearch;
  EndWithDelayLoadFailure(record->ExceptionCode);
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

#else

// 64-bit Windows keeps no chain of handler records on the stack (its frames
// are described by unwind tables), so the walk is watched by a vectored
// handler instead, added first in line for the current scope only.
class ScopedExceptionHandler {
 public:
  explicit ScopedExceptionHandler(PVECTORED_EXCEPTION_HANDLER handler) noexcept
      : registration_(::AddVectoredExceptionHandler(1, handler)) {
    if (registration_ == nullptr) EndWithDelayLoadFailure(::GetLastError());
  }
  ScopedExceptionHandler(const ScopedExceptionHandler&) = delete;
  ScopedExceptionHandler& operator=(const ScopedExceptionHandler&) = delete;
  ~ScopedExceptionHandler() { ::RemoveVectoredExceptionHandler(registration_); }

 private:
  void* registration_;
};

#endif

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
  const ScopedExceptionHandler handler(&OnDelayLoadFailure);
  BindAll(reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr)));
}

}  // namespace vantor::hardening
