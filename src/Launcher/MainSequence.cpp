#include "Launcher/MainSequence.h"

#include <cstdint>
#include <filesystem>
#include <string>

#include <windows.h>

#include "Extraction/ExtractionFolder.h"
#include "Extraction/FolderRemoval.h"
#include "Extraction/ResourceExtraction.h"
#include "Extraction/StartedInstaller.h"
#include "Launcher/StubContract.h"
#include "Process/ProcessRun.h"
#include "Process/ProcessDescription.h"
#include "Utilities/Module.h"
#include "Utilities/Raii.h"
#include "Utilities/ExitCodes.h"
#include "Utilities/Throw.h"

namespace vantor::launcher {
namespace {

constexpr wchar_t kInstallerName[] = L"Setup.exe";
constexpr wchar_t kManifestName[] = L"scf.dat";

// The launcher's own path, for the installer and whatever it starts.
void PublishLauncherPath() {
  const std::wstring path = vantorlib::module::Path();
  if (!::SetEnvironmentVariableW(kLauncherPathVariable, path.c_str())) {
    vantorlib::ThrowLastError("SetEnvironmentVariableW failed");
  }
}

}  // namespace

// Owners are declared in the order things come into being, so that leaving
// this function, by return or by an error, closes the manifest, then the
// installer, then removes the folder: never while a file of ours is open.
unsigned int RunMainSequence() {
  PublishLauncherPath();

  // From here on the folder is reached only through what it was created as:
  // its handle, and the path that handle gives.
  const extraction::ExtractionFolderGuard folder(extraction::CreateExtractionFolder());
  const utilities::FileHandle installerLock =
      extraction::WriteResourceToFile(folder.Handle(), kInstallerName, contract::kInstallerResource);
  const utilities::FileHandle manifestLock =
      extraction::WriteResourceToFile(folder.Handle(), kManifestName, contract::kManifestResource);

  process::ProcessSpec installer;
  installer.application = (folder.Path() / kInstallerName).wstring();
  installer.workingDirectory = folder.Path().wstring();
  installer.commandLine = ::GetCommandLineW();  // verbatim: the launcher's own token and every argument
  // The system looks both names up again: before the installer runs, prove
  // that they led to the file and the folder held here.
  installer.startCheck = [&](HANDLE child) {
    extraction::CheckStartedInstaller(child, installerLock.Get(), folder.Handle(), installer.workingDirectory);
  };

  std::uint32_t exitCode = kFailureExitCode;  // until the installer gives its own
  process::RunProcess(installer, exitCode);
  return exitCode;
}

}  // namespace vantor::launcher
