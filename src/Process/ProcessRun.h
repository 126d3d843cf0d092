#pragma once

#include <cstdint>

#include <windows.h>

#include "Process/ProcessDescription.h"
#include "Utilities/Raii.h"

namespace vantor::process {

// Starts the child, waits for it in 1000 ms slices (terminating it with exit
// code 1 and raising "Process timed out" once a time limit is reached) and
// stores its exit code in `exitCode`. Every failure raises std::runtime_error.
void RunProcess(const ProcessSpec& spec, std::uint32_t& exitCode);

// Starts the child described by `spec`; on success `process` holds its handle.
void StartProcess(const ProcessSpec& spec, STARTUPINFOW& startup, utilities::KernelHandle& process);

}  // namespace vantor::process
