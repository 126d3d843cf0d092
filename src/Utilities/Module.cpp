#include "Utilities/Module.h"

#include <algorithm>
#include <sstream>

#include <windows.h>

#include "Utilities/LocatedError.h"

namespace vantorlib::module {
namespace {

constexpr DWORD kInitialSize = MAX_PATH;
// The largest size tried. The last step is capped here instead of doubling.
constexpr DWORD kSizeLimit = 32788;

}  // namespace

// GetModuleFileNameW returns the buffer size when it had to cut the path
// short, so the buffer doubles until the whole path fits.
std::wstring Path() {
  std::wstring buffer(kInitialSize, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = seam::ModuleFileName(buffer.data(), size);
    if (length == 0) {
      const DWORD code = ::GetLastError();
      std::ostringstream message;
      message << "GetModuleFileNameW failed: " << static_cast<unsigned long>(code);
      ThrowRuntimeError(message.str(), VANTOR_LOCATION("Path"));
    }
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
    if (size >= kSizeLimit) ThrowRuntimeError("Path too long", VANTOR_LOCATION("Path"));
    buffer.resize(std::min(size * 2, kSizeLimit), L'\0');
  }
}

}  // namespace vantorlib::module
