// The version resource (VS_VERSIONINFO): read, and stamped with a version.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "Packaging/PeResources.h"
#include "Packaging/VersionStamp.h"

using namespace vantor::packaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    ParseVersionInfo(ByteView(data, size, "version resource"));
  } catch (const std::exception&) {
  }
  try {
    const auto stamped = StampVersionResource(data, size, Version{4, 2, 0, 17});
    ParseVersionInfo(ByteView(stamped.data(), stamped.size(), "stamped version resource"));
  } catch (const std::exception&) {
  }
  return 0;
}
