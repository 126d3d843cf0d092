#include "Launcher/FailureReporting.h"

#include <string>

#include <windows.h>

#include "Utilities/Raii.h"
#include "Utilities/String.h"

namespace vantor::launcher {
namespace {

constexpr wchar_t kEventSource[] = L"VantorSetup";
constexpr DWORD kFailureEventId = 1;

void Deregister(HANDLE source) noexcept { ::DeregisterEventSource(source); }
using EventSource = utilities::StaticRaii<HANDLE, &Deregister, unsigned int, 0>;

// A dialog can be answered only on a visible window station: the interactive
// one of a logged-on user. Services, session 0 and deployment agents run on
// stations nobody sees, where a dialog would wait forever. A station that
// cannot be asked counts as one nobody sees.
bool WindowStationVisible() {
  const HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  return station != nullptr && ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

// An error record in the Application event log, where administrators look
// for it. A failure to record it is not reported: there is no one to tell.
void RecordInEventLog(const std::wstring& text) {
  const EventSource source(::RegisterEventSourceW(nullptr, kEventSource));
  if (source.Get() == nullptr) return;
  const wchar_t* strings[] = {text.c_str()};
  ::ReportEventW(source.Get(), EVENTLOG_ERROR_TYPE, 0, kFailureEventId, nullptr, 1, 0, strings, nullptr);
}

void ReportFailureText(const std::wstring& firstLine) noexcept {
  try {
    const std::wstring text = firstLine + L"\n\nHelp at " + kHelpAddress;
    RecordInEventLog(text);  // first: the dialog may wait long, and its process be ended meanwhile
    if (WindowStationVisible()) {
      ::MessageBoxW(nullptr, text.c_str(), kFailureTitle, MB_OK);
    } else {
      ::OutputDebugStringA(vantorlib::string::ToUtf8(text).c_str());
    }
  } catch (...) {
    // Out of memory while building the text: nothing more can be reported.
  }
}

}  // namespace

void ReportFailure(const std::exception& error) noexcept {
  std::wstring firstLine;
  try {
    firstLine = L"Error: '" + vantorlib::string::ToUtf16(error.what()) + L"'";
  } catch (...) {
    firstLine = L"Unexpected error.";
  }
  ReportFailureText(firstLine);
}

void ReportUnexpectedFailure() noexcept { ReportFailureText(L"Unexpected error."); }

}  // namespace vantor::launcher
