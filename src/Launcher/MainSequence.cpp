#include "Launcher/MainSequence.h"

#include <string>

#include <windows.h>

#include "Utilities/Module.h"
#include "Utilities/Throw.h"

namespace vantor::launcher {
namespace {

// The launcher's own path, for the installer and whatever it starts.
void PublishLauncherPath() {
  const std::wstring path = vantorlib::module::Path();
  if (!::SetEnvironmentVariableW(kLauncherPathVariable, path.c_str())) {
    vantorlib::ThrowLastError("SetEnvironmentVariableW failed");
  }
}

}  // namespace

unsigned int RunMainSequence() {
  PublishLauncherPath();
  unsigned int exitCode = 1;
  return exitCode;
}

}  // namespace vantor::launcher
