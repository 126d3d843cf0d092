#pragma once

#include <cstdint>
#include <string_view>

// The points where payload extraction meets the outside world: the random
// source, and the moments at which another process could interfere. They are
// defined in a file of their own (Seams.cpp), so that a test program can link
// its own definitions instead and act as that random source or that process.
namespace vantor::extraction::seam {

// One value from the system's cryptographic random source.
std::uint32_t FolderNumberSeed();

// The extraction folder has just been created and opened; nothing else has
// been done with it yet.
void FolderCreated();

// A payload file has just lost its writer handle and is not yet locked: for
// this moment others could open it for writing.
void PayloadUnlocked();

// Folder removal is about to open the entry `name` of the folder it empties
// (Opening), or has just entered the folder `name` (Entered).
enum class RemovalStep { Opening, Entered };
void RemovalStepReached(RemovalStep step, std::wstring_view name);

}  // namespace vantor::extraction::seam
