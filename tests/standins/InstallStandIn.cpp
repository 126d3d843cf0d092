// install-standin DLL: copies DLL into this (32-bit) process's system
// directory unless a file of that name is already there.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const std::wstring source = argv[1];
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring target = std::wstring(system) + L"\\" + source.substr(source.find_last_of(L"\\/") + 1);
  if (::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) return 0;
  return ::CopyFileW(source.c_str(), target.c_str(), TRUE) ? 0 : 1;
}
