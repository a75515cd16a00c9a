// The module's own function type.  A builtin function has no __defaults__; this one keeps
// its defaults, its module's namespace (where it looks names up) and its name and docstring,
// and is called through vectorcall with keywords.
#pragma once

#include <Python.h>

#include <cstddef>

#include "py_ref.hpp"

namespace wrapper {

// The call itself: (globals, defaults, args, nargsf, kwnames) -> new reference or null.
using function_body = PyObject* (*)(PyObject* globals, PyObject* defaults, PyObject* const* args,
                                    std::size_t nargsf, PyObject* kwnames) noexcept;

/// A new function object named `name` in `module`, with the module's dictionary as its
/// namespace.  The type is created on first use and kept for the process.
py_ref make_function(PyObject* module, const char* name, const char* doc, py_ref defaults, function_body body);

}  // namespace wrapper
