// A stand-in installer for the demo launcher. It shows what the launcher
// handed it (command line, folder, environment) and whether the manifest
// beside it describes its own image, then exits with the code asked for by
// /exitcode:N. With VANTOR_DEMO_NO_DIALOG set it shows no dialog; the report
// always goes to the debugger output as well.
#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace {

constexpr const wchar_t* kIdentityVariable = L"VANTOR_QLX_PATH_DE4325B8_1378_47a6_AEC1_EF723BCE8EC4";

// Owner of a file handle opened for reading.
class ReadFileHandle {
 public:
  explicit ReadFileHandle(const std::wstring& path)
      : handle_(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ReadFileHandle(const ReadFileHandle&) = delete;
  ReadFileHandle& operator=(const ReadFileHandle&) = delete;
  ~ReadFileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

// The whole content of a file, or nothing with GetLastError set.
std::optional<std::string> ReadWholeFile(const std::wstring& path) {
  const ReadFileHandle file(path);
  if (file.Get() == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string content;
  char chunk[65536];
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr)) return std::nullopt;
    if (read == 0) return content;
    content.append(chunk, read);
  }
}

// MD5 (RFC 1321) of `data`, as 32 lower-case hex digits.
std::string Md5Hex(const std::string& data) {
  static constexpr std::uint32_t kSines[64] = {
      0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
      0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
      0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
      0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
      0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
      0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
      0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
      0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
  static constexpr unsigned kShifts[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

  // Padding: a 1 bit, zeros up to 56 mod 64 bytes, the bit length little-endian.
  std::string message = data;
  message.push_back('\x80');
  while (message.size() % 64 != 56) message.push_back('\0');
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i) message.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));

  std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (std::size_t block = 0; block < message.size(); block += 64) {
    std::uint32_t words[16];
    for (std::size_t w = 0; w < 16; ++w) {
      words[w] = 0;
      for (std::size_t b = 0; b < 4; ++b)
        words[w] |= static_cast<std::uint32_t>(static_cast<unsigned char>(message[block + 4 * w + b])) << (8 * b);
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
      std::uint32_t f = 0;
      unsigned g = 0;
      if (i < 16) { f = (b & c) | (~b & d); g = i; }
      else if (i < 32) { f = (d & b) | (~d & c); g = (5 * i + 1) % 16; }
      else if (i < 48) { f = b ^ c ^ d; g = (3 * i + 5) % 16; }
      else { f = c ^ (b | ~d); g = (7 * i) % 16; }
      const std::uint32_t sum = a + f + kSines[i] + words[g];
      const unsigned shift = kShifts[(i / 16) * 4 + i % 4];
      a = d;
      d = c;
      c = b;
      b += (sum << shift) | (sum >> (32 - shift));
    }
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
  }

  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::uint32_t word : state)
    for (int i = 0; i < 4; ++i) {
      const unsigned byte = (word >> (8 * i)) & 0xff;
      hex += kHex[byte >> 4];
      hex += kHex[byte & 0xf];
    }
  return hex;
}

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::optional<std::wstring> Variable(const wchar_t* name) {
  const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) {
    if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::wstring();
  }
  std::wstring value(size, L'\0');
  value.resize(::GetEnvironmentVariableW(name, value.data(), size));
  return value;
}

std::wstring CurrentDirectory() {
  std::wstring folder(::GetCurrentDirectoryW(0, nullptr), L'\0');
  folder.resize(::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
  return folder;
}

std::wstring OwnPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

// Compares the manifest's first line, `"setup.exe" <size> <md5>`, with this
// program's own image.
std::wstring ManifestVerdict() {
  const std::optional<std::string> manifest = ReadWholeFile(L"scf.dat");
  if (!manifest) return L"cannot read scf.dat (error " + std::to_wstring(::GetLastError()) + L")";
  std::string line = manifest->substr(0, manifest->find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();

  const std::string prefix = "\"setup.exe\" ";
  const std::size_t space = line.find(' ', prefix.size());
  if (line.compare(0, prefix.size(), prefix) != 0 || space == std::string::npos)
    return L"first line of scf.dat is not of the form \"setup.exe\" SIZE MD5: " + Widen(line);
  const std::string size = line.substr(prefix.size(), space - prefix.size());
  const std::string md5 = line.substr(space + 1);

  const std::optional<std::string> image = ReadWholeFile(OwnPath());
  if (!image) return L"cannot read this installer's own file (error " + std::to_wstring(::GetLastError()) + L")";
  const std::string actualSize = std::to_string(image->size());
  const std::string actualMd5 = Md5Hex(*image);

  std::wstring differences;
  if (size != actualSize)
    differences += L"\n  size: manifest " + Widen(size) + L", this installer " + Widen(actualSize);
  if (md5 != actualMd5)
    differences += L"\n  MD5: manifest " + Widen(md5) + L", this installer " + Widen(actualMd5);
  return differences.empty() ? L"manifest matches this installer" : L"manifest differs from this installer:" + differences;
}

// Whether `text` starts with the lower-case switch `name`, ignoring ASCII case.
bool StartsWithSwitch(const wchar_t* text, const wchar_t* name) {
  for (; *name != L'\0'; ++text, ++name) {
    const wchar_t c = (*text >= L'A' && *text <= L'Z') ? static_cast<wchar_t>(*text - L'A' + L'a') : *text;
    if (c != *name) return false;
  }
  return true;
}

// The value of the last well-formed /exitcode:N on the command line (decimal,
// 0 to 4294967295), or 0. The switch must start a token, optionally quoted.
DWORD RequestedExitCode(const std::wstring& commandLine) {
  const std::wstring name = L"/exitcode:";
  DWORD code = 0;
  for (std::size_t at = 0; at < commandLine.size(); ++at) {
    const bool tokenStart = at == 0 || commandLine[at - 1] == L' ' || commandLine[at - 1] == L'\t' ||
                            commandLine[at - 1] == L'"';
    if (!tokenStart || commandLine.size() - at < name.size() || !StartsWithSwitch(&commandLine[at], name.c_str()))
      continue;
    std::size_t digit = at + name.size();
    std::uint64_t value = 0;
    for (; digit < commandLine.size() && commandLine[digit] >= L'0' && commandLine[digit] <= L'9'; ++digit) {
      value = value * 10 + static_cast<std::uint64_t>(commandLine[digit] - L'0');
      if (value > 0xFFFFFFFFull) break;
    }
    const bool ends = digit == commandLine.size() || commandLine[digit] == L' ' || commandLine[digit] == L'\t' ||
                      commandLine[digit] == L'"';
    if (digit > at + name.size() && ends && value <= 0xFFFFFFFFull) code = static_cast<DWORD>(value);
  }
  return code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring commandLine = ::GetCommandLineW();
  const DWORD exitCode = RequestedExitCode(commandLine);
  const std::optional<std::wstring> identity = Variable(kIdentityVariable);

  const std::wstring report = L"Command line: " + commandLine +
                              L"\nCurrent folder: " + CurrentDirectory() +
                              L"\nLauncher path: " + identity.value_or(L"(not set)") +
                              L"\nPATH: " + (Variable(L"PATH") ? L"set" : L"not set") +
                              L"\nscf.dat: " + ManifestVerdict() +
                              L"\nExit code: " + std::to_wstring(exitCode);
  ::OutputDebugStringW(report.c_str());
  if (!Variable(L"VANTOR_DEMO_NO_DIALOG")) ::MessageBoxW(nullptr, report.c_str(), L"VantorSetup demo installer", MB_OK);
  return static_cast<int>(exitCode);
}
