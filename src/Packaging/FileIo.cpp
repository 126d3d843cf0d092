#include "Packaging/FileIo.h"

#include <cerrno>
#include <system_error>

#ifdef __linux__
#include <fcntl.h>
#endif

#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace fs = std::filesystem;

namespace {

std::FILE* OpenStream(const fs::path& path) {
#ifdef _WIN32
  return _wfopen(path.c_str(), L"rb");
#else
  return std::fopen(path.c_str(), "rb");
#endif
}

[[noreturn]] void ThrowErrno(const std::string& message) {
  throw std::system_error(errno, std::generic_category(), message);
}

}  // namespace

std::string Describe(const char* what, const fs::path& path) {
  const auto utf8 = path.u8string();
  return std::string(what) + " '" + std::string(utf8.begin(), utf8.end()) + "'";
}

std::uint64_t CheckInputFile(const char* what, const fs::path& path) {
  std::error_code error;
  const auto status = fs::status(path, error);
  if (!fs::exists(status)) throw InputError(Describe(what, path) + " does not exist");
  if (!fs::is_regular_file(status)) throw InputError(Describe(what, path) + " is not a regular file");
  const auto size = fs::file_size(path, error);
  if (error) throw InputError(Describe(what, path) + " cannot be read: " + error.message());
  if (size == 0) throw InputError(Describe(what, path) + " is empty");
  File::OpenForReading(what, path).Close();
  return size;
}

std::vector<std::uint8_t> ReadWholeFile(const char* what, const fs::path& path, std::uint64_t limit) {
  const auto size = CheckInputFile(what, path);
  if (size > limit) throw InputError(Describe(what, path) + " is too large (" + std::to_string(size) + " bytes)");
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  auto file = File::OpenForReading(what, path);
  file.ReadExactly(bytes.data(), bytes.size());
  file.Close();
  return bytes;
}

File File::OpenForReading(const char* what, const fs::path& path) {
  std::FILE* stream = OpenStream(path);
  if (stream == nullptr) throw InputError(Describe(what, path) + " cannot be read: " + std::generic_category().message(errno));
  return File(stream, Describe(what, path));
}

File::~File() { Discard(); }

void File::Discard() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
}

std::size_t File::Read(std::uint8_t* data, std::size_t size) {
  const std::size_t count = std::fread(data, 1, size, stream_);
  if (count < size && std::ferror(stream_)) throw InputError(what_ + " cannot be read");
  return count;
}

void File::ReadExactly(std::uint8_t* data, std::size_t size) {
  if (Read(data, size) != size) throw InputError(what_ + " changed while being read");
}

void File::Write(const std::uint8_t* data, std::size_t size) {
  if (std::fwrite(data, 1, size, stream_) != size) ThrowErrno("cannot write " + what_);
  written_ += size;
#ifdef __linux__
  constexpr std::uint64_t kWriteBehindStep = 2 << 20;
  if (writeBehind_ && written_ - started_ >= kWriteBehindStep) {
    Flush();
    // Only a hint: where it fails, the flush at the end writes everything.
    ::sync_file_range(::fileno(stream_), static_cast<off_t>(started_), static_cast<off_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
    started_ = written_;
  }
#endif
}

void File::Seek(std::uint64_t offset) {
#ifdef _WIN32
  const int result = _fseeki64(stream_, static_cast<long long>(offset), SEEK_SET);
#else
  const int result = fseeko(stream_, static_cast<off_t>(offset), SEEK_SET);
#endif
  if (result != 0) ThrowErrno("cannot seek in " + what_);
}

void File::Flush() {
  if (std::fflush(stream_) != 0) ThrowErrno("cannot write " + what_);
}

void File::Close() {
  std::FILE* stream = stream_;
  stream_ = nullptr;
  if (std::fclose(stream) != 0) ThrowErrno("cannot write " + what_);
}

}  // namespace vantor::packaging
