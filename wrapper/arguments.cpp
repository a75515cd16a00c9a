#include "arguments.hpp"

#include "py_ref.hpp"

namespace wrapper {

const char* const parameter_names[parameter_count] = {
    "x_data", "y_data",       "populations", "t_slices",    "z_slices",     "sample_width",
    "tau",    "wavelength",   "w0",          "M2",          "pulse_energy", "spec_pars",
    "fit_indices", "num_x_pts", "num_datasets", "is_sa",    "n_starts",
};

namespace {

// The names as interned strings, made once (one interpreter per process).
PyObject* const* interned_names() {
  static PyObject* names[parameter_count] = {};
  if (!names[0])
    for (int i = 0; i < parameter_count; ++i) names[i] = check(PyUnicode_InternFromString(parameter_names[i])).release();
  return names;
}

[[noreturn]] void raise_count(const char* function_name, Py_ssize_t given) {
  const bool too_few = given < required_count;
  const Py_ssize_t expected = too_few ? required_count : parameter_count;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function_name,
               too_few ? "at least" : "at most", expected, expected == 1 ? "" : "s", given);
  throw_python_error();
}

bool same_name(PyObject* key, PyObject* name) {
  return key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0);
}

// The value passed under keyword `name`, or null.  Interned names usually match by identity.
PyObject* keyword_value(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
  const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k)
    if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
  for (Py_ssize_t k = 0; k < n; ++k)
    if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) return kwvalues[k];
  return nullptr;
}

// Every keyword again, in the order given, to report the first one that binds nothing new.
[[noreturn]] void raise_bad_keyword(const char* function_name, PyObject* kwnames, Py_ssize_t nargs) {
  PyObject* const* names = interned_names();
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    bool later = false;
    for (Py_ssize_t i = nargs; i < parameter_count && !later; ++i) later = same_name(key, names[i]);
    if (later) continue;
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
      throw_python_error();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
      if (same_name(key, names[i])) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function_name, key);
        throw_python_error();
      }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name, key);
    throw_python_error();
  }
  // Not reached: the caller counted a keyword that binds nothing new.
  PyErr_SetString(PyExc_SystemError, "keyword binding out of step");
  throw_python_error();
}

}  // namespace

void bind_arguments(const char* function_name, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                    PyObject* defaults, PyObject* (&values)[parameter_count]) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > parameter_count) raise_count(function_name, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  for (Py_ssize_t i = nargs; i < parameter_count; ++i) values[i] = nullptr;

  const Py_ssize_t n_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (n_keywords == 0) {
    if (nargs < required_count) raise_count(function_name, nargs);
  } else {
    PyObject* const* names = interned_names();
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t unused = n_keywords;
    // Parameters after the positional ones, in order: the first required one missing is the
    // count reported.
    for (Py_ssize_t i = nargs; i < parameter_count; ++i) {
      values[i] = keyword_value(kwnames, kwvalues, names[i]);
      if (values[i]) --unused;
      else if (i < required_count) raise_count(function_name, i);
    }
    if (unused > 0) raise_bad_keyword(function_name, kwnames, nargs);
  }
  for (int i = required_count; i < parameter_count; ++i)
    if (!values[i]) values[i] = PyTuple_GET_ITEM(defaults, i - required_count);
}

}  // namespace wrapper
