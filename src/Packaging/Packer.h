#pragma once

// Packing: a launcher stub, an installer and its signed manifest in, a
// launcher that carries both (RT_RCDATA 100 and 101) out.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "Packaging/VersionStamp.h"

namespace vantor::packaging {

struct PackOptions {
  std::filesystem::path stub;
  std::filesystem::path installer;
  std::filesystem::path manifest;
  std::filesystem::path output;
  std::optional<Version> version;
  std::optional<std::uint16_t> machine;  // the stub's required machine, when asked for
};

// Checks every input, then writes the output beside its final place and
// renames it there. Bad input raises InputError (or FormatError for a
// malformed stub) before the output is touched; a write failure raises
// std::system_error and leaves no partial file.
void Pack(const PackOptions& options);

}  // namespace vantor::packaging
