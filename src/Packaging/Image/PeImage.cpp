#include "Packaging/Image/PeImage.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace vantor::packaging {

namespace {

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
  const ByteView dos = file.Sub(0, pe::kDosHeaderSize, "DOS header");
  if (dos.U16(0) != pe::kDosSignature) throw FormatError("Not a PE image: no MZ signature");
  const std::size_t signature = dos.U32(pe::kNewHeaderOffset);
  const ByteView ntHeaders = file.Sub(signature, pe::kPeSignatureSize + pe::file::kSize, "PE signature and file header");
  if (ntHeaders.U32(0) != pe::kPeSignature) throw FormatError("Not a PE image: no PE signature at " + Hex(signature));
  const ByteView fileHeader = ntHeaders.From(pe::kPeSignatureSize, "file header");
  machine_ = fileHeader.U16(pe::file::kMachine);
  const std::uint16_t sectionCount = fileHeader.U16(pe::file::kNumberOfSections);
  symbolTable_ = fileHeader.U32(pe::file::kPointerToSymbolTable);
  symbolCount_ = fileHeader.U32(pe::file::kNumberOfSymbols);
  const std::uint16_t optionalSize = fileHeader.U16(pe::file::kSizeOfOptionalHeader);
  characteristics_ = fileHeader.U16(pe::file::kCharacteristics);

  layout_.fileHeader = signature + pe::kPeSignatureSize;
  layout_.optionalHeader = layout_.fileHeader + pe::file::kSize;
  ReadOptionalHeader(file.Sub(layout_.optionalHeader, optionalSize, "optional header"));
  if (sizeOfHeaders_ > bytes_.size()) {
    throw FormatError("Headers (SizeOfHeaders " + Hex(sizeOfHeaders_) + ") run past the end of the file (" +
                      Hex(bytes_.size()) + " bytes)");
  }
  layout_.sectionTable = layout_.optionalHeader + optionalSize;
  const std::size_t tableSize = sectionCount * pe::section::kSize;
  if (layout_.sectionTable + tableSize > sizeOfHeaders_) {
    throw FormatError("Section table (" + Hex(tableSize) + " bytes at " + Hex(layout_.sectionTable) +
                      ") runs past the end of the headers (SizeOfHeaders " + Hex(sizeOfHeaders_) + ")");
  }
  ReadSectionTable(file.Sub(layout_.sectionTable, tableSize, "section table"));
  CheckSectionLayout();
}

void PeImage::ReadOptionalHeader(ByteView optional) {
  const std::uint16_t magic = optional.U16(0);
  if (magic != pe::kMagicPe32 && magic != pe::kMagicPe32Plus) {
    throw FormatError("Not a PE32 or PE32+ image: optional header magic " + Hex(magic));
  }
  pe32Plus_ = magic == pe::kMagicPe32Plus;
  const pe::OptionalOffsets& at = pe32Plus_ ? pe::kPe32PlusOptional : pe::kPe32Optional;
  imageBase_ = optional.Unsigned(at.imageBase, PointerSize());
  sectionAlignment_ = optional.U32(pe::optional::kSectionAlignment);
  fileAlignment_ = optional.U32(pe::optional::kFileAlignment);
  sizeOfImage_ = optional.U32(pe::optional::kSizeOfImage);
  sizeOfHeaders_ = optional.U32(pe::optional::kSizeOfHeaders);
  checkSum_ = optional.U32(pe::optional::kCheckSum);
  subsystem_ = optional.U16(pe::optional::kSubsystem);
  dllCharacteristics_ = optional.U16(pe::optional::kDllCharacteristics);
  if (!IsPowerOfTwo(fileAlignment_) || fileAlignment_ < pe::kMinFileAlignment || fileAlignment_ > pe::kMaxFileAlignment) {
    throw FormatError("File alignment " + Hex(fileAlignment_) + " is not a power of two from " +
                      Hex(pe::kMinFileAlignment) + " to " + Hex(pe::kMaxFileAlignment));
  }
  if (!IsPowerOfTwo(sectionAlignment_) || sectionAlignment_ < fileAlignment_) {
    throw FormatError("Section alignment " + Hex(sectionAlignment_) + " is not a power of two at least the file alignment (" +
                      Hex(fileAlignment_) + ")");
  }

  const std::uint32_t count = std::min(optional.U32(at.numberOfRvaAndSizes), pe::kDirectoryCount);
  const ByteView table = optional.Sub(at.dataDirectories, count * pe::kDataDirectorySize, "data directories");
  layout_.dataDirectories = layout_.optionalHeader + at.dataDirectories;
  for (std::size_t i = 0; i < count; ++i) {
    directories_.push_back({table.U32(i * pe::kDataDirectorySize), table.U32(i * pe::kDataDirectorySize + 4)});
  }
}

