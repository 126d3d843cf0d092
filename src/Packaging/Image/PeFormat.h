#pragma once

// The layout of a Windows executable image (PE32 and PE32+), its resource
// directory and its version resource: field offsets and the values this
// project reads or writes. Every reader and writer of the format takes its
// numbers from here; fields are little-endian (ByteView.h reads and writes them).

#include <cstddef>
#include <cstdint>

namespace vantor::packaging::pe {

// DOS header: "MZ", and where the PE signature lies.
inline constexpr std::uint16_t kDosSignature = 0x5A4D;
inline constexpr std::size_t kDosHeaderSize = 64;
inline constexpr std::size_t kNewHeaderOffset = 0x3C;  // e_lfanew
inline constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
inline constexpr std::size_t kPeSignatureSize = 4;

// COFF file header, after the PE signature.
namespace file {
inline constexpr std::size_t kMachine = 0;
inline constexpr std::size_t kNumberOfSections = 2;
inline constexpr std::size_t kPointerToSymbolTable = 8;
inline constexpr std::size_t kNumberOfSymbols = 12;
inline constexpr std::size_t kSizeOfOptionalHeader = 16;
inline constexpr std::size_t kCharacteristics = 18;
inline constexpr std::size_t kSize = 20;
}  // namespace file
inline constexpr std::size_t kSymbolSize = 18;  // a COFF symbol table entry; the string table follows them

// Optional header. Fields whose offsets differ between PE32 and PE32+ are in
// OptionalOffsets; the rest lie at the same offsets in both.
namespace optional {
inline constexpr std::size_t kMagic = 0;
inline constexpr std::size_t kSizeOfInitializedData = 8;
inline constexpr std::size_t kSectionAlignment = 32;
inline constexpr std::size_t kFileAlignment = 36;
inline constexpr std::size_t kSizeOfImage = 56;
inline constexpr std::size_t kSizeOfHeaders = 60;
inline constexpr std::size_t kCheckSum = 64;
inline constexpr std::size_t kSubsystem = 68;
inline constexpr std::size_t kDllCharacteristics = 70;
}  // namespace optional
struct OptionalOffsets {
  std::size_t imageBase;
  std::size_t numberOfRvaAndSizes;
  std::size_t dataDirectories;
};
inline constexpr OptionalOffsets kPe32Optional{28, 92, 96};
inline constexpr OptionalOffsets kPe32PlusOptional{24, 108, 112};

// Data directories: an RVA and a size each, at most 16 (any more are reserved).
inline constexpr std::size_t kDataDirectorySize = 8;
inline constexpr std::uint32_t kDirectoryCount = 16;
enum class Directory : std::uint32_t {
  kExport = 0,
  kImport = 1,
  kResource = 2,
  kException = 3,
  kSecurity = 4,  // the one directory that holds a file offset, not an RVA
  kBaseRelocation = 5,
  kDebug = 6,
  kTls = 9,
  kLoadConfig = 10,
  kBoundImport = 11,
  kImportAddressTable = 12,
  kDelayImport = 13,
  kClrRuntime = 14,
};

// Base relocations: blocks of a page's RVA and the block's size, then 16-bit
// entries, a type in the top 4 bits and an offset into the page below.
inline constexpr std::size_t kRelocationBlockHeader = 8;
inline constexpr unsigned kRelocationAbsolute = 0;  // padding, patches nothing
inline constexpr unsigned kRelocationHighLow = 3;   // 32 bits
inline constexpr unsigned kRelocationDir64 = 10;    // 64 bits

// Section header, one per section after the optional header.
namespace section {
inline constexpr std::size_t kName = 0;
inline constexpr std::size_t kNameSize = 8;
inline constexpr std::size_t kVirtualSize = 8;
inline constexpr std::size_t kVirtualAddress = 12;
inline constexpr std::size_t kSizeOfRawData = 16;
inline constexpr std::size_t kPointerToRawData = 20;
inline constexpr std::size_t kCharacteristics = 36;
inline constexpr std::size_t kSize = 40;
inline constexpr std::uint32_t kInitializedData = 0x40;  // a Characteristics flag
}  // namespace section

// Alignments a loader accepts and this project's tools handle: the file
// alignment a power of two from 512 to 64 KiB, the section alignment a power
// of two not below it.
inline constexpr std::uint32_t kMinFileAlignment = 0x200;
inline constexpr std::uint32_t kMaxFileAlignment = 0x10000;

inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;

inline constexpr std::uint16_t kMagicPe32 = 0x010B;
inline constexpr std::uint16_t kMagicPe32Plus = 0x020B;

inline constexpr std::uint16_t kSubsystemWindowsGui = 2;
inline constexpr std::uint16_t kSubsystemWindowsConsole = 3;

// File header Characteristics.
inline constexpr std::uint16_t kFileExecutableImage = 0x0002;
inline constexpr std::uint16_t kFileLargeAddressAware = 0x0020;
inline constexpr std::uint16_t kFile32BitMachine = 0x0100;
inline constexpr std::uint16_t kFileDll = 0x2000;

// Optional header DllCharacteristics.
inline constexpr std::uint16_t kDllHighEntropyVa = 0x0020;
inline constexpr std::uint16_t kDllDynamicBase = 0x0040;
inline constexpr std::uint16_t kDllNxCompat = 0x0100;
inline constexpr std::uint16_t kDllNoSeh = 0x0400;
inline constexpr std::uint16_t kDllGuardCf = 0x4000;
inline constexpr std::uint16_t kDllTerminalServerAware = 0x8000;

// Import and delay-import descriptors.
namespace import {
inline constexpr std::size_t kDescriptorSize = 20;
inline constexpr std::size_t kNameTable = 0;  // OriginalFirstThunk
inline constexpr std::size_t kName = 12;
inline constexpr std::size_t kAddressTable = 16;  // FirstThunk
}  // namespace import
namespace delay_import {
inline constexpr std::size_t kDescriptorSize = 32;
inline constexpr std::size_t kAttributes = 0;
inline constexpr std::size_t kName = 4;
inline constexpr std::size_t kNameTable = 16;
inline constexpr std::uint32_t kRvaBased = 0x1;  // an attribute; else its fields are virtual addresses
}  // namespace delay_import

// Load configuration fields the launcher's hardening sets, per architecture.
struct LoadConfigOffsets {
  std::size_t dependentLoadFlags;
  std::size_t guardCheckFunctionPointer;
  std::size_t guardDispatchFunctionPointer;
  std::size_t guardFunctionTable;
  std::size_t guardFunctionCount;
  std::size_t guardFlags;
};
inline constexpr LoadConfigOffsets kLoadConfig32{54, 72, 76, 80, 84, 88};
inline constexpr LoadConfigOffsets kLoadConfig64{78, 112, 120, 128, 136, 144};
// Load configuration GuardFlags and DependentLoadFlags.
inline constexpr std::uint32_t kGuardCfInstrumented = 0x0100;
inline constexpr std::uint32_t kGuardCfFunctionTablePresent = 0x0400;
inline constexpr std::uint16_t kLoadLibrarySearchSystem32 = 0x0800;

// Resource directory: tables of entries, three levels (type, name, language),
// then data entries. Offsets in it are from the start of the directory.
namespace resource {
inline constexpr std::size_t kTableSize = 16;  // the table header; its entries follow
inline constexpr std::size_t kNamedEntries = 12;
inline constexpr std::size_t kIdEntries = 14;
inline constexpr std::size_t kEntrySize = 8;  // an id or name offset, then a target
inline constexpr std::size_t kDataEntrySize = 16;  // RVA, size, code page, reserved
inline constexpr std::uint32_t kHighBit = 0x80000000;  // entry id: a name; entry target: a subtable
}  // namespace resource
inline constexpr std::uint16_t kResourceIcon = 3;
inline constexpr std::uint16_t kResourceRcData = 10;
inline constexpr std::uint16_t kResourceGroupIcon = 14;
inline constexpr std::uint16_t kResourceVersion = 16;
inline constexpr std::uint16_t kResourceManifest = 24;

// Version resource (VS_VERSIONINFO): nested blocks, each wLength,
// wValueLength, wType, a NUL-terminated UTF-16 key, the value and the
// children, each starting on a 4-byte boundary. wValueLength counts UTF-16
// units for a text value (wType 1), bytes otherwise.
namespace version {
inline constexpr std::size_t kLength = 0;
inline constexpr std::size_t kValueLength = 2;
inline constexpr std::size_t kType = 4;
inline constexpr std::size_t kHeaderSize = 6;
inline constexpr std::uint16_t kTextType = 1;
inline constexpr std::size_t kAlignment = 4;
// Root, StringFileInfo, a string table, a string: blocks nest no deeper.
inline constexpr int kMaxDepth = 3;
// VS_FIXEDFILEINFO, the root's value: signature, structure version, then file
// and product versions as most and least significant 32-bit words.
inline constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
inline constexpr std::size_t kFixedInfoSize = 52;
inline constexpr std::size_t kFixedFileVersion = 8;
inline constexpr std::size_t kFixedProductVersion = 16;
}  // namespace version

// Icon group (RT_GROUP_ICON): a header (reserved 0, type 1, count), then an
// entry per image: width, height (0 for 256), colour count, reserved, planes,
// bits per pixel, the image's size in bytes and its RT_ICON id. An icon file
// (.ico) has the same header, and entries that end in the image's file
// offset instead of an id.
namespace icon {
inline constexpr std::size_t kType = 2;
inline constexpr std::size_t kCount = 4;
inline constexpr std::size_t kHeaderSize = 6;
inline constexpr std::uint16_t kIconType = 1;
inline constexpr std::size_t kWidth = 0;
inline constexpr std::size_t kHeight = 1;
inline constexpr std::size_t kColorCount = 2;
inline constexpr std::size_t kPlanes = 4;
inline constexpr std::size_t kBitCount = 6;
inline constexpr std::size_t kBytesInRes = 8;
inline constexpr std::size_t kGroupId = 12;
inline constexpr std::size_t kGroupEntrySize = 14;
inline constexpr std::size_t kFileOffset = 12;
inline constexpr std::size_t kFileEntrySize = 16;
}  // namespace icon

}  // namespace vantor::packaging::pe
