#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

#include "TestSeams.h"
#include "Utilities/Module.h"

namespace {

// GetModuleFileNameW as the system answers for the path `path`: the whole
// path when it fits with its terminating null, otherwise as much as fits,
// null-terminated, with the buffer's size as the result.
unsigned long Answer(const std::wstring& path, wchar_t* buffer, unsigned long size) {
  const std::size_t copied = std::min<std::size_t>(path.size(), size - 1);
  path.copy(buffer, copied);
  buffer[copied] = L'\0';
  if (copied == path.size()) return static_cast<unsigned long>(copied);
  ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

// An answer that fills the buffer exactly was cut short, however long the
// path is around each size the buffer grows through.
TEST(ModulePath, AnAnswerFillingTheBufferIsCutShort) {
  test_seams::Cleared seams;
  for (const std::size_t length : {259u, 260u, 261u, 519u, 520u, 521u, 32787u}) {
    const std::wstring path = L"C:\\" + std::wstring(length - 3, L'p');
    test_seams::moduleFileName = [&](wchar_t* buffer, unsigned long size) { return Answer(path, buffer, size); };
    EXPECT_EQ(vantorlib::module::Path(), path) << length;
  }
}

}  // namespace
