#pragma once

#include <string>

#include "Hardening/IdentityValidation.h"

namespace vantor::hardening {

// Hardens the process before it does anything else: narrows the DLL and
// program search order, deletes PATH, makes the heap fail fast on corruption,
// checks the identity as configured and binds every delay-loaded import.
// Returns only when all of that succeeded; otherwise one debugger line and
// exit code 105 (configuration, validation) or 106 (imports).
void InitProcessSecurity(const ProcessSecurityConfig& config) noexcept;

// Writes `message` to the debugger output and ends the process with 105.
[[noreturn]] void TerminateWithMessage(const std::string& message) noexcept;

}  // namespace vantor::hardening
