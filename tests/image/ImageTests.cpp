// The launcher image as a file: architecture, hardening, load configuration,
// imports and resources. Read with the portable reader, so the same checks run
// on Windows and on a build host that cannot run the image at all.
//
// VANTOR_IMAGE names the image and VANTOR_IMAGE_ARCH its architecture (x86 or
// x64). A Windows build defaults to the VantorSetup.exe beside this program,
// built for its own architecture; elsewhere both must be set.
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Launcher/StubContract.h"
#include "Packaging/Branding/IconResource.h"
#include "Packaging/Branding/VersionResource.h"
#include "Packaging/Image/PeImage.h"
#include "Packaging/Image/PeResources.h"

#ifdef _WIN32
#include "Harness.h"
#endif

namespace {

using namespace vantor::packaging;

// What the launcher looks like on each architecture.
struct Architecture {
  const char* name;  // as VANTOR_IMAGE_ARCH gives it
  std::uint16_t machine;
  bool pe32Plus;
  const char* manifestArchitecture;   // processorArchitecture in the application manifest
  std::uint32_t minimumLoadConfigSize;  // up to and including GuardFlags
};
constexpr Architecture kX86{"x86", pe::kMachineI386, false, "x86", 92};
constexpr Architecture kX64{"x64", pe::kMachineAmd64, true, "amd64", 148};

std::filesystem::path ImagePath() {
#ifdef _WIN32
  if (const wchar_t* path = _wgetenv(L"VANTOR_IMAGE"); path != nullptr && *path != L'\0') return path;
  return harness::ProgramDirectory() + L"VantorSetup.exe";
#else
  if (const char* path = std::getenv("VANTOR_IMAGE"); path != nullptr && *path != '\0') return path;
  throw std::runtime_error("VANTOR_IMAGE is not set: name the launcher image to check");
#endif
}

const Architecture& ImageArchitecture() {
  const char* value = std::getenv("VANTOR_IMAGE_ARCH");
  std::string name = value != nullptr ? value : "";
#if defined(_WIN64)
  if (name.empty()) name = kX64.name;
#elif defined(_WIN32)
  if (name.empty()) name = kX86.name;
#endif
  if (name == kX86.name) return kX86;
  if (name == kX64.name) return kX64;
  throw std::runtime_error("VANTOR_IMAGE_ARCH is '" + name + "': set it to x86 or x64");
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string VersionText(const VersionInfo::Version& version) {
  return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
         std::to_string(version[3]);
}

class LauncherImage : public testing::Test {
 protected:
  LauncherImage() : arch_(ImageArchitecture()), image_(PeImage::FromFile(ImagePath())) {}

  std::string ResourceText(std::uint32_t type, std::uint32_t name) const {
    const std::optional<ByteView> data = FindResourceData(image_, type, name);
    return data ? std::string(reinterpret_cast<const char*>(data->Data()), data->Size()) : std::string();
  }

  bool InImage(std::uint64_t va) const {
    return va >= image_.ImageBase() && va - image_.ImageBase() < image_.SizeOfImage();
  }
  // The pointer stored at `va`.
  std::uint64_t PointerAt(std::uint64_t va) const {
    return image_.AtRva(image_.RvaOf(va, "pointer"), image_.PointerSize(), "pointer").Unsigned(0, image_.PointerSize());
  }

  const Architecture& arch_;
  const PeImage image_;
};

TEST_F(LauncherImage, IsALargeAddressAwareGuiProgramForItsArchitecture) {
  EXPECT_EQ(image_.Machine(), arch_.machine);
  EXPECT_EQ(image_.IsPe32Plus(), arch_.pe32Plus);
  EXPECT_EQ(image_.Subsystem(), pe::kSubsystemWindowsGui);
  EXPECT_TRUE(image_.Characteristics() & pe::kFileExecutableImage);
  EXPECT_TRUE(image_.Characteristics() & pe::kFileLargeAddressAware);
  EXPECT_FALSE(image_.Characteristics() & pe::kFileDll);
}

TEST_F(LauncherImage, RandomisesAddressesBlocksDataExecutionAndGuardsControlFlow) {
  const std::uint16_t flags = image_.DllCharacteristics();
  EXPECT_TRUE(flags & pe::kDllDynamicBase);
  EXPECT_TRUE(flags & pe::kDllNxCompat);
  EXPECT_TRUE(flags & pe::kDllGuardCf);
  EXPECT_TRUE(flags & pe::kDllTerminalServerAware);
  EXPECT_FALSE(flags & pe::kDllNoSeh);
  EXPECT_EQ((flags & pe::kDllHighEntropyVa) != 0, arch_.pe32Plus);  // there is no 64-bit address space to use on x86
}

TEST_F(LauncherImage, LoadConfigurationCarriesTheGuardTablesAndSystemOnlyDependentLoads) {
  const std::optional<LoadConfig> config = ReadLoadConfig(image_);
  ASSERT_TRUE(config);
  EXPECT_GE(config->size, arch_.minimumLoadConfigSize);
  EXPECT_EQ(config->dependentLoadFlags, pe::kLoadLibrarySearchSystem32);
  // The guard's call pointers are slots in the image, filled with a function.
  ASSERT_TRUE(InImage(config->guardCheckFunctionPointer));
  EXPECT_NE(PointerAt(config->guardCheckFunctionPointer), 0u);
  if (arch_.pe32Plus) {
    ASSERT_TRUE(InImage(config->guardDispatchFunctionPointer));
    EXPECT_NE(PointerAt(config->guardDispatchFunctionPointer), 0u);
  }
  EXPECT_TRUE(InImage(config->guardFunctionTable));
  EXPECT_GT(config->guardFunctionCount, 0u);
  EXPECT_TRUE(config->guardFlags & pe::kGuardCfInstrumented);
  EXPECT_TRUE(config->guardFlags & pe::kGuardCfFunctionTablePresent);
}

TEST_F(LauncherImage, ImportsOnlyKernel32AndTheRuntimeAndDelayLoadsTheRest) {
  std::multiset<std::string> imported;
  for (const ImportedDll& dll : Imports(image_)) imported.insert(Upper(dll.name));
  EXPECT_EQ(imported, (std::multiset<std::string>{"KERNEL32.DLL", "MSVCRT.DLL"}));

  // The linker orders the DLLs and a DLL's slots as it finds them.
  std::map<std::string, std::multiset<std::string>> delayed;
  for (const ImportedDll& dll : DelayImports(image_)) {
    delayed[dll.name].insert(dll.functions.begin(), dll.functions.end());
  }
  EXPECT_EQ(delayed, (std::map<std::string, std::multiset<std::string>>{
                         {"USER32.dll", {"MessageBoxW", "GetProcessWindowStation", "GetUserObjectInformationW"}},
                         {"ADVAPI32.dll",
                          {"GetTokenInformation", "OpenProcessToken", "IsWellKnownSid", "ConvertSidToStringSidA",
                           "CreateProcessAsUserW", "RegisterEventSourceW", "ReportEventW", "DeregisterEventSource"}}}));
}

TEST_F(LauncherImage, SectionsArePageAlignedInTheFile) {
  ASSERT_FALSE(image_.Sections().empty());
  for (const Section& section : image_.Sections()) EXPECT_EQ(section.pointerToRawData % 4096, 0u) << section.name;
}

TEST_F(LauncherImage, ManifestRequiresAdministratorDeclaresDpiAndSystemsForItsArchitecture) {
  const std::string manifest = ResourceText(pe::kResourceManifest, 1);
  ASSERT_FALSE(manifest.empty()) << "no application manifest (type 24, id 1)";
  const std::string architecture = std::string("processorArchitecture=\"") + arch_.manifestArchitecture + "\"";
  for (const std::string& expected :
       {std::string("level=\"requireAdministrator\""), std::string("uiAccess=\"false\""),
        std::string(">True/PM</dpiAware>"), std::string("{e2011457-1546-43c5-a5fe-008deee3d3f0}"),
        std::string("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"), std::string("{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"),
        std::string("{1f676c76-80e1-4239-95bb-83d0f6d0da78}"), std::string("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"),
        architecture}) {
    EXPECT_NE(manifest.find(expected), std::string::npos) << "missing: " << expected;
  }
}

// The project's or, on a branded launcher, a vendor's: an icon group whose
// images are all there, and a version resource naming a product.
TEST_F(LauncherImage, CarriesAnIconAndTheVersion) {
  const std::optional<ByteView> group = FindResourceData(image_, pe::kResourceGroupIcon, 1);
  ASSERT_TRUE(group) << "no icon group (type 14, id 1)";
  const std::vector<IconGroupEntry> entries = ReadIconGroup(*group);
  ASSERT_FALSE(entries.empty());
  for (const IconGroupEntry& entry : entries) {
    const std::optional<ByteView> icon = FindResourceData(image_, pe::kResourceIcon, entry.id);
    ASSERT_TRUE(icon) << "icon " << entry.id;
    EXPECT_EQ(icon->Size(), entry.image.size) << "icon " << entry.id;
  }

  const std::optional<ByteView> data = FindResourceData(image_, pe::kResourceVersion, 1);
  ASSERT_TRUE(data) << "no version resource (type 16, id 1)";
  const VersionInfo version = ParseVersionInfo(*data);
  const std::string expected = VANTOR_EXPECTED_VERSION;
  const std::u16string expectedText(expected.begin(), expected.end());
  EXPECT_FALSE(version.String(u"ProductName").value_or(u"").empty());
  EXPECT_FALSE(version.String(u"CompanyName").value_or(u"").empty());
  EXPECT_FALSE(version.String(u"FileDescription").value_or(u"").empty());
  EXPECT_EQ(version.String(u"FileVersion"), expectedText);
  EXPECT_EQ(version.String(u"ProductVersion"), expectedText);
  EXPECT_EQ(VersionText(version.fileVersion), expected);
  EXPECT_EQ(VersionText(version.productVersion), expected);
}

TEST_F(LauncherImage, CarriesTheInstallerAndItsManifest) {
  EXPECT_FALSE(ResourceText(pe::kResourceRcData, vantor::contract::kInstallerResource).empty());
  EXPECT_FALSE(ResourceText(pe::kResourceRcData, vantor::contract::kManifestResource).empty());
}

// Reads every table the reader knows.
void ReadEverything(const PeImage& image) {
  Imports(image);
  DelayImports(image);
  ReadLoadConfig(image);
  for (const Resource& resource : ReadResources(image)) {
    const ByteView data = ResourceData(image, resource);
    if (resource.type == ResourceId(pe::kResourceVersion)) ParseVersionInfo(data);
  }
}

// Writes the low `width` bytes of `value` at `offset`.
void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

// A damaged copy of the image raises FormatError, whether it is cut short or
// has a field pointing outside the file: the reader never reads past its data.
TEST_F(LauncherImage, DamagedCopiesRaiseFormatErrors) {
  ASSERT_NO_THROW(ReadEverything(image_));
  const ByteView file = image_.Bytes();
  const std::vector<std::uint8_t> original(file.Data(), file.Data() + file.Size());
  const HeaderLayout& layout = image_.Layout();

  std::vector<std::size_t> cuts{0, 0x3C, layout.fileHeader + 8, layout.optionalHeader + 64, layout.sectionTable + 20};
  for (const Section& section : image_.Sections()) {
    if (section.sizeOfRawData != 0) cuts.push_back(section.pointerToRawData + section.sizeOfRawData - 1);
  }
  for (const std::size_t cut : cuts) {
    const auto end = original.begin() + static_cast<std::ptrdiff_t>(cut);
    EXPECT_THROW(PeImage(std::vector<std::uint8_t>(original.begin(), end)), FormatError) << "cut at " << cut;
  }

  struct Damage {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
    std::size_t width;
  };
  const std::size_t importDirectory = layout.dataDirectories + 8 * static_cast<std::size_t>(Directory::kImport);
  std::vector<Damage> damages{
      {"PE header offset", 0x3C, 0xFFFFFFF0, 4},
      {"optional header magic", layout.optionalHeader, 0x0107, 2},
      {"section count", layout.fileHeader + 2, 0xFFFF, 2},
      {"import directory", importDirectory, image_.SizeOfImage() + 0x1000, 4},
  };
  // Inside the tables the image has.
  const auto inTable = [&](Directory index, Damage damage) {
    if (const std::uint32_t rva = image_.DirectoryEntry(index).rva; rva != 0) {
      damage.offset += image_.FileOffset(rva);
      damages.push_back(damage);
    }
  };
  inTable(Directory::kDelayImport, {"delay-import name table", 16, 0xFFFFFF00, 4});
  inTable(Directory::kLoadConfig, {"load configuration size", 0, 0x7FFFFFFF, 4});
  inTable(Directory::kResource, {"resource table entry counts", 12, 0xFFFFFFFF, 4});
  inTable(Directory::kResource, {"resource subtable", 20, 0x8FFFFFF0, 4});
  for (const Resource& resource : ReadResources(image_)) {
    if (resource.type == ResourceId(pe::kResourceVersion)) {
      damages.push_back({"version block length", image_.FileOffset(resource.dataRva), 0, 2});
    }
  }
  for (const auto& damage : damages) {
    std::vector<std::uint8_t> bytes = original;
    Put(bytes, damage.offset, damage.value, damage.width);
    EXPECT_THROW(ReadEverything(PeImage(std::move(bytes))), FormatError) << damage.what;
  }
}

}  // namespace
