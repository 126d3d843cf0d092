#include "Extraction/Seams.h"

#include <random>

namespace vantor::extraction::seam {

std::uint32_t FolderNumberSeed() { return std::random_device{}(); }

void FolderCreated() {}

void PayloadUnlocked() {}

void RemovalStepReached(RemovalStep, std::wstring_view, ULONG) {}

FARPROC KernelFunction(const char* name) { return ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name); }

VolumeFacts TemporaryVolume(HANDLE directory) { return QueryVolume(directory); }

void InstallerStarted(HANDLE, std::wstring&, std::wstring&) {}

}  // namespace vantor::extraction::seam
