#pragma once

// A vendor's own name, version and icon on a launcher: the stub's version
// resource, application manifest and icon group rewritten while packing.

#include <cstdint>
#include <list>
#include <optional>
#include <vector>

#include "Packaging/Branding/IconResource.h"
#include "Packaging/Branding/VersionStamp.h"
#include "Packaging/Image/ResourceSection.h"

namespace vantor::packaging {

struct Branding {
  std::optional<Version> version;  // the version numbers, and the version strings unless `strings` has them
  VersionStrings strings;
  std::vector<IconImage> icon;  // empty: the stub's icon stays
};

// `leaves` (a stub's resources) branded: the version resource and the
// manifest stamped with the version; the strings set; the first icon group
// (the one Windows shows for the file) listing the icon's images instead of
// its own, which go unless another group lists them, the new images under
// RT_ICON ids no other image has, in the group's language. Bytes made here
// are kept in `made`. Raises InputError (and FormatError for a resource not
// in form) before anything is written.
std::vector<ResourceLeaf> Brand(std::vector<ResourceLeaf> leaves, const Branding& branding,
                                std::list<std::vector<std::uint8_t>>& made);

}  // namespace vantor::packaging
