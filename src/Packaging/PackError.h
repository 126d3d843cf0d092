#pragma once

#include <stdexcept>
#include <string>

namespace vantor::packaging {

// Input the packer refuses: a missing or malformed file, a manifest that does
// not fit, an image that is not a stub it can pack. Reported as one line with
// exit code 2; nothing is written.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A manifest that does not verify, with the check it fails: "form", "size",
// "md5", "certificate" or "signature". Reads "manifest: CHECK: DETAIL".
class ManifestError : public InputError {
 public:
  ManifestError(const char* check, const std::string& detail)
      : InputError("manifest: " + std::string(check) + ": " + detail), check_(check), detail_(detail) {}
  const char* Check() const { return check_; }
  const std::string& Detail() const { return detail_; }

 private:
  const char* check_;
  std::string detail_;
};

// vantor-pack's exit codes.
inline constexpr int kPackDone = 0;
inline constexpr int kPackWriteFailed = 1;  // a failure while writing the output
inline constexpr int kPackBadInput = 2;     // refused: nothing was written

}  // namespace vantor::packaging
