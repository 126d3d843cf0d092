// What the packer's Authenticode reader finds in an image, for the signing
// tests to hold against osslsigncode's reading:
//   signer: SUBJECT
//   time stamp: TIME by AUTHORITY     (when there is one)
// or "unsigned". A damaged image or signature: one line, exit 2.
// Usage: read-authenticode IMAGE
#include <exception>
#include <iostream>

#include "Packaging/Authenticode.h"
#include "Packaging/PackError.h"

using namespace vantor::packaging;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: read-authenticode IMAGE\n";
    return 2;
  }
  try {
    const auto signature = ReadAuthenticode(PeImage::FromFile(argv[1]));
    if (!signature) {
      std::cout << "unsigned\n";
      return 0;
    }
    std::cout << "signer: " << signature->signer << '\n';
    if (signature->timeStamp)
      std::cout << "time stamp: " << signature->timeStamp->time << " by " << signature->timeStamp->authority << '\n';
    return 0;
  } catch (const InputError& error) {
    std::cerr << "read-authenticode: " << error.what() << '\n';
  } catch (const FormatError& error) {
    std::cerr << "read-authenticode: " << error.what() << '\n';
  }
  return 2;
}
