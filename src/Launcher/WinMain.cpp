#include <windows.h>

#include "Launcher/FailureReporting.h"
#include "Launcher/MainSequence.h"

// The launcher has no window; its arguments are taken from GetCommandLineW
// by the main sequence, so the entry point's own parameters go unused.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace vantor::launcher;
  return static_cast<int>(RunGuarded(RunMainSequence));
}
