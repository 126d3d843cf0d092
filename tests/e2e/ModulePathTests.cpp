// The launcher's own path as a copy of it in a deep folder reads it back:
// whole, at every length around the buffer sizes it grows through.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "Harness.h"
#include "Utilities/String.h"

namespace {

using vantorlib::string::ToUtf16;

std::wstring Extended(const std::wstring& path) { return L"\\\\?\\" + path; }

// Starts `program` with `arguments`. Wine's CreateProcessW refuses program
// paths longer than MAX_PATH that Windows accepts; Wine's own loader, started
// as a Unix program, runs them, so that route stands in where the first fails.
void Start(const std::wstring& program, const std::wstring& arguments) {
  if (harness::StartProgram(Extended(program), harness::Quote(program) + L" " + arguments)) return;
  const DWORD error = ::GetLastError();
  const std::wstring unixPath = harness::UnixPath(program);
  ASSERT_FALSE(unixPath.empty()) << "CreateProcessW failed: " << error;
  ASSERT_TRUE(harness::StartProgram(harness::kWineLoader, harness::UnixPath(harness::kWineLoader) + L" \"" + unixPath + L"\" " + arguments));
}

// A copy of the fixture whose full path is exactly as many UTF-16 units as
// the parameter says.
class LongModulePath : public testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    const std::wstring fileName = L"\\LauncherFixture.exe";
    std::wstring folder = root_;
    while (folder.size() + fileName.size() < GetParam()) {
      const std::size_t room = GetParam() - folder.size() - fileName.size();
      // Segments of at most 200 units; never leave room for less than "\x".
      std::size_t segment = std::min<std::size_t>(200, room - 1);
      if (room - 1 - segment == 1) --segment;
      folder += L"\\" + std::wstring(segment, L'd');
      ::CreateDirectoryW(Extended(folder).c_str(), nullptr);
    }
    path_ = folder + fileName;
    const std::wstring fixture = harness::ProgramDirectory() + L"LauncherFixture.exe";
    ASSERT_TRUE(::CopyFileW(fixture.c_str(), Extended(path_).c_str(), FALSE)) << ::GetLastError();
  }
  void TearDown() override { harness::RemoveTree(root_); }

  const std::wstring root_ = harness::NewTempFolder(L"vantor-deep-");
  const std::wstring result_ = root_ + L"\\path.txt";
  std::wstring path_;
};

// What the copy reports as its own path.
TEST_P(LongModulePath, ComesBackWhole) {
  ASSERT_EQ(path_.size(), GetParam());
  Start(path_, L"write-path " + harness::Quote(result_));
  harness::WaitFor(result_, true, 30000);
  EXPECT_EQ(ToUtf16(harness::ReadAll(Extended(result_))), path_);
}

// Just within and just beyond the first buffer (260 units), and far beyond.
INSTANTIATE_TEST_SUITE_P(Lengths, LongModulePath, testing::Values(259, 260, 2500),
                         testing::PrintToStringParamName());

}  // namespace
