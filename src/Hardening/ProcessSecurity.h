#pragma once

#include <cstdint>
#include <string>

namespace vantor::hardening {

// Which account the process must run as.
enum class ExpectedUser : std::uint32_t { Any = 0, LocalService = 1, LocalSystem = 2 };
// Which logon session the process must run in.
enum class ExpectedSession : std::uint32_t { Any = 0, Session0 = 1 };

struct ProcessSecurityConfig {
  ExpectedUser expectedUser = ExpectedUser::Any;
  ExpectedSession expectedSession = ExpectedSession::Any;
};

// Hardens the process before it does anything else: narrows the DLL and
// program search order, deletes PATH, makes the heap fail fast on corruption,
// checks the identity as configured and binds every delay-loaded import.
// Returns only when all of that succeeded; otherwise one debugger line and
// exit code 105 (configuration, validation) or 106 (imports).
void InitProcessSecurity(const ProcessSecurityConfig& config) noexcept;

// Writes `message` to the debugger output and ends the process with 105.
[[noreturn]] void TerminateWithMessage(const std::string& message) noexcept;

// Ends the process with `exitCode`, even should TerminateProcess return.
[[noreturn]] void EndProcess(unsigned int exitCode) noexcept;

}  // namespace vantor::hardening
