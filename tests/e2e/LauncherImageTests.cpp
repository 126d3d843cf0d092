// The shipped launcher runs the demo installer it carries; a launcher packed
// under a vendor's name, version and icon runs as well, and Windows reads its
// version strings and loads its icon from it. Its image as a file is checked
// by the image tests (tests/image).
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <type_traits>
#include <string>
#include <vector>

#include "Harness.h"

namespace {

std::wstring LauncherPath() { return harness::ProgramDirectory() + L"VantorSetup.exe"; }
// Packed with the options in tests/fixtures/CMakeLists.txt.
std::wstring BrandedPath() { return harness::ProgramDirectory() + L"BrandedLauncher.exe"; }

TEST(LauncherImage, RunsTheDemoInstallerItCarries) {
  harness::Launch launch;
  launch.application = LauncherPath();
  launch.commandLine = harness::Quote(launch.application) + L" /quiet \"with space\" /exitcode:3010";
  const harness::Outcome outcome = harness::Run(launch);
  EXPECT_FALSE(outcome.timedOut);
  ASSERT_EQ(outcome.messageBoxes.size(), 1u);
  EXPECT_EQ(outcome.messageBoxes[0].title, L"VantorSetup demo installer");
  EXPECT_NE(outcome.messageBoxes[0].text.find(L"manifest matches this installer"), std::wstring::npos);
  EXPECT_NE(outcome.messageBoxes[0].text.find(launch.commandLine), std::wstring::npos);
  EXPECT_EQ(outcome.exitCode, 3010u);
  EXPECT_TRUE(outcome.debugOutput.empty());  // the launcher itself says nothing
}

TEST(BrandedLauncher, RunsAndPassesTheExitCode) {
  harness::Launch launch;
  launch.application = BrandedPath();
  launch.commandLine = harness::Quote(launch.application) + L" /exitcode:3010";
  const harness::Outcome outcome = harness::Run(launch);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_TRUE(outcome.messageBoxes.empty());
  EXPECT_EQ(outcome.exitCode, 3010u);
}

// What Explorer's properties and Task Manager show: the version API's reading.
TEST(BrandedLauncher, TheVersionApiReturnsTheVendorsStrings) {
  const DWORD size = ::GetFileVersionInfoSizeW(BrandedPath().c_str(), nullptr);
  ASSERT_NE(size, 0u) << ::GetLastError();
  std::vector<BYTE> info(size);
  ASSERT_TRUE(::GetFileVersionInfoW(BrandedPath().c_str(), 0, size, info.data()));
  const auto query = [&](const std::wstring& path) -> std::wstring {
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) return L"<none>";
    return std::wstring(static_cast<const wchar_t*>(value), length - 1);  // length counts the NUL
  };
  const std::wstring table = L"\\StringFileInfo\\040904B0\\";
  EXPECT_EQ(query(table + L"CompanyName"), L"Example \u00DCn\u00EFcode GmbH");
  EXPECT_EQ(query(table + L"FileDescription"), L"Example Setup \u65E5\u672C\u8A9E \U0001F600");
  EXPECT_EQ(query(table + L"ProductName"), L"Example Suite");
  EXPECT_EQ(query(table + L"LegalCopyright"), L"\u00A9 2026 Example");
  EXPECT_EQ(query(table + L"ProductVersion"), L"4.2 beta");  // given: --version leaves it
  EXPECT_EQ(query(table + L"FileVersion"), L"4.2.0.17");    // not given: --version stamps it
  EXPECT_EQ(query(table + L"OriginalFilename"), L"VantorSetup.exe");  // not given: the stub's

  void* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", &fixed, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  const auto* numbers = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  EXPECT_EQ(numbers->dwFileVersionMS, 0x00040002u);
  EXPECT_EQ(numbers->dwFileVersionLS, 0x00000011u);
  EXPECT_EQ(numbers->dwProductVersionMS, 0x00040002u);
}

