#pragma once

#include <exception>

#include "Utilities/ExitCodes.h"

namespace vantor::launcher {

// Title of the one dialog through which the launcher reports a failure.
inline constexpr wchar_t kFailureTitle[] = L"VantorSetup failure";
// Where the dialog sends the user for help; both texts end with it.
inline constexpr wchar_t kHelpAddress[] = L"https://support.vantor.example/kb/setup-launcher-failure";

// Reports the failure text, "Error: '<what()>'\n\nHelp at <address>": as an
// error record of the source "VantorSetup" in the Application event log, then
// in the failure dialog where the window station is visible, or else in the
// debugger output (UTF-8), without waiting for anyone.
void ReportFailure(const std::exception& error) noexcept;
// The same with "Unexpected error." for anything not derived from std::exception.
void ReportUnexpectedFailure() noexcept;

// The launcher's guarded region: runs `body` and returns its exit code. Any
// error it throws has already unwound through every owner in `body` when it
// arrives here; it is reported and the exit code is 1.
template <typename Body>
unsigned int RunGuarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    ReportFailure(error);
  } catch (...) {
    ReportUnexpectedFailure();
  }
  return kFailureExitCode;
}

}  // namespace vantor::launcher
