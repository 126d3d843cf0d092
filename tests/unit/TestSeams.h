#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "Extraction/Seams.h"

// This test program links its own definitions of the extraction seams, which
// call these functions when a test has set them (and otherwise behave as the
// launcher's own: the seed then comes from the system's random source).
namespace test_seams {

using vantor::extraction::seam::RemovalStep;

extern std::function<std::uint32_t()> folderNumberSeed;
extern std::function<void()> folderCreated;
extern std::function<void()> payloadUnlocked;
extern std::function<void(RemovalStep, std::wstring_view)> removalStep;

// Clears all of them when the test's scope ends.
struct Cleared {
  Cleared() = default;
  Cleared(const Cleared&) = delete;
  Cleared& operator=(const Cleared&) = delete;
  ~Cleared();
};

}  // namespace test_seams
