#pragma once

#include <string>

#include <windows.h>

namespace vantor::extraction {

// The failure when a started child is not the installer that was extracted.
inline constexpr char kNotTheExtractedInstaller[] = "Failed to verify the started installer";

// Proves, by volume and file identity, that the child `process` (started
// suspended) is the extracted installer: the image the system mapped for it
// is the file held as `installer`, and `workingDirectory`, the current folder
// it was given, names the folder held as `folder`. A name passed to the system
// is looked up again, so any step of it could lead elsewhere by now: a link
// re-pointed, or a name ending in a dot or a space that the system drops.
// Raises kNotTheExtractedInstaller otherwise.
void CheckStartedInstaller(HANDLE process, HANDLE installer, HANDLE folder, const std::wstring& workingDirectory);

}  // namespace vantor::extraction
