#pragma once

// Files by path on either host (wide paths on Windows), read in chunks, and
// the output written through a file of its own. Failures to read an input
// raise InputError; failures to write raise std::system_error.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vantor::packaging {

// `what` and the path in quotes, for messages: "installer 'a b.exe'".
std::string Describe(const char* what, const std::filesystem::path& path);

// An open C stream, closed once.
class File {
 public:
  // Opens an input once, to be read only through this: refuses a path that
  // cannot be opened for reading, and an opened file that is not a regular,
  // non-empty file (a folder, a FIFO, a device: checked on what was opened,
  // never on the name, and without waiting for a FIFO's writer).
  static File OpenInput(const char* what, const std::filesystem::path& path);
  // Takes over `stream`, a file written under the description `what`.
  File(std::FILE* stream, std::string what) : stream_(stream), what_(std::move(what)) {}
  File(File&& other) noexcept
      : stream_(other.stream_), what_(std::move(other.what_)), size_(other.size_), writeBehind_(other.writeBehind_),
        written_(other.written_), started_(other.started_) {
    other.stream_ = nullptr;
  }
  File& operator=(File&&) = delete;
  ~File();

  // An input's size when it was opened.
  std::uint64_t Size() const { return size_; }
  // An input's whole content, read from its start; refuses one larger than
  // `limit` bytes.
  std::vector<std::uint8_t> ReadAll(std::uint64_t limit);
  // Up to `size` bytes; fewer only at the end of the file.
  std::size_t Read(std::uint8_t* data, std::size_t size);
  void ReadExactly(std::uint8_t* data, std::size_t size);
  void Write(const std::uint8_t* data, std::size_t size);
  void Seek(std::uint64_t offset);
  // Writes out what the stream buffers; raises when it cannot.
  void Flush();
  // From now on, asks the system (Linux) to start writing what was written
  // to disk every few MiB, so that a flush to disk at the end has little
  // left to wait for.
  void WriteBehind() { writeBehind_ = true; }
  std::FILE* Stream() const { return stream_; }
  // Flushes and closes; raises when the data did not reach the file.
  void Close();
  // Closes, ignoring errors (the file is being given up).
  void Discard();

 private:
  std::FILE* stream_;
  std::string what_;
  std::uint64_t size_ = 0;
  bool writeBehind_ = false;
  std::uint64_t written_ = 0;  // bytes written in order, and how many of them the system was asked to write out
  std::uint64_t started_ = 0;
};

// The output, written beside `target` and renamed onto it by Commit, always
// in the folder that `target`'s folder named when this was made (held open
// from then on, on both systems). On Linux the file has no name until Commit
// where the file system supports that (O_TMPFILE), so nothing is left
// however the process ends; elsewhere, and with Naming::kNamed, it is created
// exclusively (never through a link, never one that exists) under an
// unpredictable name from the system's random source and removed when this
// is destroyed or the process is interrupted (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGXFSZ). On Windows it is delete-pending until Commit, so it goes
// with the process however that ends. A failure leaves `target` as it was.
// One at a time.
enum class Naming { kUnnamedWhereSupported, kNamed };

class TemporaryOutput {
 public:
  // Raises std::system_error when the file cannot be created.
  explicit TemporaryOutput(const std::filesystem::path& target, Naming naming = Naming::kUnnamedWhereSupported);
  TemporaryOutput(const TemporaryOutput&) = delete;
  TemporaryOutput& operator=(const TemporaryOutput&) = delete;
  ~TemporaryOutput();

  File& Stream() { return file_; }
  // Flushes the file to disk, then renames it onto `target`, replacing a file
  // or link there (never writing through a link). Raises std::system_error.
  void Commit();

 private:
  struct Place;  // the folder and name, held per platform
  std::filesystem::path target_;
  std::unique_ptr<Place> place_;
  File file_;
};

}  // namespace vantor::packaging
