// The stub reader and the image rebuild, on any bytes: what a packer run as
// root does with a stub it did not make, written to /dev/null.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "Packaging/ImageRebuild.h"
#include "Packaging/PeResources.h"
#include "Packaging/VersionStamp.h"

using namespace vantor::packaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const PeImage image(std::vector<std::uint8_t>(data, data + size));
    const StubLayout layout = CheckLayout(image, "stub");
    std::vector<ResourceLeaf> leaves;
    for (const Resource& resource : ReadResources(image)) {
      const ByteView bytes = ResourceData(image, resource);
      leaves.push_back({resource.type, resource.name, resource.language, resource.codePage,
                        std::vector<std::uint8_t>(bytes.Data(), bytes.Data() + bytes.Size()), 0, {}});
    }
    const ResourceSection resources(std::move(leaves), image.Sections()[layout.resources].virtualAddress);
    const RebuiltImage rebuilt(image, layout, resources);
    File output = File::Create("/dev/null");
    rebuilt.WriteTo(output);
    output.Close();
  } catch (const std::exception&) {
    // Refused: what a hostile stub should get.
  }
  return 0;
}
