#pragma once

// An RFC 7512 "pkcs11:" URI naming a private key in a token, read strictly:
// it comes from a command line and says which library code is asked for what.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::packaging {

// The attributes this packer understands; an absent one matches anything.
// Values are percent-decoded.
struct Pkcs11Uri {
  // The token's: its label, manufacturer, serial number and model.
  std::optional<std::string> token, manufacturer, serial, model;
  std::optional<unsigned long> slotId;
  // The library's (C_GetInfo).
  std::optional<std::string> libraryManufacturer, libraryDescription;
  // The key's label (CKA_LABEL) and id (CKA_ID).
  std::optional<std::string> object;
  std::optional<std::vector<std::uint8_t>> id;
  // The PIN in the URI itself, or the file that holds it (query attributes).
  std::optional<std::string> pinValue, pinSource;
};

// Whether `text` is in the "pkcs11:" scheme (in any case): a key in a token,
// not a file.
bool IsPkcs11Uri(std::string_view text);

// Raises InputError naming the fault: another scheme; more than 4 KiB; an
// attribute not listed above (module-name and module-path included: the
// module is the caller's to name), given twice, empty, or in the wrong part;
// a character RFC 7512 does not allow there, or a bad percent escape; a type
// other than "private"; a slot-id that is not a number.
Pkcs11Uri ParsePkcs11Uri(std::string_view text);

}  // namespace vantor::packaging
