// Owned references to Python objects, and the one way a failed C-API call leaves C++ code.
//
// A py_ref owns one reference: moving it transfers the reference, destroying it drops it.
// How a reference arrives is named where it arrives: steal() for a new reference that a
// C-API call returned, borrow() for a borrowed one.  release() hands the reference back to
// Python.  Every C-API call that can fail goes through check(), which turns a null or -1 result
// into a python_error exception; the function boundary then returns null with the
// interpreter's error indicator still set (see errors.hpp).
#pragma once

#include <Python.h>

#include <utility>

namespace wrapper {

// Thrown when the interpreter's error indicator is set; carries nothing itself.
struct python_error {};

[[noreturn]] inline void throw_python_error() { throw python_error{}; }

class py_ref {
 public:
  py_ref() = default;
  py_ref(py_ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  py_ref& operator=(py_ref&& o) noexcept {
    py_ref(std::move(o)).swap(*this);
    return *this;
  }
  py_ref(const py_ref&) = delete;
  py_ref& operator=(const py_ref&) = delete;
  ~py_ref() { Py_XDECREF(p_); }

  static py_ref steal(PyObject* p) noexcept { return py_ref(p); }
  static py_ref borrow(PyObject* p) noexcept { return py_ref(Py_XNewRef(p)); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void swap(py_ref& o) noexcept { std::swap(p_, o.p_); }

 private:
  explicit py_ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

/// A new reference from a C-API call; null means the call failed with an exception set.
inline py_ref check(PyObject* new_reference) {
  if (!new_reference) throw_python_error();
  return py_ref::steal(new_reference);
}

/// A status from a C-API call; negative means the call failed with an exception set.
inline int check(int status) {
  if (status < 0) throw_python_error();
  return status;
}

}  // namespace wrapper
