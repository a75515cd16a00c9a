#include "convert.hpp"

#include "py_ref.hpp"

namespace wrapper {

std::int32_t as_int32(PyObject* obj) {
  py_ref number;
  if (PyLong_Check(obj)) {
    number = py_ref::borrow(obj);
  } else {
    // The object's own int conversion (__int__), as int() would use it; __index__ alone is
    // not enough.
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb && nb->nb_int) number = py_ref::steal(nb->nb_int(obj));
    if (!number) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
      throw_python_error();
    }
    if (!PyLong_Check(number.get())) {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(number.get())->tp_name);
      throw_python_error();
    }
  }
  const long value = PyLong_AsLong(number.get());
  if (value == -1 && PyErr_Occurred()) throw_python_error();
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    throw_python_error();
  }
  return static_cast<std::int32_t>(value);
}

double as_double(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw_python_error();
  return value;
}

bool as_truth(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

std::int64_t as_position(PyObject* obj) {
  const Py_ssize_t value = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) throw_python_error();
  return value;
}

}  // namespace wrapper
