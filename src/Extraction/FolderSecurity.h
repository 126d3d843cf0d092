#pragma once

#include <vector>

#include <windows.h>

namespace vantor::extraction {

// What the folder's access depends on: whether this process runs elevated,
// and the account it runs as (a SID's bytes).
struct RunningToken {
  bool elevated;
  std::vector<BYTE> user;
};

RunningToken QueryRunningToken();

// A self-relative security descriptor for the extraction folder, set
// explicitly whatever the token's default owner is: a protected DACL
// (nothing inherited from the temporary directory) granting full control to
// SYSTEM and the Administrators group, inherited by everything created
// inside, and nobody else any access. Elevated, the Administrators group owns
// the folder and the user's own account gets nothing, so the user's
// unelevated processes can neither plant files there nor rewrite the list;
// not elevated, the user owns it and has full control as well.
std::vector<BYTE> ProtectedFolderSecurity(const RunningToken& token);

}  // namespace vantor::extraction
