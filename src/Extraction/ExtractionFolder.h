#pragma once

#include <filesystem>

namespace vantor::extraction {

// Creates "VantorSetup-<random decimal>" under the user's temporary directory
// and returns its full path. Never returns a folder that existed before: a
// clash raises "Failed to create a fresh extraction folder".
std::filesystem::path CreateExtractionFolder();

// The system directory (of this process's bitness), without trailing separator.
std::filesystem::path GetSystemDirectoryPath();

}  // namespace vantor::extraction
