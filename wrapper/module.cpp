// The extension module kelp_wrapper: multi-phase initialisation with a create and an execute
// step.  The module keeps no per-module state; what it must remember (its module object and
// the interpreter that imported it) is process-wide, which is why only one interpreter per
// process may load it.
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <Python.h>
#include <frameobject.h>
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstdio>

#include "buffer_view.hpp"
#include "fit_zscan.hpp"
#include "function.hpp"
#include "py_ref.hpp"
#include "translate.hpp"

namespace wrapper {

namespace {

constexpr const char* module_name = "kelp_wrapper";

constexpr const char* fit_zscan_doc =
    "\n"
    "    Fit z-scan data with multi-start parallel optimization.\n"
    "\n"
    "    Parameters:\n"
    "    fit_indices: 0-indexed array of spec_pars indices to fit (e.g., [0, 2, 5] for pars 0, 2, 5).\n"
    "                 Valid range: 0-7 (converted to 1-based indices for the numerical core).\n"
    "    is_sa: Whether sample is saturable absorber (SA) vs reverse saturable absorber (RSA).\n"
    "           SA centers around max of y_data, RSA centers around min of y_data.\n"
    "           Default False (RSA).\n"
    "    n_starts: Number of starting points (default=3)\n"
    "              Starting values: spec_pars[fit_indices] * [0.7, 1.0, 1.3, ...]\n"
    "\n"
    "    Returns:\n"
    "    residuals, error, spec_pars (best result)\n"
    "    ";

std::int64_t main_interpreter_id = -1;
PyObject* module_object = nullptr;  // set by the execute step, forgotten when it fails

// The caller's module spec attribute `from` as module attribute `to` in dict; a missing
// attribute is skipped, and so is None unless allowed.
void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
  PyObject* value = PyObject_GetAttrString(spec, from);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return;
  }
  py_ref owner = py_ref::steal(value);
  if (allow_none || value != Py_None) check(PyDict_SetItemString(dict, to, value));
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
  try {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) throw_python_error();
    if (main_interpreter_id == -1) {
      main_interpreter_id = id;
    } else if (main_interpreter_id != id) {
      PyErr_SetString(PyExc_ImportError,
                      "Interpreter change detected - this module can only be loaded into one interpreter per process.");
      throw_python_error();
    }
    if (module_object) return Py_NewRef(module_object);

    py_ref name = check(PyObject_GetAttrString(spec, "name"));
    py_ref module = check(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    if (!dict) throw_python_error();
    copy_spec_attribute(spec, dict, "loader", "__loader__", true);
    copy_spec_attribute(spec, dict, "origin", "__file__", true);
    copy_spec_attribute(spec, dict, "parent", "__package__", true);
    copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false);
    return module.release();
  } catch (...) {
    set_python_error_from_exception();
    return nullptr;
  }
}

void warn_on_version_mismatch() {
  const unsigned long compiled = PY_VERSION_HEX, running = Py_Version;
  if ((compiled & 0xFFFF0000UL) == (running & 0xFFFF0000UL)) return;
  char message[200];
  std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                static_cast<int>(compiled >> 24), static_cast<int>((compiled >> 16) & 0xFF), module_name,
                "does not match", static_cast<int>(running >> 24), static_cast<int>((running >> 16) & 0xFF));
  check(PyErr_WarnEx(nullptr, message, 1));
}

// The type objects of NumPy that its C-API works with; a NumPy without them is unusable.
void check_numpy_types() {
  py_ref numpy = check(PyImport_ImportModule("numpy"));
  for (const char* name : {"dtype", "flatiter", "broadcast", "ndarray", "generic", "number", "integer",
                           "signedinteger", "unsignedinteger", "inexact", "floating", "complexfloating", "flexible",
                           "character", "ufunc"}) {
    py_ref type = check(PyObject_GetAttrString(numpy.get(), name));
    if (!PyType_Check(type.get())) {
      PyErr_Format(PyExc_TypeError, "numpy.%.200s is not a type object", name);
      throw_python_error();
    }
  }
}

// NumPy's C-API table, with NumPy's own checks of version and byte order.  An ordinary
// exception from them becomes the ImportError NumPy's extension modules raise, chained to it.
void import_numpy_api() {
  if (_import_array() == 0) return;
  PyObject* cause = PyErr_GetRaisedException();
  if (PyErr_GivenExceptionMatches(cause, PyExc_Exception)) {
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject* replacement = PyErr_GetRaisedException();
    PyException_SetContext(replacement, cause);  // steals cause
    PyErr_SetRaisedException(replacement);
  } else {
    PyErr_SetRaisedException(cause);
  }
  throw_python_error();
}

void fill(PyObject* module) {
  py_ref builtins = check(PyImport_AddModuleRef("builtins"));
  check(PyObject_SetAttrString(module, "__builtins__", builtins.get()));
  warn_on_version_mismatch();
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (!check(PyDict_ContainsString(modules, module_name))) check(PyDict_SetItemString(modules, module_name, module));
  setup_buffer_view_type();
  check_numpy_types();
  py_ref numpy = check(PyImport_ImportModule("numpy"));
  check(PyObject_SetAttrString(module, "np", numpy.get()));
  import_numpy_api();
  py_ref defaults = check(Py_BuildValue("(Oi)", Py_False, 3));
  py_ref function = make_function(module, "fit_zscan", fit_zscan_doc, std::move(defaults), fit_zscan);
  check(PyObject_SetAttrString(module, "fit_zscan", function.get()));
  py_ref test = check(PyDict_New());
  check(PyObject_SetAttrString(module, "__test__", test.get()));
}

// An entry "init kelp_wrapper" in the traceback of the pending exception, so that a failed
// import says where it failed.
void add_init_traceback() noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  PyCodeObject* code = PyCode_NewEmpty("kelp_wrapper", "init kelp_wrapper", 0);
  PyObject* globals = code ? PyDict_New() : nullptr;
  PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  PyErr_Clear();  // failing to add the entry must not hide the import's own error
  PyErr_SetRaisedException(pending);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

int exec(PyObject* module) noexcept {
  if (module_object) {
    if (module_object == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'kelp_wrapper' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  module_object = Py_NewRef(module);
  try {
    fill(module);
    return 0;
  } catch (...) {
    set_python_error_from_exception();
    add_init_traceback();
    // Forgotten, so that the next import starts again from the create step.
    Py_CLEAR(module_object);
    return -1;
  }
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = module_name,
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = no_methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace wrapper

PyMODINIT_FUNC PyInit_kelp_wrapper(void) { return PyModuleDef_Init(&wrapper::definition); }
