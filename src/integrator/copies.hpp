// Instances of the packaged ODEPACK library: the one the program is linked with, and private
// copies of the same file loaded at run time, each with its own COMMON blocks (DLSODA's whole
// state).  instances.cpp hands them out; copies.cpp loads, checks and patches them.
#pragma once

#include <string>

#include "odepack.hpp"

namespace odepack::detail {

// AddressSanitizer's dlopen refuses RTLD_DEEPBIND.  Without it a copy's references bind to any
// instance in the global scope (in a program linked with the library, the linked one); the
// check after loading sees that, and such a process uses the shared instance.  A host that
// loads the library locally, as Python loads the extension module, still gets private copies.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool deep_bind_usable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool deep_bind_usable = false;
#else
inline constexpr bool deep_bind_usable = true;
#endif
#else
inline constexpr bool deep_bind_usable = true;
#endif

using dlsoda_entry = void (*)(rhs_fn f, const f_int* neq, double* y, double* t, const double* tout,
                              const f_int* itol, const double* rtol, const double* atol, const f_int* itask,
                              f_int* istate, const f_int* iopt, double* rwork, const f_int* lrw, f_int* iwork,
                              const f_int* liw, jac_fn jac, const f_int* jt);

/// DLSODA of the linked library.  Its message routine is replaced the first time this is
/// called (under the loader lock); the instance is process-wide, so callers serialise their
/// use of it.
dlsoda_entry shared_dlsoda() noexcept;

/// Whether the linked library now reports through the project's message routine.
bool shared_messages_bound() noexcept;

// One private copy.  It stays loaded for the life of the process once accepted.
struct library_copy {
  void* handle = nullptr;
  int fd = -1;  // the memfd it came from: closing it would let its name match a later copy
  dlsoda_entry dlsoda = nullptr;
  library_copy* next = nullptr;  // link in the pool of idle copies
};

enum class copy_source { memfd_or_file, file };

/// Loads one more copy (from a memfd, else from a temporary file; `file` skips the memfd) with
/// RTLD_NOW | RTLD_LOCAL, and RTLD_DEEPBIND when `deep_bind`; accepts it only when its image
/// is the linked file's, every reference to its own symbols points into itself, and its
/// message slots now point to the project's routine.  Returns nullptr otherwise (the copy is
/// unloaded again) and, when `why` is given, says why.  Never throws.
library_copy* load_copy(bool deep_bind, std::string* why = nullptr,
                        copy_source source = copy_source::memfd_or_file) noexcept;

}  // namespace odepack::detail
