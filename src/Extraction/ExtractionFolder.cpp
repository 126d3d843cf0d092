#include "Extraction/ExtractionFolder.h"

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>

#include <windows.h>

#include "Utilities/String.h"
#include "winlib/selfProtection/VerifiedDll.h"

namespace vantor::extraction {
namespace {

constexpr wchar_t kFolderPrefix[] = L"VantorSetup-";

std::filesystem::path TemporaryDirectory() {
  std::filesystem::path temp = std::filesystem::temp_directory_path();
  if (!std::filesystem::is_directory(temp)) throw std::runtime_error("Failed to locate temporary directory");
  return temp;
}

// 0 to 2147483647 from the system's cryptographic source: one value seeds a
// Mersenne Twister whose first output, cut to its low 31 bits, is the number.
std::uint32_t DrawFolderNumber() {
  std::random_device device;
  std::mt19937 engine(device());
  return engine() & 0x7FFFFFFFu;
}

}  // namespace

std::filesystem::path GetSystemDirectoryPath() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
  if (length == 0 || length > MAX_PATH) {
    throw std::runtime_error("GetSystemDirectoryW failed: returned size=" +
                             vantorlib::string::ToDecimalString(static_cast<std::uint32_t>(length)));
  }
  return std::filesystem::path(std::wstring(buffer, length));
}

std::filesystem::path CreateExtractionFolder() {
  const std::filesystem::path temp = TemporaryDirectory();

  // The random source lives in cryptbase.dll; hold the system's own copy,
  // loaded by full path, while drawing.
  const winlib::selfProtection::VerifiedDll cryptbase(GetSystemDirectoryPath() / L"cryptbase.dll");
  const std::uint32_t number = DrawFolderNumber();

  const std::filesystem::path folder =
      temp / (kFolderPrefix + vantorlib::string::ToUtf16(vantorlib::string::ToDecimalString(number)));
  if (!std::filesystem::create_directory(folder)) {
    throw std::runtime_error("Failed to create a fresh extraction folder");
  }
  return folder;
}

}  // namespace vantor::extraction
