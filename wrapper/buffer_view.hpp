// Array arguments as views of their buffers.
//
// A buffer view is a small Python object that holds the buffer of the object it was made
// from (one-dimensional or two-dimensional, C-contiguous, writable, of one element type) for
// as long as it lives, and exports that same buffer again.  The plain-array code reads the
// memory through it without copying; NumPy operations given the view see exactly the buffer's
// elements, whatever kind of object exported them.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kelp/starts.hpp"
#include "py_ref.hpp"

namespace wrapper {

using kelp::index;
using kelp::zero_based_array;
using kelp::zero_based_matrix;

enum class element { float64, int32 };

/// Creates the view type; once per process, later calls do nothing.
void setup_buffer_view_type();

/// A view of obj's buffer, or None for None.  The buffer is requested C-contiguous, writable
/// and with its format, so the exporter reports those faults itself; then the number of
/// dimensions, the element type and the layout are tested (ValueError).
py_ref as_buffer_view(PyObject* obj, element type, int ndim);

/// The elements of a one-dimensional view of T made by as_buffer_view.
template <class T>
zero_based_array<T> zero_based_array_of(PyObject* view);
/// The elements of a two-dimensional view of T made by as_buffer_view.
template <class T>
zero_based_matrix<T> zero_based_matrix_of(PyObject* view);

}  // namespace wrapper
