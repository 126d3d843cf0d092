#pragma once

#include <windows.h>

// Calls a program makes to system DLLs, redirected through its own import
// tables: to record them, or to give answers the test machine cannot give.
namespace harness {

// The slot through which this program calls `function` of `dll`, in its
// ordinary or its delay-load import table; null if it imports no such function.
void** ImportSlot(const char* dll, const char* function);

// Makes the program's calls through `slot` go to `replacement`; returns what
// they reached before.
void* Redirect(void** slot, void* replacement);

}  // namespace harness
