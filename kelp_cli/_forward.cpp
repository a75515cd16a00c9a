// kelp_cli._forward: the core's forward model for the command-line tool, so that simulated
// measurements come from exactly the model that the fit uses.  A private module of its own:
// kelp_wrapper keeps only the fit in its namespace.
//
//   model_curves(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices,
//                sample_width, tau, wavelength, w0, M2) -> list of float
//   open_aperture_curves(the same arguments, *, radial_nodes=6, time_window=3.0) -> list of float
//
// model_curves is the fit's own (on-axis) model; open_aperture_curves the energy-weighted
// transmittance over the whole beam and pulse, divided by the linear transmittance, which
// runs with the interpreter lock released.
// Sequences of numbers in, one flat list out (scan after scan, len(x_mm) values each).
// Each evaluation takes an integrator session of its own: with private integrator copies it
// may run beside fits on other threads.  Where no private copy can be loaded, this module and
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
#include "kelp/open_aperture.hpp"

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

// The core's exceptions as Python's: size and value errors to ValueError, exhausted memory to
// MemoryError.  Called inside a catch block.
void translate_current() {
  try {
    throw;
  } catch (const kelp::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const kelp::memory_error& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

PyObject* float_list(const std::vector<double>& values) {
  PyObject* out = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyFloat_FromDouble(values[i]);
    if (!v) {
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), v);
  }
  return out;
}

// The arguments both models share, converted.
struct model_inputs {
  std::vector<double> x, energy, population;
  double spec_pars[8];
  kelp::setup s;
};

bool convert_inputs(const char* function, PyObject* x_obj, PyObject* energy_obj, PyObject* population_obj,
                    PyObject* par_obj, int t_slices, int z_slices, model_inputs& in) {
  in.s.t_slices = t_slices;
  in.s.z_slices = z_slices;
  std::vector<double> pars;
  if (!doubles(x_obj, "x_mm must be a sequence of numbers", in.x) ||
      !doubles(energy_obj, "pulse_energy must be a sequence of numbers", in.energy) ||
      !doubles(population_obj, "populations must be a sequence of numbers", in.population) ||
      !doubles(par_obj, "spec_pars must be a sequence of numbers", pars))
    return false;
  if (pars.size() != 8) {
    PyErr_Format(PyExc_ValueError, "%s: spec_pars must hold 8 values, got %zd", function,
                 static_cast<Py_ssize_t>(pars.size()));
    return false;
  }
  for (int l = 0; l < 8; ++l) in.spec_pars[l] = pars[static_cast<std::size_t>(l)];
  return true;
}

PyObject* model_curves(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"x_mm", "pulse_energy", "populations", "spec_pars", "t_slices", "z_slices",
                                   "sample_width", "tau", "wavelength", "w0", "M2", nullptr};
  PyObject *x_obj, *energy_obj, *population_obj, *par_obj;
  model_inputs in;
  int t_slices, z_slices;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOiiddddd:model_curves", const_cast<char**>(keywords), &x_obj,
                                   &energy_obj, &population_obj, &par_obj, &t_slices, &z_slices, &in.s.sample_width,
                                   &in.s.tau, &in.s.wavelength, &in.s.w0, &in.s.M2))
    return nullptr;
  if (!convert_inputs("model_curves", x_obj, energy_obj, population_obj, par_obj, t_slices, z_slices, in))
    return nullptr;
  std::vector<double> curves;
  try {
    curves = kelp::model_curves(in.x, in.energy, in.population, in.spec_pars, in.s);
  } catch (...) {
    translate_current();
    return nullptr;
  }
  return float_list(curves);
}

PyObject* open_aperture_curves(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"x_mm", "pulse_energy", "populations", "spec_pars", "t_slices", "z_slices",
                                   "sample_width", "tau", "wavelength", "w0", "M2", "radial_nodes", "time_window",
                                   nullptr};
  PyObject *x_obj, *energy_obj, *population_obj, *par_obj;
  model_inputs in;
  kelp::open_aperture_options o;
  int t_slices, z_slices, radial_nodes = o.radial_nodes;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOiiddddd|$id:open_aperture_curves",
                                   const_cast<char**>(keywords), &x_obj, &energy_obj, &population_obj, &par_obj,
                                   &t_slices, &z_slices, &in.s.sample_width, &in.s.tau, &in.s.wavelength, &in.s.w0,
                                   &in.s.M2, &radial_nodes, &o.time_window))
    return nullptr;
  o.radial_nodes = radial_nodes;
  if (!convert_inputs("open_aperture_curves", x_obj, energy_obj, population_obj, par_obj, t_slices, z_slices, in))
    return nullptr;
  std::vector<double> curves;
  std::exception_ptr error;
  // Only C++ runs without the lock: every Python object was converted above, and the error
  // becomes a Python one once the lock is back.
  Py_BEGIN_ALLOW_THREADS
  try {
    curves = kelp::open_aperture_curves(in.x, in.energy, in.population, in.spec_pars, in.s, o);
  } catch (...) {
    error = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (error) {
    try {
      std::rethrow_exception(error);
    } catch (...) {
      translate_current();
    }
    return nullptr;
  }
  return float_list(curves);
}

PyMethodDef methods[] = {
    {"model_curves", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_curves)),
     METH_VARARGS | METH_KEYWORDS,
     "model_curves(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices, sample_width, tau, "
     "wavelength, w0, M2)\n--\n\nModel transmittance of one scan per pulse energy at the positions x_mm "
     "(mm), scan after scan."},
    {"open_aperture_curves", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_aperture_curves)),
     METH_VARARGS | METH_KEYWORDS,
     "open_aperture_curves(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices, sample_width, tau, "
     "wavelength, w0, M2, *, radial_nodes=6, time_window=3.0)\n--\n\nEnergy transmittance of the whole beam "
     "and pulse over the linear transmittance, one scan per pulse energy at the positions x_mm (mm), scan after "
     "scan.  t_slices: time samples across -time_window*tau .. time_window*tau; z_slices: depth slices; "
     "radial_nodes: Gauss-Legendre nodes across the beam."},
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