struct ModuleFree {
  void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
struct IconDestroy {
  void operator()(HICON icon) const { ::DestroyIcon(icon); }
};
struct ObjectDelete {
  void operator()(HBITMAP bitmap) const { ::DeleteObject(bitmap); }
};

// The width of `icon`'s colour bitmap, and the colour of its pixel (x, y) as 0xRRGGBB.
struct IconPixels {
  LONG width = 0;
  DWORD pixel = 0;
};
IconPixels ReadIcon(HICON icon, int x, int y) {
  ICONINFO info{};
  if (!::GetIconInfo(icon, &info)) return {};
  const std::unique_ptr<std::remove_pointer_t<HBITMAP>, ObjectDelete> color(info.hbmColor), mask(info.hbmMask);
  BITMAP bitmap{};
  if (!color || ::GetObjectW(color.get(), sizeof bitmap, &bitmap) == 0) return {};
  BITMAPINFO format{};
  format.bmiHeader = {sizeof(BITMAPINFOHEADER), bitmap.bmWidth, -bitmap.bmHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<DWORD> pixels(static_cast<std::size_t>(bitmap.bmWidth) * static_cast<std::size_t>(bitmap.bmHeight));
  const HDC screen = ::GetDC(nullptr);
  const int rows = ::GetDIBits(screen, color.get(), 0, static_cast<UINT>(bitmap.bmHeight), pixels.data(), &format, DIB_RGB_COLORS);
  ::ReleaseDC(nullptr, screen);
  if (rows != bitmap.bmHeight) return {};
  return {bitmap.bmWidth, pixels[static_cast<std::size_t>(y * bitmap.bmWidth + x)] & 0xFFFFFF};
}

// The shell loads a file's icon from its first icon group, at the size it
// needs: each image of the vendor's icon loads, the 256-pixel one from PNG.
TEST(BrandedLauncher, WindowsLoadsTheVendorsIconAtEverySize) {
  const std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree> module(
      ::LoadLibraryExW(BrandedPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_TRUE(module) << ::GetLastError();
  const HRSRC group = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
  ASSERT_TRUE(group);
  const auto* directory = static_cast<PBYTE>(::LockResource(::LoadResource(module.get(), group)));
  ASSERT_TRUE(directory);
  for (const int size : {16, 32, 48, 256}) {
    // The image the group picks for this size, by its RT_ICON id.
    const int id = ::LookupIconIdFromDirectoryEx(const_cast<PBYTE>(directory), TRUE, size, size, LR_DEFAULTCOLOR);
    ASSERT_NE(id, 0) << size;
    const HRSRC image = ::FindResourceW(module.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));  // RT_ICON
    ASSERT_TRUE(image) << size;
    const std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroy> icon(::CreateIconFromResourceEx(
        static_cast<PBYTE>(::LockResource(::LoadResource(module.get(), image))), ::SizeofResource(module.get(), image), TRUE,
        0x00030000, size, size, LR_DEFAULTCOLOR));
    ASSERT_TRUE(icon) << size << ": " << ::GetLastError();
    EXPECT_EQ(ReadIcon(icon.get(), 0, 0).width, size);
    // And through LoadImage, as the shell asks for it: the group by its id.
    const std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroy> loaded(
        static_cast<HICON>(::LoadImageW(module.get(), MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    ASSERT_TRUE(loaded) << size << ": " << ::GetLastError();
    EXPECT_EQ(ReadIcon(loaded.get(), 0, 0).width, size);
  }
  // The PNG image's top-left quadrant colour (tests/fixtures/branding/make-test-icon.py).
  const std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroy> large(
      static_cast<HICON>(::LoadImageW(module.get(), MAKEINTRESOURCEW(1), IMAGE_ICON, 256, 256, LR_DEFAULTCOLOR)));
  ASSERT_TRUE(large);
  EXPECT_EQ(ReadIcon(large.get(), 10, 10).pixel, 0x2060C0u);
  EXPECT_TRUE(::LoadIconW(module.get(), MAKEINTRESOURCEW(1)));
}

}  // namespace
