#pragma once

// An image's Authenticode signature, read from its security directory with
// the bounded readers and never trusted: who signed it and when a time-stamp
// authority saw the signature, as the signature says. Nothing here verifies
// a signature or a certificate chain; that is the system's (or osslsigncode's)
// work. Portable C++, the same in the Linux and the Windows packer.

#include <optional>
#include <string>

#include "Packaging/Image/ByteView.h"
#include "Packaging/Image/PeImage.h"

namespace vantor::packaging {

struct TimeStamp {
  std::string time;       // UTC, as "2026-12-07T02:48:01Z" (fractions of a second dropped)
  std::string authority;  // the time-stamping certificate's subject; empty when the signature lacks it
  bool rfc3161 = false;   // an RFC 3161 time-stamp token; else a legacy countersignature's signing time
};

struct AuthenticodeSignature {
  std::string signer;  // the signing certificate's subject, "CN=..., O=..."
  std::optional<TimeStamp> timeStamp;
};

// None for an image without a security directory. Raises InputError, one
// line naming what is damaged, for a directory or signature that is not
// what its format says: the WIN_CERTIFICATE entries (8-byte aligned, inside
// the directory, inside the file), the first PKCS#7 SignedData among them
// (DER, one signer, the signer's certificate in it), and its time stamp.
std::optional<AuthenticodeSignature> ReadAuthenticode(const PeImage& image);

// The PKCS#7 ContentInfo of a WIN_CERTIFICATE (zero padding after it allowed),
// read as above.
AuthenticodeSignature ReadSignedData(ByteView pkcs7);

// An X.509 Name's contents as text: "CN=Signer, O=Example", attributes in
// their order in the name, values outside printable ASCII escaped as \xNN
// (UTF-8 and other strings byte by byte, BMP strings as \uNNNN), so that
// any name prints as one line.
std::string NameText(ByteView name);

}  // namespace vantor::packaging
