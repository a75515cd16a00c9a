// kelp_cli._forward: the core's forward model for the command-line tool, so that simulated
// measurements come from exactly the model that the fit uses.  A private module of its own:
// kelp_wrapper keeps only the fit in its namespace.
//
//   model_curves(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices,
//                sample_width, tau, wavelength, w0, M2) -> list of float
//
// Sequences of numbers in, one flat list out (scan after scan, len(x_mm) values each).
// Each evaluation takes an integrator session of its own and runs without the interpreter
// lock: with private integrator copies it may run beside fits and other evaluations on other
// threads.  Where no private copy can be loaded, this module and
// kelp_wrapper would each guard the one shared instance with a lock of their own, so then do
// not simulate while a fit runs on another thread.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "errors.hpp"
#include "kelp/forward.hpp"

namespace {

// A sequence of numbers as doubles; false with a Python error set otherwise.
bool doubles(PyObject* seq, const char* name, std::vector<double>& out) {
  PyObject* fast = PySequence_Fast(seq, name);
  if (!fast) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  out.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[static_cast<std::size_t>(i)] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast, i));
    if (out[static_cast<std::size_t>(i)] == -1.0 && PyErr_Occurred()) {
      Py_DECREF(fast);
      return false;
    }
  }
  Py_DECREF(fast);
  return true;
}

PyObject* model_curves(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"x_mm", "pulse_energy", "populations", "spec_pars", "t_slices", "z_slices",
                                   "sample_width", "tau", "wavelength", "w0", "M2", nullptr};
  PyObject *x_obj, *energy_obj, *population_obj, *par_obj;
  kelp::setup s;
  int t_slices, z_slices;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOiiddddd:model_curves", const_cast<char**>(keywords), &x_obj,
                                   &energy_obj, &population_obj, &par_obj, &t_slices, &z_slices, &s.sample_width,
                                   &s.tau, &s.wavelength, &s.w0, &s.M2))
    return nullptr;
  s.t_slices = t_slices;
  s.z_slices = z_slices;
  std::vector<double> x, energy, population, pars;
  if (!doubles(x_obj, "x_mm must be a sequence of numbers", x) ||
      !doubles(energy_obj, "pulse_energy must be a sequence of numbers", energy) ||
      !doubles(population_obj, "populations must be a sequence of numbers", population) ||
      !doubles(par_obj, "spec_pars must be a sequence of numbers", pars))
    return nullptr;
  if (pars.size() != 8) {
    PyErr_Format(PyExc_ValueError, "model_curves: spec_pars must hold 8 values, got %zd",
                 static_cast<Py_ssize_t>(pars.size()));
    return nullptr;
  }
  double spec_pars[8];
  for (int l = 0; l < 8; ++l) spec_pars[l] = pars[static_cast<std::size_t>(l)];

  // The evaluation touches no Python object, so the interpreter lock is given up around it:
  // the refinement evaluates the columns of its Jacobian on several threads at once.  What
  // the core throws is kept and translated once the lock is back.
  std::vector<double> curves;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    curves = kelp::model_curves(x, energy, population, spec_pars, s);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const kelp::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
    return nullptr;
  } catch (const kelp::memory_error& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }

  PyObject* out = PyList_New(static_cast<Py_ssize_t>(curves.size()));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < curves.size(); ++i) {
    PyObject* v = PyFloat_FromDouble(curves[i]);
    if (!v) {
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), v);
  }
  return out;
}

PyMethodDef methods[] = {
    {"model_curves", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_curves)),
     METH_VARARGS | METH_KEYWORDS,
     "model_curves(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices, sample_width, tau, "
     "wavelength, w0, M2)\n--\n\nModel transmittance of one scan per pulse energy at the positions x_mm "
     "(mm), scan after scan."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    // One process-wide integrator: a second interpreter would share it unguarded.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "kelp_cli._forward",
    .m_doc = "The forward model of the Z-scan fit, for simulated measurements.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__forward() { return PyModuleDef_Init(&module); }
