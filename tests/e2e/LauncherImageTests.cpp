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

TEST(LauncherImage, IsA32BitGuiProgramImportingOnlySystemDlls) {
  const PeFile image(LauncherPath());
  ASSERT_EQ(image.At<IMAGE_DOS_HEADER>(0).e_magic, IMAGE_DOS_SIGNATURE);
  const IMAGE_NT_HEADERS32& headers = image.Headers();
  ASSERT_EQ(headers.Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(headers.FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(headers.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
  EXPECT_EQ(headers.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

  const std::set<std::string> system = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL"};
  const std::set<std::string> imported = image.ImportedDlls();
  EXPECT_TRUE(imported.count("KERNEL32.DLL"));
  for (const std::string& name : imported) EXPECT_TRUE(system.count(name)) << name;
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
