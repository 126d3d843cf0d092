#include "TestSeams.h"

#include <random>

namespace test_seams {

std::function<std::uint32_t()> folderNumberSeed;
std::function<void()> folderCreated;
std::function<void()> payloadUnlocked;
std::function<void(RemovalStep, std::wstring_view)> removalStep;

Cleared::~Cleared() {
  folderNumberSeed = nullptr;
  folderCreated = nullptr;
  payloadUnlocked = nullptr;
  removalStep = nullptr;
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

void RemovalStepReached(RemovalStep step, std::wstring_view name) {
  if (test_seams::removalStep) test_seams::removalStep(step, name);
}

}  // namespace vantor::extraction::seam
