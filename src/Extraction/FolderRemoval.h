#pragma once

#include <filesystem>

namespace vantor::extraction {

// Deletes `folder` with everything in it, best effort: links and junctions
// inside are deleted as entries and never followed; the first entry that
// cannot be deleted ends the removal; no error is reported.
void RemoveExtractionFolder(const std::filesystem::path& folder) noexcept;

// Removes the extraction folder when the run's scope is left, by return or by
// an error. Refers to the caller's path, which must outlive the guard.
class ExtractionFolderGuard {
 public:
  explicit ExtractionFolderGuard(const std::filesystem::path& folder) noexcept : folder_(folder) {}
  ExtractionFolderGuard(const ExtractionFolderGuard&) = delete;
  ExtractionFolderGuard& operator=(const ExtractionFolderGuard&) = delete;
  ~ExtractionFolderGuard() { RemoveExtractionFolder(folder_); }

 private:
  const std::filesystem::path& folder_;
};

}  // namespace vantor::extraction
