#include "Hardening/IdentityValidation.h"

#include <sddl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Utilities/Raii.h"
#include "Utilities/String.h"
#include "Utilities/Throw.h"

namespace vantor::hardening {
namespace {

using vantorlib::ThrowLastError;

WELL_KNOWN_SID_TYPE WellKnownSidType(ExpectedUser expected) {
  switch (expected) {
    case ExpectedUser::LocalService:
      return WinLocalServiceSid;
    case ExpectedUser::LocalSystem:
      return WinLocalSystemSid;
    default:
      throw std::logic_error("No well known SID type for expected user");
  }
}

std::string ActualSidText(PSID sid) {
  char* text = nullptr;
  if (!::ConvertSidToStringSidA(sid, &text)) {
    const DWORD code = ::GetLastError();
    return ", actual SID cannot be converted to string due to error: " +
           vantorlib::string::ToDecimalString(static_cast<std::uint32_t>(code));
  }
  std::string result = std::string(", actual SID ") + text;
  ::LocalFree(text);
  return result;
}

}  // namespace

const char* ExpectedSidString(ExpectedUser expected) {
  return expected == ExpectedUser::LocalService ? "S-1-5-19" : "S-1-5-18";
}

void CheckExpectedUser(HANDLE token, ExpectedUser expected) {
  if (expected == ExpectedUser::Any) return;

  DWORD length = 0;
  if (!::GetTokenInformation(token, TokenUser, nullptr, 0, &length)) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_INSUFFICIENT_BUFFER) {
      vantorlib::ThrowSystemError(code, "GetTokenInformation TokenUser failed to obtain buffer size");
    }
  }
  std::vector<BYTE> buffer(length);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), length, &length)) {
    ThrowLastError("GetTokenInformation TokenUser failed");
  }
  const WELL_KNOWN_SID_TYPE type = WellKnownSidType(expected);
  const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  if (::IsWellKnownSid(user, type)) return;
  throw std::runtime_error(std::string("Not running as expected user.Expected SID ") + ExpectedSidString(expected) +
                           ActualSidText(user));
}

void CheckExpectedSession(HANDLE token, ExpectedSession expected) {
  if (expected == ExpectedSession::Any) return;
  DWORD session = 0;
  DWORD length = 0;
  if (!::GetTokenInformation(token, TokenSessionId, &session, sizeof(session), &length)) {
    ThrowLastError("GetTokenInformation TokenSessionId failed");
  }
  if (expected != ExpectedSession::Session0 || session != 0) {
    throw std::runtime_error("Not running under expected session");
  }
}

void ValidateProcessIdentity(const ProcessSecurityConfig& config) {
  const utilities::ScopedHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, ::GetCurrentProcessId()));
  if (process.Get() == nullptr) ThrowLastError("OpenProcess failed");
  HANDLE rawToken = nullptr;
  if (!::OpenProcessToken(process.Get(), TOKEN_QUERY, &rawToken) || rawToken == nullptr) {
    ThrowLastError("OpenProcessToken failed");
  }
  const utilities::ScopedHandle token(rawToken);  // released before the process handle
  CheckExpectedUser(token.Get(), config.expectedUser);
  CheckExpectedSession(token.Get(), config.expectedSession);
}

}  // namespace vantor::hardening
