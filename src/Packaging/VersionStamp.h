#pragma once

// Stamping a version A.B.C.D into a version resource (VS_VERSIONINFO) and an
// application manifest's assemblyIdentity, without a resource compiler.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Packaging/ByteView.h"

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

// The value of attribute `name` of an application manifest's assemblyIdentity
// element, if it has one; raises InputError when the element is missing or
// not well-formed.
std::optional<std::string> AssemblyIdentityAttribute(std::string_view manifest, std::string_view name);

// The manifest with the version attribute of its assemblyIdentity element set
// to `version`; raises InputError when the element or attribute is missing.
std::string StampManifestVersion(std::string_view manifest, const Version& version);

}  // namespace vantor::packaging
