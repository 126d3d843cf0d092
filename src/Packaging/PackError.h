#pragma once

#include <stdexcept>

namespace vantor::packaging {

// Input the packer refuses: a missing or malformed file, a manifest that does
// not fit, an image that is not a stub it can pack. Reported as one line with
// exit code 2; nothing is written.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// vantor-pack's exit codes.
inline constexpr int kPackDone = 0;
inline constexpr int kPackWriteFailed = 1;  // a failure while writing the output
inline constexpr int kPackBadInput = 2;     // refused: nothing was written

}  // namespace vantor::packaging
