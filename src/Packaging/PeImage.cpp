#include "Packaging/PeImage.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace vantor::packaging {

namespace {

constexpr std::uint16_t kDosSignature = 0x5A4D;    // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kNewHeaderField = 0x3C;  // where the DOS header keeps the PE signature's offset
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSymbolSize = 18;
constexpr std::size_t kDataDirectorySize = 8;
constexpr std::uint32_t kDirectoryCount = 16;  // any more are reserved and ignored

// Optional header fields whose offsets differ between PE32 and PE32+; the
// rest lie at the same offsets in both.
struct OptionalHeaderOffsets {
  std::size_t imageBase;
  std::size_t directoryCount;
  std::size_t directories;
};
constexpr OptionalHeaderOffsets kPe32Optional{28, 92, 96};
constexpr OptionalHeaderOffsets kPe32PlusOptional{24, 108, 112};

constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::size_t kDelayDescriptorSize = 32;
constexpr std::uint32_t kDelayAttributeRvaBased = 0x1;  // else its fields are virtual addresses

struct LoadConfigOffsets {
  std::size_t dependentLoadFlags;
  std::size_t guardCheckFunctionPointer;
  std::size_t guardDispatchFunctionPointer;
  std::size_t guardFunctionTable;
  std::size_t guardFunctionCount;
  std::size_t guardFlags;
};
constexpr LoadConfigOffsets kLoadConfig32{54, 72, 76, 80, 84, 88};
constexpr LoadConfigOffsets kLoadConfig64{78, 112, 120, 128, 136, 144};

// The part of a section that its file data backs: a loader zero-fills the
// rest of the virtual size. Some linkers leave the virtual size zero.
std::uint32_t FileBackedSize(const Section& section) {
  return section.virtualSize == 0 ? section.sizeOfRawData : std::min(section.virtualSize, section.sizeOfRawData);
}

}  // namespace

PeImage::PeImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) { ReadHeaders(); }

PeImage PeImage::FromFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) throw std::runtime_error("Cannot open " + path.u8string());
  const std::streamoff size = file.tellg();
  if (size < 0) throw std::runtime_error("Cannot size " + path.u8string());
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  file.seekg(0);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("Cannot read " + path.u8string());
  return PeImage(std::move(bytes));
}

void PeImage::ReadHeaders() {
  const ByteView file = Bytes();
  const ByteView dos = file.Sub(0, kDosHeaderSize, "DOS header");
  if (dos.U16(0) != kDosSignature) throw FormatError("Not a PE image: no MZ signature");
  const std::size_t signature = dos.U32(kNewHeaderField);
  const ByteView ntHeaders = file.Sub(signature, 4 + kFileHeaderSize, "PE signature and file header");
  if (ntHeaders.U32(0) != kPeSignature) throw FormatError("Not a PE image: no PE signature at " + Hex(signature));
  const ByteView fileHeader = ntHeaders.From(4, "file header");
  machine_ = fileHeader.U16(0);
  const std::uint16_t sectionCount = fileHeader.U16(2);
  symbolTable_ = fileHeader.U32(8);
  symbolCount_ = fileHeader.U32(12);
  const std::uint16_t optionalSize = fileHeader.U16(16);
  characteristics_ = fileHeader.U16(18);

  layout_.fileHeader = signature + 4;
  layout_.optionalHeader = layout_.fileHeader + kFileHeaderSize;
  ReadOptionalHeader(file.Sub(layout_.optionalHeader, optionalSize, "optional header"));
  if (sizeOfHeaders_ > bytes_.size()) {
    throw FormatError("Headers (SizeOfHeaders " + Hex(sizeOfHeaders_) + ") run past the end of the file (" +
                      Hex(bytes_.size()) + " bytes)");
  }
  layout_.sectionTable = layout_.optionalHeader + optionalSize;
  ReadSectionTable(file.Sub(layout_.sectionTable, sectionCount * kSectionHeaderSize, "section table"));
}

