// Scalar arguments: 32-bit integers, doubles and truth values from Python objects.
#pragma once

#include <Python.h>

#include <cstdint>

namespace wrapper {

/// An int from any object with an integer conversion (a float is truncated toward zero):
/// TypeError "an integer is required" without one, OverflowError outside 32 bits.
std::int32_t as_int32(PyObject* obj);

/// Python's float conversion (ints accepted); its TypeError otherwise.
double as_double(PyObject* obj);

/// The truth value of obj.
bool as_truth(PyObject* obj);

/// A position from NumPy (an index-like integer), as a 64-bit index.
std::int64_t as_position(PyObject* obj);

}  // namespace wrapper
