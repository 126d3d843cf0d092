// The stub reader and the image rebuild, on any bytes: what a packer run as
// root does with a stub it did not make, branded with a version and written
// to /dev/null; and inspect's report on the same bytes as a launcher.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <vector>

#include "Launcher/StubContract.h"
#include "Packaging/Commands/LauncherReport.h"
#include "Packaging/Commands/Packer.h"
#include "Packaging/Image/PeFormat.h"

using namespace vantor::packaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::uint8_t kPayload[] = {'M', 'Z', 0, 0};
  try {
    InspectLauncher(std::vector<std::uint8_t>(data, data + size), "launcher", ReportFormat::kJson);
  } catch (const std::exception&) {
    // Refused, as a damaged launcher should be.
  }
  try {
    const LauncherStub stub = ReadLauncherStub(std::vector<std::uint8_t>(data, data + size), "stub", std::nullopt);
    std::vector<ResourceLeaf> payload;
    payload.push_back({pe::kResourceRcData, vantor::contract::kInstallerResource, vantor::contract::kPayloadLanguage, 0,
                       ByteView(kPayload, sizeof kPayload, "installer"), 0, {}});
    Branding branding;
    branding.version = Version{4, 2, 0, 17};
    const PackedLauncher launcher(stub, std::move(payload), branding, "stub");
    File output(std::fopen("/dev/null", "wb"), "/dev/null");
    launcher.WriteTo(output);
  } catch (const std::exception&) {
    // Refused: what a hostile stub should get.
  }
  return 0;
}
