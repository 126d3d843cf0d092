#pragma once

// The launcher's own exit codes. On success it exits with the installer's.
namespace vantor {

// Any failure after the process was hardened, once reported (event log, and
// the failure dialog or, where nobody could answer it, the debugger output).
inline constexpr unsigned int kFailureExitCode = 1;
// Process security could not be configured, or the identity check failed.
inline constexpr unsigned int kSecurityExitCode = 105;
// A delay-loaded import could not be bound.
inline constexpr unsigned int kImportsExitCode = 106;

}  // namespace vantor
