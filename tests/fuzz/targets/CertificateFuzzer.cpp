// The certificate rules' DER reader, on any bytes, in both roles.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "Packaging/CertificateRules.h"

using namespace vantor::packaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> der(data, data + size);
  for (const CertificateRole role : {CertificateRole::kSigner, CertificateRole::kCa}) {
    try {
      CheckCertificateRules(der, role);
    } catch (const std::exception&) {
    }
  }
  return 0;
}
