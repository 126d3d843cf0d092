#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <windows.h>

#include "Extraction/RelativeOpen.h"

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
// with the open options `options` (Opening), or has just entered the folder
// `name` (Entered; no options).
enum class RemovalStep { Opening, Entered };
void RemovalStepReached(RemovalStep step, std::wstring_view name, ULONG options);

// The function `name` of kernel32.dll where this system has it, else null.
FARPROC KernelFunction(const char* name);

// The facts of the temporary directory's volume (QueryVolume).
VolumeFacts TemporaryVolume(HANDLE directory);

// The installer has been started and is still suspended; `image` (its image
// as the system recorded it) and `folder` (its current folder) are the paths
// about to be proven to be ours. Another process could have re-pointed a name
// on either path at this moment.
void InstallerStarted(HANDLE process, std::wstring& image, std::wstring& folder);

}  // namespace vantor::extraction::seam
