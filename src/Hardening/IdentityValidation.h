#pragma once

#include <cstdint>

#include <windows.h>

namespace vantor::hardening {

// Which account the process must run as.
enum class ExpectedUser : std::uint32_t { Any = 0, LocalService = 1, LocalSystem = 2 };
// Which logon session the process must run in.
enum class ExpectedSession : std::uint32_t { Any = 0, Session0 = 1 };

struct ProcessSecurityConfig {
  ExpectedUser expectedUser = ExpectedUser::Any;
  ExpectedSession expectedSession = ExpectedSession::Any;
};

// Opens the process's own token and checks the account and the session as
// configured; raises on any failure or mismatch.
void ValidateProcessIdentity(const ProcessSecurityConfig& config);

void CheckExpectedUser(HANDLE token, ExpectedUser expected);
void CheckExpectedSession(HANDLE token, ExpectedSession expected);

// "S-1-5-19" for the local service account, "S-1-5-18" for local system.
const char* ExpectedSidString(ExpectedUser expected);

}  // namespace vantor::hardening
