// The shipped launcher as Windows sees it: a 32-bit GUI image that imports
// only system DLLs, and runs the demo installer it carries.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "Harness.h"

namespace {

std::wstring LauncherPath() { return harness::ProgramDirectory() + L"VantorSetup.exe"; }

// A PE image read from disk, with relative addresses mapped to file offsets.
class PeFile {
 public:
  explicit PeFile(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(file), {});
  }

  template <typename T>
  const T& At(std::size_t offset) const {
    if (offset + sizeof(T) > bytes_.size()) throw std::out_of_range("outside the image file");
    return *reinterpret_cast<const T*>(bytes_.data() + offset);
  }

  std::size_t HeadersOffset() const { return static_cast<std::size_t>(At<IMAGE_DOS_HEADER>(0).e_lfanew); }
  const IMAGE_NT_HEADERS32& Headers() const { return At<IMAGE_NT_HEADERS32>(HeadersOffset()); }

  std::size_t OffsetOf(DWORD rva) const {
    const IMAGE_NT_HEADERS32& headers = Headers();
    const std::size_t first = HeadersOffset() + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + headers.FileHeader.SizeOfOptionalHeader;
    for (WORD i = 0; i < headers.FileHeader.NumberOfSections; ++i) {
      const auto& section = At<IMAGE_SECTION_HEADER>(first + i * sizeof(IMAGE_SECTION_HEADER));
      if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize) {
        return rva - section.VirtualAddress + section.PointerToRawData;
      }
    }
    throw std::out_of_range("address in no section");
  }

  std::string StringAt(DWORD rva) const { return &At<char>(OffsetOf(rva)); }

  // Each delay-loaded DLL with its functions, in directory and slot order.
  std::vector<std::pair<std::string, std::vector<std::string>>> DelayImports() const {
    std::vector<std::pair<std::string, std::vector<std::string>>> dlls;
    const auto& directory = Headers().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
    if (directory.Size == 0) return dlls;
    for (std::size_t offset = OffsetOf(directory.VirtualAddress);; offset += 32) {
      const DWORD nameRva = At<DWORD>(offset + 4);
      if (nameRva == 0) break;
      std::vector<std::string> functions;
      for (std::size_t entry = OffsetOf(At<DWORD>(offset + 16)); At<DWORD>(entry) != 0; entry += 4) {
        functions.push_back(StringAt(At<DWORD>(entry) + 2));  // skip the hint
      }
      dlls.emplace_back(StringAt(nameRva), functions);
    }
    return dlls;
  }

  // Names of the DLLs in the ordinary import directory, upper case.
  std::set<std::string> ImportedDlls() const {
    std::set<std::string> names;
    const auto& directory = Headers().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (std::size_t offset = OffsetOf(directory.VirtualAddress);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
      const auto& descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(offset);
      if (descriptor.Name == 0) break;
      std::string name = StringAt(descriptor.Name);
      std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(toupper(c)); });
      names.insert(name);
    }
    return names;
  }

 private:
  std::vector<char> bytes_;
};

