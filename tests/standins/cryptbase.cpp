// Stand-in for the system's cryptbase.dll, which Wine does not ship: the
// launcher loads that DLL by full path from the system directory.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
