#include "winlib/selfProtection/VerifiedDll.h"

#include <stdexcept>

#include "Utilities/Throw.h"

namespace winlib::selfProtection {
namespace {

// Every opened file is accepted: the lock is what protects the load.
void Verify(const utilities::FileHandle&) {}

}  // namespace

utilities::FileHandle LockAndVerify(const std::filesystem::path& path) {
  if (path.empty()) throw std::logic_error("LockAndVerify: filename empty");
  utilities::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.IsOpen()) {
    const DWORD code = ::GetLastError();
    vantorlib::ThrowSystemError(code, "Cannot open " + path.string());
  }
  Verify(file);
  return file;
}

VerifiedDll::VerifiedDll(const std::filesystem::path& path) {
  const utilities::FileHandle lock = LockAndVerify(path);
  module_ = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module_ == nullptr) {
    const DWORD code = ::GetLastError();
    vantorlib::ThrowSystemError(code, "LoadLibraryEx " + path.string());
  }
  // The lock ends here: the library is mapped and can no longer be swapped.
}

VerifiedDll::~VerifiedDll() {
  if (module_ != nullptr) ::FreeLibrary(module_);
}

FARPROC VerifiedDll::GetProc(const std::string& name) const {
  const FARPROC proc = ::GetProcAddress(module_, name.c_str());
  if (proc == nullptr) {
    const DWORD code = ::GetLastError();
    vantorlib::ThrowSystemError(code, "GetProcAddress " + name);
  }
  return proc;
}

}  // namespace winlib::selfProtection
