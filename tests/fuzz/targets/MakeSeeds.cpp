// Writes the fuzzers' seed corpus from built launchers and stubs: each image
// as a stub, its version resource, its manifest (RT_RCDATA 101, in a packed
// launcher) and that manifest's two certificates.
// Usage: make-seeds FOLDER IMAGE...
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "Packaging/Image/PeResources.h"
#include "Packaging/Manifest/ManifestCheck.h"

using namespace vantor::packaging;
namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::uint8_t* data, std::size_t size) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}
template <typename Bytes>
void Write(const fs::path& path, const Bytes& bytes) {
  Write(path, bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: make-seeds FOLDER IMAGE...\n";
    return 2;
  }
  const fs::path folder = argv[1];
  try {
    for (int i = 2; i < argc; ++i) {
      const std::string name = std::to_string(i - 1);
      const PeImage image = PeImage::FromFile(argv[i]);
      const ByteView whole = image.Bytes();
      Write(folder / "stub" / name, whole.Data(), whole.Size());
      if (const auto version = FindResourceData(image, pe::kResourceVersion, 1))
        Write(folder / "version" / name, version->Data(), version->Size());
      if (const auto text = FindResourceData(image, pe::kResourceRcData, 101)) {
        Write(folder / "manifest" / name, text->Data(), text->Size());
        const Manifest manifest = ParseManifest({reinterpret_cast<const char*>(text->Data()), text->Size()});
        // The signer's length (two bytes, little-endian), the signer's, the CA's.
        std::vector<std::uint8_t> pair = {static_cast<std::uint8_t>(manifest.signerCertificate.size()),
                                          static_cast<std::uint8_t>(manifest.signerCertificate.size() >> 8)};
        pair.insert(pair.end(), manifest.signerCertificate.begin(), manifest.signerCertificate.end());
        pair.insert(pair.end(), manifest.caCertificate.begin(), manifest.caCertificate.end());
        Write(folder / "certificate" / name, pair);
      }
    }
  } catch (const std::exception& error) {
    std::cerr << "make-seeds: " << error.what() << '\n';
    return 1;
  }
  return 0;
}
