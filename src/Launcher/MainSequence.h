#pragma once

namespace vantor::launcher {

// Name of the environment variable through which the installer learns the
// launcher's full path.
inline constexpr wchar_t kLauncherPathVariable[] =
    L"VANTOR_QLX_PATH_DE4325B8_1378_47a6_AEC1_EF723BCE8EC4";

// The launcher's run inside its guarded region. Returns the exit code; every
// failure is thrown, after what the run created has been released.
unsigned int RunMainSequence();

}  // namespace vantor::launcher
