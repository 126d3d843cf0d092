#include "TestSeams.h"

#include <random>

#include "Utilities/Module.h"

namespace test_seams {

std::function<std::uint32_t()> folderNumberSeed;
std::function<void()> folderCreated;
std::function<void()> payloadUnlocked;
std::function<void(RemovalStep, std::wstring_view, ULONG)> removalStep;
std::function<FARPROC(const char*)> kernelFunction;
std::function<vantor::extraction::VolumeFacts(HANDLE)> temporaryVolume;
std::function<void(HANDLE, std::wstring&, std::wstring&)> installerStarted;
std::function<unsigned long(wchar_t*, unsigned long)> moduleFileName;

Cleared::~Cleared() {
  folderNumberSeed = nullptr;
  folderCreated = nullptr;
  payloadUnlocked = nullptr;
  removalStep = nullptr;
  kernelFunction = nullptr;
  temporaryVolume = nullptr;
  installerStarted = nullptr;
  moduleFileName = nullptr;
}

}  // namespace test_seams

namespace vantor::extraction::seam {

std::uint32_t FolderNumberSeed() {
  return test_seams::folderNumberSeed ? test_seams::folderNumberSeed() : std::random_device{}();
}

void FolderCreated() {
  if (test_seams::folderCreated) test_seams::folderCreated();
}

void PayloadUnlocked() {
  if (test_seams::payloadUnlocked) test_seams::payloadUnlocked();
}

void RemovalStepReached(RemovalStep step, std::wstring_view name, ULONG options) {
  if (test_seams::removalStep) test_seams::removalStep(step, name, options);
}

FARPROC KernelFunction(const char* name) {
  return test_seams::kernelFunction ? test_seams::kernelFunction(name)
                                    : ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name);
}

VolumeFacts TemporaryVolume(HANDLE directory) {
  return test_seams::temporaryVolume ? test_seams::temporaryVolume(directory) : QueryVolume(directory);
}

void InstallerStarted(HANDLE process, std::wstring& image, std::wstring& folder) {
  if (test_seams::installerStarted) test_seams::installerStarted(process, image, folder);
}

}  // namespace vantor::extraction::seam

namespace vantorlib::module::seam {

unsigned long ModuleFileName(wchar_t* buffer, unsigned long size) {
  return test_seams::moduleFileName ? test_seams::moduleFileName(buffer, size)
                                    : ::GetModuleFileNameW(nullptr, buffer, size);
}

}  // namespace vantorlib::module::seam
