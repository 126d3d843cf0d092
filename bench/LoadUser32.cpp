// Loads user32.dll and exits: what binding the launcher's delay-loaded
// user32 import costs on its own.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return ::LoadLibraryW(L"user32.dll") != nullptr ? 0 : 1; }
