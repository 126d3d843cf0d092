#include "Extraction/Seams.h"

#include <random>

namespace vantor::extraction::seam {

std::uint32_t FolderNumberSeed() { return std::random_device{}(); }

void FolderCreated() {}

void PayloadUnlocked() {}

void RemovalStepReached(RemovalStep, std::wstring_view) {}

}  // namespace vantor::extraction::seam
