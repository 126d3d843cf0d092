#include <windows.h>

#include "Hardening/ProcessSecurity.h"
#include "Launcher/FailureReporting.h"
#include "Launcher/MainSequence.h"

// The launcher has no window; its arguments are taken from GetCommandLineW
// by the main sequence, so the entry point's own parameters go unused.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace vantor;
  // First of all, and outside the guarded region: a failure here ends the
  // process with its own exit code, before anything exists to clean up.
  hardening::InitProcessSecurity(hardening::ProcessSecurityConfig{});
  return static_cast<int>(launcher::RunGuarded(launcher::RunMainSequence));
}
