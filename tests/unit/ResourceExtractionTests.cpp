#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "Extraction/ResourceExtraction.h"
#include "Harness.h"
#include "TestSeams.h"

namespace {

constexpr std::int32_t kPayload = 200;  // this test program's own RCDATA resource

std::string Content(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// For a moment the payload file is open to other writers: between the close
// of its writer handle and the final lock. Whatever is written then is found
// by the read-back under the lock.
TEST(WriteResourceToFile, ChangesMadeBeforeTheLockAreFoundUnderIt) {
  const std::wstring folder = harness::NewTempFolder(L"vantor-payload-");
  const test_seams::Cleared seams;
  int files = 0;
  const auto writeWith = [&](const std::string& change, std::int64_t at) -> std::string {
    const std::wstring path = folder + L"\\payload" + std::to_wstring(++files) + L".bin";
    test_seams::payloadUnlocked = [&] {
      if (change.empty()) return;
      const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
      ::SetFilePointer(file, static_cast<LONG>(at), nullptr, at < 0 ? FILE_END : FILE_BEGIN);
      DWORD written = 0;
      ::WriteFile(file, change.data(), static_cast<DWORD>(change.size()), &written, nullptr);
      ::CloseHandle(file);
    };
    try {
      vantor::extraction::WriteResourceToFile(path, kPayload).Close();
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "written: " + Content(path);
  };
  const std::string resource = writeWith("", 0).substr(9);
  ASSERT_GT(resource.size(), 1u);
  const std::string mismatch = "Extracted file does not match resource ID 200";
  EXPECT_EQ(writeWith("?", -1), mismatch);  // the last byte rewritten
  EXPECT_EQ(writeWith("?", 0), mismatch);   // the first byte rewritten
  EXPECT_EQ(writeWith("+", static_cast<std::int64_t>(resource.size())), mismatch);  // one byte more
  harness::RemoveTree(folder);
}

}  // namespace