void PeImage::ReadOptionalHeader(ByteView optional) {
  const std::uint16_t magic = optional.U16(0);
  if (magic != pe::kMagicPe32 && magic != pe::kMagicPe32Plus) {
    throw FormatError("Not a PE32 or PE32+ image: optional header magic " + Hex(magic));
  }
  pe32Plus_ = magic == pe::kMagicPe32Plus;
  const OptionalHeaderOffsets& at = pe32Plus_ ? kPe32PlusOptional : kPe32Optional;
  imageBase_ = optional.Unsigned(at.imageBase, PointerSize());
  sectionAlignment_ = optional.U32(32);
  fileAlignment_ = optional.U32(36);
  sizeOfImage_ = optional.U32(56);
  sizeOfHeaders_ = optional.U32(60);
  checkSum_ = optional.U32(64);
  subsystem_ = optional.U16(68);
  dllCharacteristics_ = optional.U16(70);

  const std::uint32_t count = std::min(optional.U32(at.directoryCount), kDirectoryCount);
  const ByteView table = optional.Sub(at.directories, count * kDataDirectorySize, "data directories");
  layout_.dataDirectories = layout_.optionalHeader + at.directories;
  for (std::size_t i = 0; i < count; ++i) {
    directories_.push_back({table.U32(i * kDataDirectorySize), table.U32(i * kDataDirectorySize + 4)});
  }
}

void PeImage::ReadSectionTable(ByteView table) {
  for (std::size_t offset = 0; offset < table.Size(); offset += kSectionHeaderSize) {
    const ByteView header = table.Sub(offset, kSectionHeaderSize, "section header");
    Section section;
    section.name = SectionName(header.Sub(0, 8, "section name"));
    section.virtualSize = header.U32(8);
    section.virtualAddress = header.U32(12);
    section.sizeOfRawData = header.U32(16);
    section.pointerToRawData = header.U32(20);
    section.characteristics = header.U32(36);
    if (section.sizeOfRawData != 0 &&
        std::uint64_t{section.pointerToRawData} + section.sizeOfRawData > bytes_.size()) {
      throw FormatError("Section " + section.name + ": its file data (" + Hex(section.sizeOfRawData) +
                        " bytes at " + Hex(section.pointerToRawData) + ") runs past the end of the file (" +
                        Hex(bytes_.size()) + " bytes)");
    }
    sections_.push_back(std::move(section));
  }
}

// A name longer than 8 characters is stored as "/<offset>" into the COFF
// string table, which follows the symbol table (stripped images have neither).
std::string PeImage::SectionName(ByteView field) const {
  std::string name(reinterpret_cast<const char*>(field.Data()), field.Size());
  name.erase(std::min(name.find('\0'), name.size()));
  if (name.size() < 2 || name[0] != '/' || name.find_first_not_of("0123456789", 1) != std::string::npos ||
      symbolTable_ == 0) {
    return name;
  }
  const std::uint64_t strings = std::uint64_t{symbolTable_} + std::uint64_t{symbolCount_} * kSymbolSize;
  if (strings > bytes_.size()) throw FormatError("COFF string table lies past the end of the file");
  return Bytes().From(static_cast<std::size_t>(strings), "COFF string table").CString(std::stoul(name.substr(1)));
}

DataDirectory PeImage::DirectoryEntry(Directory index) const {
  const auto i = static_cast<std::size_t>(index);
  return i < directories_.size() ? directories_[i] : DataDirectory{};
}

PeImage::Region PeImage::RegionOf(std::uint32_t rva, const char* name) const {
  if (rva < sizeOfHeaders_) return {ByteView(bytes_.data(), sizeOfHeaders_, name), 0};
  for (const Section& section : sections_) {
    const std::uint32_t backed = FileBackedSize(section);
    if (rva >= section.virtualAddress && rva - section.virtualAddress < backed) {
      return {ByteView(bytes_.data() + section.pointerToRawData, backed, name), section.virtualAddress};
    }
  }
  throw FormatError(std::string(name) + " at RVA " + Hex(rva) + " lies in no section's file data");
}

ByteView PeImage::FromRva(std::uint32_t rva, const char* name) const {
  const Region region = RegionOf(rva, name);
  return region.bytes.From(rva - region.rva, name);
}

ByteView PeImage::AtRva(std::uint32_t rva, std::size_t length, const char* name) const {
  const ByteView rest = FromRva(rva, name);
  if (length > rest.Size()) {
    throw FormatError(std::string(name) + " (" + Hex(length) + " bytes at RVA " + Hex(rva) +
                      ") runs past the end of the file data that holds it");
  }
  return ByteView(rest.Data(), length, name);
}

std::size_t PeImage::FileOffset(std::uint32_t rva) const {
  return static_cast<std::size_t>(FromRva(rva, "address").Data() - bytes_.data());
}

std::string PeImage::StringAt(std::uint32_t rva, const char* name) const { return FromRva(rva, name).CString(0); }

std::uint32_t PeImage::RvaOf(std::uint64_t va, const char* name) const {
  if (va < imageBase_ || va - imageBase_ >= sizeOfImage_) {
    throw FormatError(std::string(name) + " at " + Hex(va) + " lies outside the image");
  }
  return static_cast<std::uint32_t>(va - imageBase_);
}