void PeImage::ReadSectionTable(ByteView table) {
  for (std::size_t offset = 0; offset < table.Size(); offset += pe::section::kSize) {
    const ByteView header = table.Sub(offset, pe::section::kSize, "section header");
    Section section;
    section.name = SectionName(header.Sub(pe::section::kName, pe::section::kNameSize, "section name"));
    section.virtualSize = header.U32(pe::section::kVirtualSize);
    section.virtualAddress = header.U32(pe::section::kVirtualAddress);
    section.sizeOfRawData = header.U32(pe::section::kSizeOfRawData);
    section.pointerToRawData = header.U32(pe::section::kPointerToRawData);
    section.characteristics = header.U32(pe::section::kCharacteristics);
    sections_.push_back(std::move(section));
  }
}

// Sections in table order: file data after the headers and after the
// previous section's, addresses after the headers and the previous section.
// With file data ranges that cannot overlap, a writer that moves one section
// cannot make another point into what it wrote.
void PeImage::CheckSectionLayout() const {
  std::uint64_t fileEnd = sizeOfHeaders_;
  std::uint64_t virtualEnd = AlignUp(sizeOfHeaders_, sectionAlignment_);
  for (const Section& section : sections_) {
    const std::string what = "Section " + section.name + ": ";
    if (section.sizeOfRawData != 0) {
      if (section.pointerToRawData % fileAlignment_ != 0)
        throw FormatError(what + "its file data at " + Hex(section.pointerToRawData) + " is not aligned to " + Hex(fileAlignment_));
      if (section.pointerToRawData < fileEnd) {
        throw FormatError(what + "its file data at " + Hex(section.pointerToRawData) +
                          " overlaps the headers or the section before it (which end at " + Hex(fileEnd) + ")");
      }
      fileEnd = std::uint64_t{section.pointerToRawData} + section.sizeOfRawData;
      if (fileEnd > bytes_.size()) {
        throw FormatError(what + "its file data (" + Hex(section.sizeOfRawData) + " bytes at " +
                          Hex(section.pointerToRawData) + ") runs past the end of the file (" + Hex(bytes_.size()) + " bytes)");
      }
    }
    if (section.virtualAddress % sectionAlignment_ != 0 || section.virtualAddress < virtualEnd) {
      throw FormatError(what + "its address " + Hex(section.virtualAddress) +
                        " is not aligned, or overlaps the headers or the section before it (which end at " + Hex(virtualEnd) + ")");
    }
    // As mapped: the virtual size, or where a linker left that zero, the file data's.
    const std::uint32_t mapped = section.virtualSize != 0 ? section.virtualSize : section.sizeOfRawData;
    virtualEnd = AlignUp(std::uint64_t{section.virtualAddress} + mapped, sectionAlignment_);
    if (virtualEnd > sizeOfImage_)
      throw FormatError(what + "it ends at " + Hex(virtualEnd) + ", past SizeOfImage " + Hex(sizeOfImage_));
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
  const std::uint64_t strings = std::uint64_t{symbolTable_} + std::uint64_t{symbolCount_} * pe::kSymbolSize;
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
  for (std::size_t offset = 0;; offset += pe::import::kDescriptorSize) {
    const ByteView descriptor = descriptors.Sub(offset, pe::import::kDescriptorSize, "import descriptor");
    const std::uint32_t nameRva = descriptor.U32(pe::import::kName);
    if (nameRva == 0) return dlls;  // the zero descriptor ends the directory
    // The name table, or where a linker left none, the address table before binding.
    const std::uint32_t nameTable = descriptor.U32(pe::import::kNameTable);
    const std::uint32_t tableRva = nameTable != 0 ? nameTable : descriptor.U32(pe::import::kAddressTable);
    dlls.push_back({image.StringAt(nameRva, "imported DLL name"), ImportedFunctions(image, tableRva)});
  }
}

std::vector<ImportedDll> DelayImports(const PeImage& image) {
  const DataDirectory directory = image.DirectoryEntry(Directory::kDelayImport);
  if (directory.rva == 0) return {};
  const ByteView descriptors = image.FromRva(directory.rva, "delay-import directory");
  std::vector<ImportedDll> dlls;
  for (std::size_t offset = 0;; offset += pe::delay_import::kDescriptorSize) {
    const ByteView descriptor = descriptors.Sub(offset, pe::delay_import::kDescriptorSize, "delay-import descriptor");
    const bool rvaBased = descriptor.U32(pe::delay_import::kAttributes) & pe::delay_import::kRvaBased;
    const auto rvaOf = [&](std::size_t field, const char* name) {
      const std::uint32_t value = descriptor.U32(field);
      return rvaBased ? value : image.RvaOf(value, name);
    };
    if (descriptor.U32(pe::delay_import::kName) == 0) return dlls;  // the zero descriptor ends the directory
    const std::uint32_t nameRva = rvaOf(pe::delay_import::kName, "delay-loaded DLL name");
    const std::uint32_t tableRva = rvaOf(pe::delay_import::kNameTable, "delay-import name table");
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
  const pe::LoadConfigOffsets& at = image.IsPe32Plus() ? pe::kLoadConfig64 : pe::kLoadConfig32;
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
