// The one place where C++ exceptions become Python exceptions.
#pragma once

namespace wrapper {

/// Sets the Python exception that matches the C++ exception being handled: python_error
/// leaves the pending one, kelp::index_error gives IndexError, kelp::invalid_argument ValueError,
/// kelp::memory_error and std::bad_alloc MemoryError (with the core's message).  Call only
/// from inside a catch block, with the interpreter lock held.
void set_python_error_from_exception() noexcept;

}  // namespace wrapper
