// The core's own exceptions.  The core validates before any allocation or Fortran call and
// throws one of these; the Python layer translates them in one place (size errors to
// ValueError, exhausted memory to MemoryError).
#pragma once

#include "api.hpp"

#include <stdexcept>
#include <string>

namespace kelp {

// An argument outside what the core can compute with (a count too small, a wrong length).
class KELP_API invalid_argument : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Memory could not be obtained, or its byte size cannot be represented.
class KELP_API memory_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An access past the end of an array along one axis (0: its first), as the caller's buffers
// report it (IndexError at the Python boundary).
class KELP_API index_error : public std::out_of_range {
 public:
  explicit index_error(int axis);
  int axis() const noexcept { return axis_; }

 private:
  int axis_;
};

// The call was asked to stop before it finished (Ctrl-C, or a tool cancelling its fits).
class KELP_API interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kelp
