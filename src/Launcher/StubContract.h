#pragma once

// What the launcher and the packer (vantor-pack) agree on: where a packed
// launcher carries its payload, and how the packer knows a launcher stub.
// Plain C++, no Windows headers: both sides include it.

#include <cstdint>

namespace vantor::contract {

// The payload: RT_RCDATA resources in the neutral language.
inline constexpr std::uint16_t kInstallerResource = 100;  // the installer
inline constexpr std::uint16_t kManifestResource = 101;   // its signed manifest
inline constexpr std::uint16_t kPayloadLanguage = 0;

// The stub's identity, as its application manifest
// (resources/VantorSetup.manifest.in) states it: the assembly name. The
// version strings are not part of it: a vendor may have set them.
inline constexpr char kAssemblyName[] = "Vantor.VantorSetup";

}  // namespace vantor::contract