namespace {

// The functions of an import name table: pointer-sized entries up to a zero
// one, each an ordinal (top bit set) or the RVA of a hint and a name.
std::vector<std::string> ImportedFunctions(const PeImage& image, std::uint32_t tableRva) {
  if (tableRva == 0) throw FormatError("Import descriptor has no name table");
  const ByteView table = image.FromRva(tableRva, "import name table");
  const std::size_t width = image.PointerSize();
  const std::uint64_t ordinalFlag = std::uint64_t{1} << (8 * width - 1);
  std::vector<std::string> functions;
  for (std::size_t offset = 0;; offset += width) {
    const std::uint64_t entry = table.Unsigned(offset, width);
    if (entry == 0) return functions;
    if (entry & ordinalFlag) {
      functions.push_back("#" + std::to_string(entry & 0xFFFF));
    } else if (entry > 0x7FFFFFFF) {
      throw FormatError("Import name table entry " + Hex(entry) + " is neither an ordinal nor a name's RVA");
    } else {
      functions.push_back(image.FromRva(static_cast<std::uint32_t>(entry), "imported function name").CString(2));
    }
  }
}

}  // namespace

std::vector<ImportedDll> Imports(const PeImage& image) {
  const DataDirectory directory = image.DirectoryEntry(Directory::kImport);
  if (directory.rva == 0) return {};
  const ByteView descriptors = image.FromRva(directory.rva, "import directory");
  std::vector<ImportedDll> dlls;
  for (std::size_t offset = 0;; offset += kImportDescriptorSize) {
    const ByteView descriptor = descriptors.Sub(offset, kImportDescriptorSize, "import descriptor");
    const std::uint32_t nameRva = descriptor.U32(12);
    if (nameRva == 0) return dlls;  // the zero descriptor ends the directory
    // The name table, or where a linker left none, the address table before binding.
    const std::uint32_t tableRva = descriptor.U32(0) != 0 ? descriptor.U32(0) : descriptor.U32(16);
    dlls.push_back({image.StringAt(nameRva, "imported DLL name"), ImportedFunctions(image, tableRva)});
  }
}

std::vector<ImportedDll> DelayImports(const PeImage& image) {
  const DataDirectory directory = image.DirectoryEntry(Directory::kDelayImport);
  if (directory.rva == 0) return {};
  const ByteView descriptors = image.FromRva(directory.rva, "delay-import directory");
  std::vector<ImportedDll> dlls;
  for (std::size_t offset = 0;; offset += kDelayDescriptorSize) {
    const ByteView descriptor = descriptors.Sub(offset, kDelayDescriptorSize, "delay-import descriptor");
    const bool rvaBased = descriptor.U32(0) & kDelayAttributeRvaBased;
    const auto rvaOf = [&](std::size_t field, const char* name) {
      const std::uint32_t value = descriptor.U32(field);
      return rvaBased ? value : image.RvaOf(value, name);
    };
    if (descriptor.U32(4) == 0) return dlls;  // the zero descriptor ends the directory
    const std::uint32_t nameRva = rvaOf(4, "delay-loaded DLL name");
    const std::uint32_t tableRva = rvaOf(16, "delay-import name table");
    dlls.push_back({image.StringAt(nameRva, "delay-loaded DLL name"), ImportedFunctions(image, tableRva)});
  }
}

std::optional<LoadConfig> ReadLoadConfig(const PeImage& image) {
  const DataDirectory directory = image.DirectoryEntry(Directory::kLoadConfig);
  if (directory.rva == 0) return std::nullopt;
  LoadConfig config;
  config.size = image.AtRva(directory.rva, 4, "load configuration").U32(0);
  const ByteView fields = image.AtRva(directory.rva, config.size, "load configuration");
  const auto field = [&](std::size_t offset, std::size_t width) {
    return offset + width <= fields.Size() ? fields.Unsigned(offset, width) : 0;
  };
  const LoadConfigOffsets& at = image.IsPe32Plus() ? kLoadConfig64 : kLoadConfig32;
  const std::size_t pointer = image.PointerSize();
  config.dependentLoadFlags = static_cast<std::uint16_t>(field(at.dependentLoadFlags, 2));
  config.guardCheckFunctionPointer = field(at.guardCheckFunctionPointer, pointer);
  config.guardDispatchFunctionPointer = field(at.guardDispatchFunctionPointer, pointer);
  config.guardFunctionTable = field(at.guardFunctionTable, pointer);
  config.guardFunctionCount = field(at.guardFunctionCount, pointer);
  config.guardFlags = static_cast<std::uint32_t>(field(at.guardFlags, 4));
  return config;
}

}  // namespace vantor::packaging
