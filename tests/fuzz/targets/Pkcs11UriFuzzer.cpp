// The PKCS#11 URI reader, on any text.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "Packaging/Signing/Pkcs11Uri.h"

using namespace vantor::packaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    ParsePkcs11Uri(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception&) {
  }
  return 0;
}
