#pragma once

#include <windows.h>

#include "Hardening/ProcessSecurity.h"

namespace vantor::hardening {

// Opens the process's own token and checks the account and the session as
// configured; raises on any failure or mismatch.
void ValidateProcessIdentity(const ProcessSecurityConfig& config);

void CheckExpectedUser(HANDLE token, ExpectedUser expected);
void CheckExpectedSession(HANDLE token, ExpectedSession expected);

// "S-1-5-19" for the local service account, "S-1-5-18" for local system.
const char* ExpectedSidString(ExpectedUser expected);

}  // namespace vantor::hardening
