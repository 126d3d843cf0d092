#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "Harness.h"
#include "winlib/selfProtection/VerifiedDll.h"

namespace {

using winlib::selfProtection::LockAndVerify;
using winlib::selfProtection::VerifiedDll;

std::filesystem::path StandIn() {
  return std::filesystem::path(harness::ProgramDirectory()).parent_path().parent_path() / L"standins" /
         L"cryptbase.dll";
}

DWORD OpenError(const std::filesystem::path& path, DWORD access) {
  const HANDLE handle = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ::GetLastError();
  ::CloseHandle(handle);
  return 0;
}

class ScratchText {
 public:
  ScratchText() : path_(std::filesystem::path(harness::TempDirectory()) / ("vantor-dll-" + std::to_string(::GetCurrentProcessId()) + ".txt")) {
    std::ofstream(path_) << "not a library";
  }
  ~ScratchText() { std::filesystem::remove(path_); }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

TEST(LockAndVerify, EmptyPathIsAMisuse) {
  EXPECT_THROW(
      {
        try {
          LockAndVerify({});
        } catch (const std::logic_error& error) {
          EXPECT_STREQ(error.what(), "LockAndVerify: filename empty");
          throw;
        }
      },
      std::logic_error);
}

TEST(LockAndVerify, LockKeepsWritersAndDeletersOutUntilReleased) {
  const ScratchText file;
  {
    const utilities::FileHandle lock = LockAndVerify(file.Path());
    EXPECT_EQ(OpenError(file.Path(), GENERIC_READ), 0u);
    EXPECT_EQ(OpenError(file.Path(), GENERIC_WRITE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenError(file.Path(), DELETE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  EXPECT_EQ(OpenError(file.Path(), GENERIC_WRITE), 0u);
}

TEST(LockAndVerify, FileOpenForWritingElsewhereCannotBeLocked) {
  const ScratchText file;
  const utilities::FileHandle writer(::CreateFileW(file.Path().c_str(), GENERIC_WRITE,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                   nullptr));
  try {
    LockAndVerify(file.Path());
    FAIL() << "locked a file someone is writing";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(std::string(error.what()).rfind("Cannot open " + file.Path().string() + ": ", 0), 0u) << error.what();
  }
}

TEST(VerifiedDll, LoadsHoldsAndUnloadsTheLibrary) {
  const std::filesystem::path path = StandIn();
  ASSERT_TRUE(std::filesystem::exists(path));
  {
    const VerifiedDll dll(path);
    EXPECT_NE(dll.GetModule(), nullptr);
    EXPECT_EQ(::GetModuleHandleW(path.c_str()), dll.GetModule());
    try {
      dll.GetProc("NoSuchFunction");
      FAIL() << "found a function that is not exported";
    } catch (const std::system_error& error) {
      EXPECT_EQ(std::string(error.what()).rfind("GetProcAddress NoSuchFunction: ", 0), 0u) << error.what();
    }
  }
  EXPECT_EQ(::GetModuleHandleW(path.c_str()), nullptr);
}

TEST(VerifiedDll, NonLibraryFailsAndLeavesNoHandle) {
  const ScratchText file;
  try {
    const VerifiedDll dll(file.Path());
    FAIL() << "loaded a text file";
  } catch (const std::system_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("LoadLibraryEx " + file.Path().string() + ": ", 0), 0u) << error.what();
  }
  EXPECT_EQ(OpenError(file.Path(), GENERIC_WRITE), 0u);
}

}  // namespace
