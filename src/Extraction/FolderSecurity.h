#pragma once

#include <vector>

#include <windows.h>

namespace vantor::extraction {

// A self-relative security descriptor for the extraction folder: a protected
// DACL (nothing inherited from the temporary directory) granting full control
// to SYSTEM, the Administrators group and the token's owner, inherited by
// everything created inside; nobody else gets any access.
std::vector<BYTE> ProtectedFolderSecurity();

}  // namespace vantor::extraction
