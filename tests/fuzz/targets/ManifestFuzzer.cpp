// The manifest reader and its checks (form, base64, certificate rules,
// signatures), on any text.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "Packaging/Manifest/ManifestCheck.h"

using namespace vantor::packaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const Manifest manifest = ParseManifest(std::string_view(reinterpret_cast<const char*>(data), size));
    VerifyManifestSignature(manifest);
  } catch (const std::exception&) {
  }
  return 0;
}
