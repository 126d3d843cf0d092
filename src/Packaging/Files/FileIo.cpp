#include "Packaging/Files/FileIo.h"

#include <cerrno>
#include <system_error>

#ifdef _WIN32
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void ThrowErrno(const std::string& message) {
  throw std::system_error(errno, std::generic_category(), message);
}

}  // namespace

std::string Describe(const char* what, const fs::path& path) {
  const auto utf8 = path.u8string();
  return std::string(what) + " '" + std::string(utf8.begin(), utf8.end()) + "'";
}

File File::OpenInput(const char* what, const fs::path& path) {
  const std::string described = Describe(what, path);
  const auto refuse = [&](const std::string& why) { throw InputError(described + " " + why); };
#ifdef _WIN32
  std::FILE* stream = _wfopen(path.c_str(), L"rb");
  if (stream == nullptr) refuse(errno == ENOENT ? "does not exist" : "cannot be read: " + std::generic_category().message(errno));
  File file(stream, described);
  struct _stat64 status {};
  if (_fstat64(_fileno(stream), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) refuse("is not a regular file");
#else
  // Without blocking: opening a FIFO would wait for a writer.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) refuse(errno == ENOENT ? "does not exist" : "cannot be read: " + std::generic_category().message(errno));
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(descriptor);
    refuse("is not a regular file");
  }
  ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
  std::FILE* stream = ::fdopen(descriptor, "rb");
  if (stream == nullptr) {
    ::close(descriptor);
    refuse("cannot be read: " + std::generic_category().message(errno));
  }
  File file(stream, described);
#endif
  if (status.st_size == 0) refuse("is empty");
  file.size_ = static_cast<std::uint64_t>(status.st_size);
  return file;
}

std::vector<std::uint8_t> File::ReadAll(std::uint64_t limit) {
  if (size_ > limit) throw InputError(what_ + " is too large (" + std::to_string(size_) + " bytes)");
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size_));
  Seek(0);
  ReadExactly(bytes.data(), bytes.size());
  return bytes;
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
