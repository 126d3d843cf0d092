// The version resource (VS_VERSIONINFO): read, and stamped with a version and
// a string.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "Packaging/Branding/VersionResource.h"
#include "Packaging/Branding/VersionStamp.h"

using namespace vantor::packaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView resource(data, size, "version resource");
  try {
    ParseVersionInfo(resource);
  } catch (const std::exception&) {
  }
  try {
    VersionStrings strings;
    AddVersionString(strings, "CompanyName=Example");
    const auto stamped = StampVersionResource(resource, Version{4, 2, 0, 17}, strings);
    ParseVersionInfo(ByteView(stamped.data(), stamped.size(), "stamped version resource"));
  } catch (const std::exception&) {
  }
  return 0;
}