TEST(LauncherImage, IsA32BitGuiProgram) {
  const PeFile image(LauncherPath());
  ASSERT_EQ(image.At<IMAGE_DOS_HEADER>(0).e_magic, IMAGE_DOS_SIGNATURE);
  const IMAGE_NT_HEADERS32& headers = image.Headers();
  ASSERT_EQ(headers.Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(headers.FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(headers.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
  EXPECT_EQ(headers.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST(LauncherImage, ImportsKernel32AndTheRuntimeAndDelayLoadsTheRest) {
  const PeFile image(LauncherPath());
  EXPECT_EQ(image.ImportedDlls(), (std::set<std::string>{"KERNEL32.DLL", "MSVCRT.DLL"}));
  const auto delayed = image.DelayImports();
  ASSERT_EQ(delayed.size(), 2u);
  EXPECT_EQ(delayed[0].first, "USER32.dll");
  EXPECT_EQ(delayed[0].second, std::vector<std::string>{"MessageBoxW"});
  EXPECT_EQ(delayed[1].first, "ADVAPI32.dll");
  // The linker orders a DLL's slots by name.
  EXPECT_EQ(std::set<std::string>(delayed[1].second.begin(), delayed[1].second.end()),
            (std::set<std::string>{"GetTokenInformation", "OpenProcessToken", "IsWellKnownSid",
                                   "ConvertSidToStringSidA", "CreateProcessAsUserW"}));
  EXPECT_EQ(delayed[1].second.size(), 5u);
}

TEST(LauncherImage, AddressRandomisationDataExecutionPreventionAndControlFlowGuard) {
  const PeFile image(LauncherPath());
  const WORD characteristics = image.Headers().OptionalHeader.DllCharacteristics;
  EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
  EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
  EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_GUARD_CF);
  EXPECT_FALSE(characteristics & IMAGE_DLLCHARACTERISTICS_NO_SEH);
}

TEST(LauncherImage, LoadConfigurationCarriesTheGuardTableAndSystemOnlyDependentLoads) {
  const PeFile image(LauncherPath());
  const auto& directory = image.Headers().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  ASSERT_GE(directory.Size, 92u);
  const std::size_t config = image.OffsetOf(directory.VirtualAddress);
  EXPECT_EQ(image.At<WORD>(config + 54), LOAD_LIBRARY_SEARCH_SYSTEM32);  // DependentLoadFlags
  EXPECT_NE(image.At<DWORD>(config + 72), 0u);                           // guard check pointer
  EXPECT_NE(image.At<DWORD>(config + 80), 0u);                           // function table
  EXPECT_GT(image.At<DWORD>(config + 84), 0u);                           // function count
  const DWORD guardFlags = image.At<DWORD>(config + 88);
  EXPECT_TRUE(guardFlags & 0x100);  // instrumented
  EXPECT_TRUE(guardFlags & 0x400);  // function table present
}

// The image's resources, read by the system's own resource functions.
class LauncherResources : public testing::Test {
 protected:
  void SetUp() override {
    module_ = ::LoadLibraryExW(LauncherPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override { ::FreeLibrary(module_); }

  std::string Resource(const wchar_t* type, int id) const {
    const HRSRC found = ::FindResourceW(module_, MAKEINTRESOURCEW(id), type);
    if (found == nullptr) return {};
    const auto* data = static_cast<const char*>(::LockResource(::LoadResource(module_, found)));
    return std::string(data, ::SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

TEST_F(LauncherResources, ManifestRequiresAdministratorAndDeclaresDpiAndSystems) {
  const std::string manifest = Resource(MAKEINTRESOURCEW(24), 1);
  for (const char* expected :
       {"level=\"requireAdministrator\"", "uiAccess=\"false\"", ">True/PM</dpiAware>",
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
    EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
  }
}

TEST_F(LauncherResources, IconAndVersionOfTheProject) {
  EXPECT_FALSE(Resource(RT_GROUP_ICON, 1).empty());
  const DWORD size = ::GetFileVersionInfoSizeW(LauncherPath().c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<char> version(size);
  ASSERT_TRUE(::GetFileVersionInfoW(LauncherPath().c_str(), 0, size, version.data()));
  const auto text = [&](const wchar_t* key) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    return ::VerQueryValueW(version.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) && value
               ? std::wstring(value)
               : std::wstring();
  };
  EXPECT_EQ(text(L"ProductName"), L"VantorSetup");
  EXPECT_FALSE(text(L"FileDescription").empty());
  EXPECT_EQ(text(L"FileVersion"), VANTOR_EXPECTED_VERSION);
  EXPECT_EQ(text(L"ProductVersion"), VANTOR_EXPECTED_VERSION);
}

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

}  // namespace
