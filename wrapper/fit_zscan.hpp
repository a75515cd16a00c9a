// fit_zscan: argument binding and conversion, the NumPy steps, and the loop of starts with the
// interpreter lock released.
#pragma once

#include <Python.h>

#include <cstddef>

namespace wrapper {

/// One call of fit_zscan in the fast-call form: (residuals, error, spec_pars) of the best
/// start, or null with a Python exception set.  `globals` is the module's namespace, where
/// `np` is looked up at each use; `defaults` holds the values of is_sa and n_starts.
PyObject* fit_zscan(PyObject* globals, PyObject* defaults, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames) noexcept;

}  // namespace wrapper
