#pragma once

namespace vantor::hardening {

// Binds every delay-loaded import of the running image now, under the DLL
// search order already narrowed. A library that cannot be loaded or a function
// it lacks ends the process: debugger line "LoadAllImports failed: <code>",
// exit code 106.
void LoadAllImports() noexcept;

}  // namespace vantor::hardening
