#pragma once

#include <filesystem>
#include <string>

#include <windows.h>

#include "Utilities/Raii.h"

namespace winlib::selfProtection {

// A DLL loaded from one exact file and held loaded for the object's life.
class VerifiedDllInterface {
 public:
  virtual ~VerifiedDllInterface() = default;
  virtual HMODULE GetModule() const noexcept = 0;
  virtual FARPROC GetProc(const std::string& name) const = 0;
};

// Loads the library at `path` after opening the file so that nobody can
// change, replace or delete it until it is mapped; unloads it on destruction.
class VerifiedDll final : public VerifiedDllInterface {
 public:
  explicit VerifiedDll(const std::filesystem::path& path);
  VerifiedDll(const VerifiedDll&) = delete;
  VerifiedDll& operator=(const VerifiedDll&) = delete;
  ~VerifiedDll() override;

  HMODULE GetModule() const noexcept override { return module_; }
  // Raises "GetProcAddress <name>" when the library does not export `name`.
  FARPROC GetProc(const std::string& name) const override;

 private:
  HMODULE module_ = nullptr;
};

// Opens `path` for reading and executing, sharing reading only, and returns
// the open file. Raises "Cannot open <path>" with the system's code.
utilities::FileHandle LockAndVerify(const std::filesystem::path& path);

}  // namespace winlib::selfProtection
