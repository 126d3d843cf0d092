#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <windows.h>

#include "Utilities/Raii.h"

namespace vantor::extraction {

// Writes the RT_RCDATA resource `id` of the running image to the new file
// `name` (which must not exist) in the folder held open as `folder`, and
// returns a read-only handle that shares reading only: from then on others can
// read and run the file, but nobody can write, replace, rename or delete it
// until the handle is closed. The file is
// read back through that handle and must equal the resource.
utilities::FileHandle WriteResourceToFile(HANDLE folder, const std::wstring& name, std::int32_t id);

// Replaces the writer handle held by `file` with a read-only handle that shares
// reading only, going through a read handle that tolerates the open writer.
void LockForReading(utilities::FileHandle& file);

// Raises "Extracted file does not match resource ID <id>" unless the file
// behind `lock` (open for reading) holds exactly `expected`.
void CheckExtractedFile(HANDLE lock, std::string_view expected, std::int32_t id);

}  // namespace vantor::extraction
