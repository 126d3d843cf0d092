#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "Extraction/ResourceExtraction.h"
#include "Harness.h"
#include "Imports.h"
#include "TestSeams.h"
#include "Utilities/String.h"

namespace {

using utilities::FileHandle;
constexpr std::int32_t kPayload = 200;  // this test program's own RCDATA resource

std::string SystemError(const std::string& message, DWORD code) {
  return message + ": " + vantorlib::string::ToUtf8(harness::SystemText(code)) + " (" + std::to_string(code) + ")";
}

// A folder held as the extraction folder is, for files to be written into.
class Payload : public testing::Test {
 protected:
  void SetUp() override {
    root_ = harness::NewTempFolder(L"vantor-payload-");
    folder_ = FileHandle(::CreateFileW(root_.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(folder_.IsOpen());
  }
  void TearDown() override {
    folder_ = FileHandle();
    harness::RemoveTree(root_);
  }

  // The file written, or the error.
  std::string Write(const std::wstring& name) {
    try {
      vantor::extraction::WriteResourceToFile(folder_.Get(), name, kPayload).Close();
    } catch (const std::exception& error) {
      return error.what();
    }
    return "written: " + harness::ReadAll(root_ + L"\\" + name);
  }

  // No handle of the writer's is left on the file.
  bool Released(const std::wstring& name) const {
    return harness::OpenError(root_ + L"\\" + name, GENERIC_READ | GENERIC_WRITE | DELETE, 0) == 0;
  }

  std::wstring root_;
  FileHandle folder_;
  test_seams::Cleared seams_;
};

// For a moment the payload file is open to other writers: between the close
// of its writer handle and the final lock. Whatever is written then is found
// by the read-back under the lock.
TEST_F(Payload, ChangesMadeBeforeTheLockAreFoundUnderIt) {
  int files = 0;
  const auto writeWith = [&](const std::string& change, std::int64_t at) -> std::string {
    const std::wstring name = L"payload" + std::to_wstring(++files) + L".bin";
    test_seams::payloadUnlocked = [&] {
      if (change.empty()) return;
      const FileHandle file(::CreateFileW((root_ + L"\\" + name).c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
      ::SetFilePointer(file.Get(), static_cast<LONG>(at), nullptr, at < 0 ? FILE_END : FILE_BEGIN);
      DWORD written = 0;
      ::WriteFile(file.Get(), change.data(), static_cast<DWORD>(change.size()), &written, nullptr);
    };
    return Write(name);
  };
  const std::string resource = writeWith("", 0).substr(9);
  ASSERT_GT(resource.size(), 1u);
  const std::string mismatch = "Extracted file does not match resource ID 200";
  EXPECT_EQ(writeWith("?", -1), mismatch);  // the last byte rewritten
  EXPECT_EQ(writeWith("?", 0), mismatch);   // the first byte rewritten
  EXPECT_EQ(writeWith("+", static_cast<std::int64_t>(resource.size())), mismatch);  // one byte more
}

// A file of that name is never opened or overwritten.
TEST_F(Payload, AnExistingFileIsLeftAsItWas) {
  std::ofstream(std::filesystem::path(root_ + L"\\Setup.exe")) << "theirs";
  EXPECT_EQ(Write(L"Setup.exe"), SystemError("CreateFileW failed", ERROR_FILE_EXISTS));
  EXPECT_EQ(harness::ReadAll(root_ + L"\\Setup.exe"), "theirs");
}

// The lock is reached in two reopenings; either can fail, and then no handle
// on the file is left open.
int reopenToFail;
decltype(&::ReOpenFile) reOpenFile;
HANDLE WINAPI FailOneReopen(HANDLE file, DWORD access, DWORD sharing, DWORD flags) {
  if (--reopenToFail == 0) {
    ::SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  return reOpenFile(file, access, sharing, flags);
}

class Reopening : public Payload, public testing::WithParamInterface<std::pair<int, std::string>> {};

TEST_P(Reopening, FailureIsReportedAndReleasesTheFile) {
  reopenToFail = GetParam().first;
  std::string result;
  {
    const harness::Redirected failing("kernel32.dll", "ReOpenFile", &FailOneReopen, reOpenFile);
    ASSERT_TRUE(failing);
    result = Write(L"Setup.exe");
  }
  EXPECT_EQ(result, SystemError(GetParam().second, ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(Released(L"Setup.exe"));
}

INSTANTIATE_TEST_SUITE_P(Steps, Reopening,
                         testing::Values(std::make_pair(1, std::string("ReOpenFile failed (intermediate_handle)")),
                                         std::make_pair(2, std::string("ReOpenFile failed (new_handle)"))),
                         [](const auto& info) { return "Reopening" + std::to_string(info.param.first); });

}  // namespace
