#pragma once

namespace vantor::hardening {

// From now on, for the life of the process, a delay-loaded import of this
// image that cannot be bound, wherever it is first called, ends the process:
// debugger line "LoadAllImports failed: <code>", exit code 106. Raises a
// system error if the watch cannot be set up.
void WatchDelayLoadFailures();

// Binds every delay-loaded import of the running image now, under the DLL
// search order already narrowed. A library that cannot be loaded or a function
// it lacks is taken by the watch above, which must be set first.
void LoadAllImports() noexcept;

}  // namespace vantor::hardening
