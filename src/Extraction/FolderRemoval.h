#pragma once

#include <filesystem>
#include <string>
#include <utility>

namespace vantor::extraction {

// Deletes `folder` with everything in it, best effort: nothing is reported.
// Depth first, without recursion. A link or junction inside is deleted as an
// entry and never followed; a folder is entered only through a handle on the
// folder itself, held without delete sharing until it is empty, so nobody can
// redirect the removal to anything outside `folder`. The first entry that
// cannot be deleted (held open by another process, read-only) ends the
// removal, and what is left stays.
void RemoveExtractionFolder(const std::filesystem::path& folder) noexcept;

// `path` (a full path) in its extended-length form, which reaches any depth:
// "\\?\C:\..." or, for a share, "\\?\UNC\server\share\...".
std::wstring ExtendedLengthPath(const std::wstring& path);

// Owns the path of the extraction folder and removes the folder when the run's
// scope is left, by return or by an error.
class ExtractionFolderGuard {
 public:
  explicit ExtractionFolderGuard(std::filesystem::path folder) noexcept : folder_(std::move(folder)) {}
  ExtractionFolderGuard(const ExtractionFolderGuard&) = delete;
  ExtractionFolderGuard& operator=(const ExtractionFolderGuard&) = delete;
  ~ExtractionFolderGuard() { RemoveExtractionFolder(folder_); }

  const std::filesystem::path& Path() const noexcept { return folder_; }

 private:
  std::filesystem::path folder_;
};

}  // namespace vantor::extraction
