#pragma once

// RSA PKCS#1 v1.5 SHA-256 signatures made by a private key that never leaves
// its PKCS#11 token (Linux). The module is a library of someone else's, loaded
// into this process: its file is opened and checked (a regular file that only
// its owner, root or this user, can change), the library loaded is proved to
// be that file (device and inode of its mapping), and every count and length
// the module hands back is held against what was asked for.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Packaging/Signing/Pkcs11Uri.h"

namespace vantor::packaging {

// p11-kit's proxy module: the default, which reaches every token whose
// module the system has registered.
std::filesystem::path DefaultPkcs11Module();

// The signature of `message` by the one RSA private key that `uri` names,
// in the one token it names, through `module`. The PIN is `pin` (the
// caller's), or the URI's pin-value or pin-source; giving two is refused.
// Raises InputError for what the caller can mend (a module that cannot be
// loaded, no or several matching tokens or keys, a missing or wrong PIN) and
// std::runtime_error when the token fails to sign.
std::vector<std::uint8_t> SignWithToken(const Pkcs11Uri& uri, const std::filesystem::path& module,
                                        const std::optional<std::string>& pin, std::string_view message);

}  // namespace vantor::packaging
