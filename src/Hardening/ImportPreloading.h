#pragma once

namespace vantor::hardening {

// Binds every delay-loaded import of the running image now, under the DLL
// search order already narrowed. A library that cannot be loaded or a function
// it lacks ends the process: debugger line "LoadAllImports failed: <code>",
// exit code 106.
void LoadAllImports() noexcept;

// From now on, for the life of the process, a delay-loaded import that cannot
// be bound, wherever it is first called, ends the process as LoadAllImports
// does. Raises a system error if the watch cannot be set up.
void WatchDelayLoadFailures();

}  // namespace vantor::hardening
