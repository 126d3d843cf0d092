#include "Hardening/ProcessEnd.h"

#include <windows.h>

namespace vantor::hardening {

void EndProcess(unsigned int exitCode) noexcept {
  ::TerminateProcess(::GetCurrentProcess(), exitCode);
  // Never go on unhardened, whatever TerminateProcess did.
  ::ExitProcess(exitCode);
}

}  // namespace vantor::hardening
