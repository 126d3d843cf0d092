#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Extraction/Seams.h"

// This test program links its own definitions of the extraction seams, which
// call these functions when a test has set them (and otherwise behave as the
// launcher's own: the seed then comes from the system's random source, and
// the system answers the queries).
namespace test_seams {

using vantor::extraction::seam::RemovalStep;

extern std::function<std::uint32_t()> folderNumberSeed;
extern std::function<void()> folderCreated;
extern std::function<void()> payloadUnlocked;
extern std::function<void(RemovalStep, std::wstring_view, ULONG)> removalStep;
extern std::function<FARPROC(const char*)> kernelFunction;
extern std::function<vantor::extraction::VolumeFacts(HANDLE)> temporaryVolume;
extern std::function<void(HANDLE, std::wstring&, std::wstring&)> installerStarted;
extern std::function<unsigned long(wchar_t*, unsigned long)> moduleFileName;

// Clears all of them when the test's scope ends.
struct Cleared {
  Cleared() = default;
  Cleared(const Cleared&) = delete;
  Cleared& operator=(const Cleared&) = delete;
  ~Cleared();
};

}  // namespace test_seams
