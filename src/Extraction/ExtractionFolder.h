#pragma once

#include <cstdint>
#include <filesystem>

#include "Utilities/Raii.h"

namespace vantor::extraction {

// Extraction folders are named this prefix and a number from 0 to the largest
// one, in plain decimal.
inline constexpr wchar_t kFolderPrefix[] = L"VantorSetup-";
inline constexpr std::uint32_t kLargestFolderNumber = 0x7FFFFFFF;

// The extraction folder, held open from its creation on. The handle shares
// reading and writing but not deleting, and asks for no delete access itself:
// while it is open nobody can rename, replace or delete the folder, yet the
// installer can make it its current folder and create, rename and delete its
// own files in it. `path` is what the handle says the folder's path is, links
// resolved; the temporary path that led to it is never used again.
struct ExtractionFolder {
  utilities::FileHandle handle;
  std::filesystem::path path;
};

// Creates "VantorSetup-<random decimal>" under the user's temporary directory
// (GetTempPath2W's where the system has it), with the protected descriptor of
// ProtectedFolderSecurity, and opens it in the same step. Never returns a
// folder that existed before: a clash raises "Failed to create a fresh
// extraction folder". Elevated, it refuses a temporary directory on a volume
// without persistent access lists or across the network.
ExtractionFolder CreateExtractionFolder();

// The system directory (of this process's bitness), without trailing separator.
std::filesystem::path GetSystemDirectoryPath();

// The folder's path as the handle gives it, in the ordinary form ("C:\...",
// "\\server\share\...") where there is one. Raises "Failed to name the
// extraction folder exactly" when the system would read that form as another
// name (a name ending in a dot or a space loses it).
std::filesystem::path FinalPath(HANDLE folder);

}  // namespace vantor::extraction
