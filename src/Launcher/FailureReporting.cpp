#include "Launcher/FailureReporting.h"

#include <string>

#include <windows.h>

#include "Utilities/String.h"

namespace vantor::launcher {
namespace {

void ShowFailureText(const std::wstring& firstLine) noexcept {
  try {
    const std::wstring text = firstLine + L"\n\nHelp at " + kHelpAddress;
    ::MessageBoxW(nullptr, text.c_str(), kFailureTitle, MB_OK);
  } catch (...) {
    // Out of memory while building the text: nothing more can be reported.
  }
}

}  // namespace

void ShowFailure(const std::exception& error) noexcept {
  std::wstring firstLine;
  try {
    firstLine = L"Error: '" + vantorlib::string::ToUtf16(error.what()) + L"'";
  } catch (...) {
    firstLine = L"Unexpected error.";
  }
  ShowFailureText(firstLine);
}

void ShowUnexpectedFailure() noexcept { ShowFailureText(L"Unexpected error."); }

}  // namespace vantor::launcher
