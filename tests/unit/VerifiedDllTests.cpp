#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "Harness.h"
#include "winlib/selfProtection/VerifiedDll.h"

namespace {

namespace fs = std::filesystem;
using winlib::selfProtection::LockAndVerify;
using winlib::selfProtection::VerifiedDll;

DWORD OpenError(const fs::path& path, DWORD access) {
  return harness::OpenError(path.wstring(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

// A text file in a folder of this test's own.
class TextFile : public testing::Test {
 protected:
  void SetUp() override { std::ofstream(path_) << "not a library"; }
  void TearDown() override { harness::RemoveTree(folder_); }

  const std::wstring folder_ = harness::NewTempFolder(L"vantor-dll-");
  const fs::path path_ = folder_ + L"\\text.dll";
};

// A lock keeps writers and deleters out, and is refused while someone writes.
TEST_F(TextFile, LockSharesReadingOnly) {
  {
    const utilities::FileHandle lock = LockAndVerify(path_);
    EXPECT_EQ(OpenError(path_, GENERIC_READ), 0u);
    EXPECT_EQ(OpenError(path_, GENERIC_WRITE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenError(path_, DELETE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  const utilities::FileHandle writer(::CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                   nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer.IsOpen());
  EXPECT_THROW(LockAndVerify(path_), std::system_error);
}

TEST_F(TextFile, WhatIsNoLibraryIsNotLoadedAndNotKeptLocked) {
  EXPECT_THROW(VerifiedDll{path_}, std::system_error);
  EXPECT_EQ(OpenError(path_, GENERIC_WRITE), 0u);
}

TEST(VerifiedDll, LoadsHoldsAndUnloadsTheLibrary) {
  const fs::path build = fs::path(harness::ProgramDirectory()).parent_path().parent_path();
  const fs::path path = build / L"standins" / L"cryptbase.dll";
  ASSERT_TRUE(fs::exists(path));
  {
    const VerifiedDll dll(path);
    EXPECT_EQ(::GetModuleHandleW(path.c_str()), dll.GetModule());
    EXPECT_NE(dll.GetModule(), nullptr);
    EXPECT_THROW(dll.GetProc("NoSuchFunction"), std::system_error);
  }
  EXPECT_EQ(::GetModuleHandleW(path.c_str()), nullptr);
}

}  // namespace
