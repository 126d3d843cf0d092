#pragma once

// Stamping a version A.B.C.D into a version resource (VS_VERSIONINFO) and an
// application manifest's assemblyIdentity, without a resource compiler.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Packaging/Image/ByteView.h"

namespace vantor::packaging {

using Version = std::array<std::uint16_t, 4>;

// "A.B.C.D", each part 0-65535 in decimal; raises InputError otherwise.
Version ParseVersion(std::string_view text);
std::string FormatVersion(const Version& version);

// The version resource with FILEVERSION and PRODUCTVERSION of its fixed part,
// and every "FileVersion" and "ProductVersion" string value, set to `version`.
// The tree is written again, so values may change length. Raises FormatError
// for a resource that is not a well-formed VS_VERSIONINFO, InputError for one
// without fixed file information.
std::vector<std::uint8_t> StampVersionResource(ByteView resource, const Version& version);

// A value for one of the standard keys of a version resource's string table.
struct VersionString {
  std::u16string key;
  std::u16string value;
};
using VersionStrings = std::vector<VersionString>;

// "KEY=VALUE" from the command line (UTF-8) added to `strings`. Raises
// InputError for a key that is not one of the ten standard ones or is already
// in `strings`, and for a value that is not UTF-8, holds a NUL or could not
// fit in a version resource.
void AddVersionString(VersionStrings& strings, std::string_view argument);

// The keys AddVersionString takes, for the usage text: "CompanyName, ...".
std::string VersionStringKeys();

// The version resource stamped with `version` when given (as
// StampVersionResource does), then with every value of `strings` set in each
// of its string tables, replacing the one there or added after them. Raises
// FormatError as StampVersionResource does, and InputError for a resource
// without a string table or one that the values make larger than the format
// allows (64 KiB).
std::vector<std::uint8_t> StampVersionResource(ByteView resource, const std::optional<Version>& version,
                                               const VersionStrings& strings);

// The value of attribute `name` of an application manifest's assemblyIdentity
// element, if it has one; raises InputError when the element is missing or
// not well-formed.
std::optional<std::string> AssemblyIdentityAttribute(std::string_view manifest, std::string_view name);

// The manifest with the version attribute of its assemblyIdentity element set
// to `version`; raises InputError when the element or attribute is missing.
std::string StampManifestVersion(std::string_view manifest, const Version& version);

}  // namespace vantor::packaging
