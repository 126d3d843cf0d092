// The certificate rules' DER reader, on any bytes: the input is a signer's
// certificate and a CA's, the first's length in the first two bytes
// (little-endian), as make-seeds writes them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "Packaging/Manifest/CertificateRules.h"

using namespace vantor::packaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t cut = 2 + std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
  try {
    CheckCertificateRules({data + 2, data + cut}, {data + cut, data + size});
  } catch (const std::exception&) {
  }
  return 0;
}
