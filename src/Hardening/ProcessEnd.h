#pragma once

namespace vantor::hardening {

// Ends the process with `exitCode`, even should TerminateProcess return.
[[noreturn]] void EndProcess(unsigned int exitCode) noexcept;

}  // namespace vantor::hardening
