// The Authenticode reader, on any bytes: an image (starting "MZ") through its
// security directory, anything else as the PKCS#7 signature itself, where
// the fuzzer gets deep fastest (seeds: signatures made by tools/pack).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "Packaging/Signing/Authenticode.h"

using namespace vantor::packaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    if (size >= 2 && data[0] == 'M' && data[1] == 'Z')
      ReadAuthenticode(PeImage(std::vector<std::uint8_t>(data, data + size)));
    else
      ReadSignedData(ByteView(data, size, "signature"));
  } catch (const std::exception&) {
  }
  return 0;
}
