#pragma once

#include <stdexcept>
#include <string>

#include <boost/assert/source_location.hpp>
#include <boost/throw_exception.hpp>

// Where a support-library error was raised: this file, this line and column,
// and the plain name of the raising function (not the compiler's decorated one).
#define VANTOR_LOCATION(function) \
  ::boost::source_location(__FILE__, __LINE__, function, __builtin_COLUMN())

namespace vantorlib {

// Raises a std::runtime_error through boost::throw_exception, so that what
// arrives is a boost::wrapexcept<std::runtime_error> carrying `location`.
[[noreturn]] inline void ThrowRuntimeError(const std::string& message,
                                           const boost::source_location& location) {
  boost::throw_exception(std::runtime_error(message), location);
}

}  // namespace vantorlib
