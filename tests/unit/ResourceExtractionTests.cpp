#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>
#include <string>

#include "Extraction/ResourceExtraction.h"
#include "Harness.h"
#include "Utilities/Raii.h"

namespace {

using vantor::extraction::CheckExtractedFile;

// A file holding `content`, opened for reading from its start.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& content)
      : path_(harness::TempDirectory() + L"vantor-check-" + std::to_wstring(::GetCurrentProcessId())) {
    const HANDLE out = ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(out, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    ::CloseHandle(out);
    read_ = utilities::FileHandle(
        ::CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  ~ScratchFile() {
    read_.Close();
    ::DeleteFileW(path_.c_str());
  }
  HANDLE Get() const { return read_.Get(); }

 private:
  std::wstring path_;
  utilities::FileHandle read_;
};

std::string CheckError(const std::string& onDisk, const std::string& resource) {
  const ScratchFile file(onDisk);
  try {
    CheckExtractedFile(file.Get(), resource, 100);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "accepted";
}

TEST(ExtractedFileCheck, AcceptsOnlyTheResourceBytes) {
  const std::string resource(300000, 'x');
  EXPECT_EQ(CheckError(resource, resource), "accepted");
  std::string changed = resource;
  changed[299999] = 'y';  // rewritten in the last byte
  EXPECT_EQ(CheckError(changed, resource), "Extracted file does not match resource ID 100");
  EXPECT_EQ(CheckError(resource + "z", resource), "Extracted file does not match resource ID 100");
  EXPECT_EQ(CheckError("", resource), "Extracted file does not match resource ID 100");
}

}  // namespace
