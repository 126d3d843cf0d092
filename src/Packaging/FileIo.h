#pragma once

// Files by path on either host (wide paths on Windows), read and written in
// chunks. Failures to read an input raise InputError; failures to write raise
// std::system_error.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace vantor::packaging {

// `what` and the path in quotes, for messages: "installer 'a b.exe'".
std::string Describe(const char* what, const std::filesystem::path& path);

// Refuses a path that does not name a readable, regular, non-empty file, and
// returns its size.
std::uint64_t CheckInputFile(const char* what, const std::filesystem::path& path);

// The whole file; refuses one larger than `limit` bytes.
std::vector<std::uint8_t> ReadWholeFile(const char* what, const std::filesystem::path& path, std::uint64_t limit);

// An open C stream, closed once.
class File {
 public:
  static File OpenForReading(const char* what, const std::filesystem::path& path);
  static File Create(const std::filesystem::path& path);
  File(File&& other) noexcept : stream_(other.stream_), what_(std::move(other.what_)) { other.stream_ = nullptr; }
  File& operator=(File&&) = delete;
  ~File();

  // Up to `size` bytes; fewer only at the end of the file.
  std::size_t Read(std::uint8_t* data, std::size_t size);
  void ReadExactly(std::uint8_t* data, std::size_t size);
  void Write(const std::uint8_t* data, std::size_t size);
  void Seek(std::uint64_t offset);
  // Flushes and closes; raises when the data did not reach the file.
  void Close();
  // Closes, ignoring errors (the file is being given up).
  void Discard();

 private:
  File(std::FILE* stream, std::string what) : stream_(stream), what_(std::move(what)) {}
  std::FILE* stream_;
  std::string what_;
};

// A file written beside `target` and renamed onto it by Commit; removed when
// destroyed uncommitted, so a failure leaves `target` as it was.
class TemporaryOutput {
 public:
  explicit TemporaryOutput(const std::filesystem::path& target);
  TemporaryOutput(const TemporaryOutput&) = delete;
  TemporaryOutput& operator=(const TemporaryOutput&) = delete;
  ~TemporaryOutput();

  File& Stream() { return file_; }
  void Commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  File file_;
  bool committed_ = false;
};

}  // namespace vantor::packaging
