#pragma once

#include <utility>

#include "Extraction/ExtractionFolder.h"
#include "Utilities/Raii.h"

namespace vantor::extraction {

// Deletes the folder held open as `held` with everything in it, best effort:
// nothing is reported. The folder is reached through that handle only, never
// by its path, and the handle is closed on the way. Depth first, without
// recursion. A link or junction inside is deleted as an entry and never
// followed; a folder is entered only through a handle on the folder itself,
// held without delete sharing until it is empty, so nobody can redirect the
// removal to anything outside the folder. The first entry that cannot be
// deleted (held open by another process, read-only) ends the removal, and
// what is left stays.
void RemoveExtractionFolder(utilities::FileHandle held) noexcept;

// How much one sweep may do at most: the stale folders it takes on, and its
// time in all. Enough for the leftovers of many killed runs; a temporary
// directory full of them is cleared over several starts.
struct SweepBounds {
  int folders = 64;
  DWORD milliseconds = 1000;
};

// Removes, from the temporary directory held open as `temp`, the folders of
// runs that were killed: folders named as extraction folders are
// ("VantorSetup-" and a number as drawn) that no running launcher holds, each
// with the guarantees of RemoveExtractionFolder (through handles only, links
// deleted as entries and never followed, stopping at what cannot be deleted).
// Files, and names that only resemble ours, are left alone. Best effort,
// within `bounds`: nothing is reported.
void SweepStaleFolders(HANDLE temp, const SweepBounds& bounds = {}) noexcept;

// Owns the extraction folder and removes it when the run's scope is left, by
// return or by an error.
class ExtractionFolderGuard {
 public:
  explicit ExtractionFolderGuard(ExtractionFolder folder) noexcept : folder_(std::move(folder)) {}
  ExtractionFolderGuard(const ExtractionFolderGuard&) = delete;
  ExtractionFolderGuard& operator=(const ExtractionFolderGuard&) = delete;
  ~ExtractionFolderGuard() { RemoveExtractionFolder(std::move(folder_.handle)); }

  HANDLE Handle() const noexcept { return folder_.handle.Get(); }
  const std::filesystem::path& Path() const noexcept { return folder_.path; }

 private:
  ExtractionFolder folder_;
};

}  // namespace vantor::extraction
