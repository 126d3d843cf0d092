#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <system_error>

#include "Extraction/ExtractionFolder.h"
#include "Extraction/FolderRemoval.h"
#include "Harness.h"

namespace {

namespace fs = std::filesystem;
using vantor::extraction::CreateExtractionFolder;
using vantor::extraction::ExtractionFolderGuard;
using vantor::extraction::RemoveExtractionFolder;

// Points TMP and TEMP at a private folder for one test.
class PrivateTemp : public testing::Test {
 protected:
  void SetUp() override {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    root_ = fs::path(harness::TempDirectory()) / ("vantor-folder-" + std::to_string(now.QuadPart));
    fs::create_directories(root_);
    Point(root_.wstring() + L"\\");
  }
  void TearDown() override {
    Point(saved_);
    harness::RemoveTree(root_.wstring());
  }
  void Point(const std::wstring& temp) {
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
    ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
  }
  static void Write(const fs::path& path) { std::ofstream(path) << "x"; }

  std::wstring saved_ = harness::TempDirectory();
  fs::path root_;
};

TEST_F(PrivateTemp, FolderIsNewRandomlyNamedAndTheDllIsReleased) {
  const fs::path folder = CreateExtractionFolder();
  EXPECT_EQ(folder.parent_path(), root_);
  EXPECT_TRUE(std::regex_match(folder.filename().string(), std::regex("VantorSetup-(0|[1-9][0-9]{0,9})")))
      << folder.string();
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_EQ(::GetModuleHandleW(L"cryptbase.dll"), nullptr);
  EXPECT_NE(CreateExtractionFolder(), folder);  // a second run draws again
}

TEST_F(PrivateTemp, TemporaryPathThatIsNoDirectory) {
  const fs::path file = root_ / "plain-file";
  Write(file);
  for (const std::wstring& temp : {root_.wstring() + L"\\missing\\", file.wstring() + L"\\"}) {
    Point(temp);
    try {
      CreateExtractionFolder();
      FAIL() << "used " << fs::path(temp).string();
    } catch (const fs::filesystem_error& error) {
      const std::string expected = "temp_directory_path: " +
                                   std::make_error_code(std::errc::not_a_directory).message() + ": \"" +
                                   fs::path(temp).string() + "\"";
      EXPECT_EQ(error.what(), expected);
    }
  }
  EXPECT_EQ(::GetModuleHandleW(L"cryptbase.dll"), nullptr);
}

TEST_F(PrivateTemp, GuardRemovesNestedContentDepthFirst) {
  const fs::path folder = root_ / "VantorSetup-1";
  fs::create_directories(folder / "a" / "b" / "c");
  Write(folder / "Setup.exe");
  Write(folder / "a" / "b" / "c" / "deep.txt");
  Write(folder / "a" / "top.txt");
  { const ExtractionFolderGuard guard(folder); }
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(PrivateTemp, RemovalOfAMissingFolderDoesNothing) {
  RemoveExtractionFolder(root_ / "VantorSetup-2");
  EXPECT_TRUE(fs::exists(root_));
}

TEST_F(PrivateTemp, FileHeldWithoutDeleteSharingKeepsTheFolder) {
  const fs::path folder = root_ / "VantorSetup-3";
  fs::create_directories(folder);
  Write(folder / "held.txt");
  const HANDLE held = ::CreateFileW((folder / "held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  RemoveExtractionFolder(folder);
  EXPECT_TRUE(fs::exists(folder / "held.txt"));
  ::CloseHandle(held);
  RemoveExtractionFolder(folder);
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(PrivateTemp, ReadOnlyFileIsNotForced) {
  const fs::path folder = root_ / "VantorSetup-4";
  fs::create_directories(folder);
  Write(folder / "locked.txt");
  ::SetFileAttributesW((folder / "locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  RemoveExtractionFolder(folder);
  EXPECT_TRUE(fs::exists(folder / "locked.txt"));
  ::SetFileAttributesW((folder / "locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
