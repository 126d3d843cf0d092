#pragma once

// A Windows executable image (PE32 or PE32+) read from its file, on any host:
// headers, sections, data directories and the tables the launcher's hardening
// lives in (imports, delay imports, load configuration). Resources are read
// by PeResources.h. Fields are read by offset (PeFormat.h) as little-endian
// values; every read is bounds-checked and a malformed image raises FormatError.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Packaging/Image/ByteView.h"
#include "Packaging/Image/PeFormat.h"

namespace vantor::packaging {

using pe::Directory;

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

struct Section {
  std::string name;  // padding removed; a long name is read from the COFF string table when there is one
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t pointerToRawData = 0;
  std::uint32_t sizeOfRawData = 0;
  std::uint32_t characteristics = 0;
};

// File offsets of the headers, for code that rewrites them in place.
struct HeaderLayout {
  std::size_t fileHeader = 0;       // just after the "PE\0\0" signature
  std::size_t optionalHeader = 0;
  std::size_t dataDirectories = 0;  // the first of them
  std::size_t sectionTable = 0;
};

class PeImage {
 public:
  // Takes the whole file and checks its headers and section table: a file
  // that is not a PE image raises FormatError, and so does one whose layout
  // breaks a rule of a valid image: the file alignment a power of two from
  // 512 to 64 KiB, the section alignment a power of two not below it; the
  // headers (the section table included) end before the first section's file
  // data; sections' file data aligned, in table order, not overlapping, inside
  // the file; their addresses aligned, ascending, not overlapping, inside
  // SizeOfImage.
  explicit PeImage(std::vector<std::uint8_t> bytes);
  // Reads the file at `path`; raises std::runtime_error when it cannot.
  static PeImage FromFile(const std::filesystem::path& path);

  ByteView Bytes() const { return ByteView(bytes_.data(), bytes_.size(), "image file"); }
  const HeaderLayout& Layout() const { return layout_; }

  std::uint16_t Machine() const { return machine_; }
  bool IsPe32Plus() const { return pe32Plus_; }
  std::size_t PointerSize() const { return pe32Plus_ ? 8 : 4; }
  std::uint16_t Characteristics() const { return characteristics_; }
  std::uint16_t Subsystem() const { return subsystem_; }
  std::uint16_t DllCharacteristics() const { return dllCharacteristics_; }
  std::uint64_t ImageBase() const { return imageBase_; }
  std::uint32_t SectionAlignment() const { return sectionAlignment_; }
  std::uint32_t FileAlignment() const { return fileAlignment_; }
  std::uint32_t SizeOfImage() const { return sizeOfImage_; }
  std::uint32_t SizeOfHeaders() const { return sizeOfHeaders_; }
  std::uint32_t CheckSum() const { return checkSum_; }

  const std::vector<Section>& Sections() const { return sections_; }
  // A directory the image does not have reads as zero.
  DataDirectory DirectoryEntry(Directory index) const;

  // Where the byte at `rva` lies in the file: in the headers, or in a
  // section's file data. Raises FormatError for any other address.
  std::size_t FileOffset(std::uint32_t rva) const;
  // The bytes from `rva` to the end of the headers or section holding it.
  ByteView FromRva(std::uint32_t rva, const char* name) const;
  // The `length` bytes at `rva`, which must lie in one section's file data.
  ByteView AtRva(std::uint32_t rva, std::size_t length, const char* name) const;
  // The NUL-terminated string at `rva`.
  std::string StringAt(std::uint32_t rva, const char* name) const;
  // The RVA of the virtual address `va`; raises FormatError outside the image.
  std::uint32_t RvaOf(std::uint64_t va, const char* name) const;

 private:
  void ReadHeaders();
  void ReadOptionalHeader(ByteView optional);
  void ReadSectionTable(ByteView table);
  void CheckSectionLayout() const;
  std::string SectionName(ByteView field) const;
  // The headers' or a section's file data, and the RVA it starts at.
  struct Region {
    ByteView bytes;
    std::uint32_t rva;
  };
  Region RegionOf(std::uint32_t rva, const char* name) const;

  std::vector<std::uint8_t> bytes_;
  HeaderLayout layout_;
  std::uint16_t machine_ = 0;
  std::uint16_t characteristics_ = 0;
  std::uint32_t symbolTable_ = 0;  // file offset of the COFF symbol table, if the image kept one
  std::uint32_t symbolCount_ = 0;
  bool pe32Plus_ = false;
  std::uint16_t subsystem_ = 0;
  std::uint16_t dllCharacteristics_ = 0;
  std::uint64_t imageBase_ = 0;
  std::uint32_t sectionAlignment_ = 0;
  std::uint32_t fileAlignment_ = 0;
  std::uint32_t sizeOfImage_ = 0;
  std::uint32_t sizeOfHeaders_ = 0;
  std::uint32_t checkSum_ = 0;
  std::vector<DataDirectory> directories_;
  std::vector<Section> sections_;
};

// A DLL of the import or delay-import directory with the functions it
// provides, in slot order. A function imported by ordinal reads "#<ordinal>".
struct ImportedDll {
  std::string name;
  std::vector<std::string> functions;
};

// The import directory, in directory order.
std::vector<ImportedDll> Imports(const PeImage& image);
// The delay-import directory, in directory order.
std::vector<ImportedDll> DelayImports(const PeImage& image);

// The load configuration fields the launcher's hardening sets. Fields past
// the structure's own size read as zero; addresses are virtual addresses.
struct LoadConfig {
  std::uint32_t size = 0;  // the structure's first field
  std::uint16_t dependentLoadFlags = 0;
  std::uint64_t guardCheckFunctionPointer = 0;
  std::uint64_t guardDispatchFunctionPointer = 0;  // used on x64 only
  std::uint64_t guardFunctionTable = 0;
  std::uint64_t guardFunctionCount = 0;
  std::uint32_t guardFlags = 0;
};

// None when the image has no load configuration directory.
std::optional<LoadConfig> ReadLoadConfig(const PeImage& image);

}  // namespace vantor::packaging
