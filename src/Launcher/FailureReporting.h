#pragma once

#include <exception>

#include "Utilities/ExitCodes.h"

namespace vantor::launcher {

// Title of the one dialog through which the launcher reports a failure.
inline constexpr wchar_t kFailureTitle[] = L"VantorSetup failure";
// Where the dialog sends the user for help; both texts end with it.
inline constexpr wchar_t kHelpAddress[] = L"https://support.vantor.example/kb/setup-launcher-failure";

// "Error: '<what()>'\n\nHelp at <address>" in the failure dialog.
void ShowFailure(const std::exception& error) noexcept;
// "Unexpected error.\n\nHelp at <address>" for anything not derived from std::exception.
void ShowUnexpectedFailure() noexcept;

// The launcher's guarded region: runs `body` and returns its exit code. Any
// error it throws has already unwound through every owner in `body` when it
// arrives here; it is shown in the failure dialog and the exit code is 1.
template <typename Body>
unsigned int RunGuarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    ShowFailure(error);
  } catch (...) {
    ShowUnexpectedFailure();
  }
  return kFailureExitCode;
}

}  // namespace vantor::launcher
