// Binding of a fast call's arguments (positional array plus keyword names) to fit_zscan's
// seventeen parameters, with CPython's messages for a wrong count or a bad keyword.
#pragma once

#include <Python.h>

#include <cstddef>

namespace wrapper {

inline constexpr int parameter_count = 17;
inline constexpr int required_count = 15;  // the last two have defaults

// Parameter names, in order.
extern const char* const parameter_names[parameter_count];

/// values[i] := the argument bound to parameter i (borrowed), defaults[i - required_count]
/// for an optional one not given.  TypeError for too many or too few positional arguments,
/// a keyword that names no parameter or one already given by position, or a keyword name that
/// is not a string.
void bind_arguments(const char* function_name, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                    PyObject* defaults, PyObject* (&values)[parameter_count]);

}  // namespace wrapper
