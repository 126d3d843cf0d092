#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <windows.h>

#include "Utilities/Raii.h"

namespace vantor::process {

// One child process to run. Owns everything it holds, the token included;
// cannot be copied.
struct ProcessSpec {
  std::wstring application;       // image to start; empty: the command line's first token
  std::wstring commandLine;       // complete, program token included
  std::wstring workingDirectory;  // empty: the launcher's current directory
  std::string label;              // travels with the record; not used by the run
  std::uint32_t creationFlags = 0;
  utilities::KernelHandle userToken;   // empty: run as the launcher's own user
  std::optional<std::int64_t> timeout;  // milliseconds; none: wait without limit
  // A check of the started child before it runs a single instruction. When
  // set, the child is started suspended and resumed only once this returns;
  // if it throws, the child is ended and the error passes on.
  std::function<void(HANDLE process)> startCheck;
};

}  // namespace vantor::process
