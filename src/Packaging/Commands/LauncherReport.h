#pragma once

// What a packed launcher carries, read with the packer's bounded readers and
// never run: its architecture, version strings and icon sizes, the installer's
// size and SHA-256, the manifest's facts and verdict, the image's security
// properties and whether it carries an Authenticode signature.

#include <filesystem>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor::packaging {

enum class ReportFormat { kText, kJson };

// The report on the launcher at `path`. Raises InputError with one line of
// reason for a file that is no launcher of this project's, or a damaged one.
std::string InspectLauncher(const std::filesystem::path& path, ReportFormat format);
// The same for a launcher's bytes, named `what` in messages.
std::string InspectLauncher(std::vector<std::uint8_t> bytes, const std::string& what, ReportFormat format);

}  // namespace vantor::packaging
