// The launcher's own path as a copy of it in a deep folder reads it back:
// whole, at every length around the buffer sizes it grows through.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "Harness.h"
#include "Utilities/String.h"

namespace {

using vantorlib::string::ToUtf16;

std::wstring Extended(const std::wstring& path) { return L"\\\\?\\" + path; }

// A copy of the fixture whose full path is exactly `length` UTF-16 units.
class DeepCopy {
 public:
  explicit DeepCopy(std::size_t length) {
    root_ = harness::NewTempFolder(L"vantor-deep-");
    const std::wstring fileName = L"\\LauncherFixture.exe";
    std::wstring folder = root_;
    while (folder.size() + fileName.size() < length) {
      const std::size_t room = length - folder.size() - fileName.size();
      // Segments of at most 200 units; never leave room for less than "\x".
      std::size_t segment = std::min<std::size_t>(200, room - 1);
      if (room - 1 - segment == 1) --segment;
      folder += L"\\" + std::wstring(segment, L'd');
      ::CreateDirectoryW(Extended(folder).c_str(), nullptr);
    }
    path_ = folder + fileName;
    const std::wstring fixture = harness::ProgramDirectory() + L"LauncherFixture.exe";
    if (!::CopyFileW(fixture.c_str(), Extended(path_).c_str(), FALSE)) {
      throw std::runtime_error("CopyFileW failed: " + std::to_string(::GetLastError()));
    }
  }
  DeepCopy(const DeepCopy&) = delete;
  DeepCopy& operator=(const DeepCopy&) = delete;
  ~DeepCopy() { harness::RemoveTree(root_); }

  const std::wstring& Path() const { return path_; }
  std::wstring ResultFile() const { return root_ + L"\\path.txt"; }

 private:
  std::wstring root_;
  std::wstring path_;
};

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

class LongModulePath : public testing::TestWithParam<std::size_t> {};

// What the copy at that many units reports as its own path.
TEST_P(LongModulePath, ComesBackWhole) {
  const DeepCopy copy(GetParam());
  ASSERT_EQ(copy.Path().size(), GetParam());
  Start(copy.Path(), L"write-path " + harness::Quote(copy.ResultFile()));
  harness::WaitFor(copy.ResultFile(), true, 30000);
  EXPECT_EQ(ToUtf16(harness::ReadAll(Extended(copy.ResultFile()))), copy.Path());
}

// Just within and just beyond the first buffer (260 units), and far beyond.
INSTANTIATE_TEST_SUITE_P(Lengths, LongModulePath, testing::Values(259, 260, 2500),
                         testing::PrintToStringParamName());

}  // namespace
