#include "Imports.h"

#include <delayimp.h>

#include <cstring>

namespace harness {

void** ImportSlot(const char* dll, const char* function) {
  auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const auto find = [&](DWORD names, DWORD slots) -> void** {
    const auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + names);
    for (std::size_t i = 0; name[i].u1.AddressOfData != 0; ++i) {
      if (IMAGE_SNAP_BY_ORDINAL(name[i].u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name[i].u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
        return reinterpret_cast<void**>(base + slots) + i;
      }
    }
    return nullptr;
  };
  const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       imports.Size != 0 && d->Name != 0; ++d) {
    if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
    if (void** slot = find(d->OriginalFirstThunk, d->FirstThunk)) return slot;
  }
  const IMAGE_DATA_DIRECTORY& delayed = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
  for (auto* d = reinterpret_cast<const ImgDelayDescr*>(base + delayed.VirtualAddress);
       delayed.Size != 0 && d->rvaDLLName != 0; ++d) {
    if (_stricmp(reinterpret_cast<const char*>(base + d->rvaDLLName), dll) != 0) continue;
    if (void** slot = find(d->rvaINT, d->rvaIAT)) return slot;
  }
  return nullptr;
}

void* Redirect(void** slot, void* replacement) {
  DWORD protection = 0;
  ::VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection);
  void* previous = *slot;
  *slot = replacement;
  ::VirtualProtect(slot, sizeof(*slot), protection, &protection);
  return previous;
}

}  // namespace harness
