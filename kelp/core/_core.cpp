// kelp.core._core: the core's forward models and fit_zscan's own arithmetic for the library,
// so that what it simulates and fits comes from exactly the code that the fit runs.  A private module of its own:
// kelp_wrapper keeps only the fit in its namespace.
//
//   model_curves(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices,
//                sample_width, tau, wavelength, w0, M2) -> list of float
//   transmittance_ratios(same arguments) -> list of float: the same before the wing shift
//   cancel_fits(): stops every fit_zscan call running in the process (the tool's Ctrl-C)
//   open_aperture_curves(the same arguments, *, radial_nodes=6, time_window=3.0, steps="exact",
//              alpha0=0, beta=0, gamma=0) -> list of float: the energy-weighted open-aperture
//              model (kelp/open_aperture.hpp)
//   fit_weights(x_mm), centre_index(y, is_sa=False), start_multipliers(n_starts),
//   wing_level(ratios), weighted_residuals(measured, model, x_mm, scans), error_norm(residuals):
//              fit_zscan's own arithmetic, one step each (kelp/api/model.hpp); sequences or
//              arrays in, a list, an int or a float out
//   resolved_curves(the same arguments, *, detectors=None, aperture_S=None, n2=0, kr=(0, 0, 0, 0),
//              and open_aperture_curves' keywords) -> list of float: the same model behind an
//              open or a closed aperture, or the closed over the open (kelp/closed_aperture.hpp)
//   Watch(fd): routes DLSODA's messages of the threads it is attached to (attach/detach, or
//              `with`) to a duplicate of fd and counts them (.messages) and the fit's
//              residual evaluations (.evaluations); both counts may be read from any thread.
//
// Sequences of numbers in, one flat list out (scan after scan, len(x_mm) values each).
// Each evaluation takes an integrator session of its own in the core that kelp_wrapper uses
// too, and runs without the interpreter lock, so it may run beside fits and other evaluations
// on other threads: on a private integrator copy, or on the one shared instance under the
// core's lock.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kelp/api/calls.hpp"
#include "kelp/api/model.hpp"
#include "translate.hpp"

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

// A list of floats; null with a Python error set when one cannot be made.
PyObject* list_of(const std::vector<double>& values) {
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

// Runs an evaluation (a callable returning the flat list of values) and returns that list.
// The evaluation touches no Python object, so the interpreter lock is given up around it: the
// refinement evaluates the columns of its Jacobian on several threads at once.  What the core
// throws is kept and translated once the lock is back.
template <class F>
PyObject* released(F&& evaluation) {
  std::vector<double> curves;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    curves = evaluation();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (...) {
      wrapper::set_python_error_from_exception();
    }
    return nullptr;
  }

  return list_of(curves);
}

using forward_model = std::vector<double> (*)(const std::vector<double>&, const std::vector<double>&,
                                              const std::vector<double>&, const double (&)[8], const kelp::setup&);

// The closed-aperture keywords of resolved_curves into `out`: detectors (None, or one of
// "open", "closed", "divided" per pulse energy), aperture_S (None: no aperture, refused by the
// core where a scan needs one) and kr (four numbers, or nullptr when not given: all 0); false
// with a Python error set otherwise.
bool aperture_from(PyObject* detectors, PyObject* aperture, PyObject* kr, const char* name,
                   kelp::aperture_options& out) {
  if (detectors != Py_None) {
    PyObject* fast = PySequence_Fast(detectors, "detectors must be None or a sequence of strings");
    if (!fast) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
      const char* d = PyUnicode_Check(PySequence_Fast_GET_ITEM(fast, i))
                          ? PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(fast, i)) : nullptr;
      const std::string chosen = d ? d : "";
      if (chosen != "open" && chosen != "closed" && chosen != "divided") {
        Py_DECREF(fast);
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s: detectors[%zd] must be \"open\", \"closed\" or \"divided\"", name, i);
        return false;
      }
      out.detectors.push_back(chosen == "open"     ? kelp::detector::open
                              : chosen == "closed" ? kelp::detector::closed
                                                   : kelp::detector::divided);
    }
    Py_DECREF(fast);
  }
  if (aperture != Py_None) {
    out.aperture = PyFloat_AsDouble(aperture);
    if (out.aperture == -1.0 && PyErr_Occurred()) return false;
  }
  if (!kr) return true;
  std::vector<double> levels;
  if (!doubles(kr, "kr must be a sequence of 4 numbers", levels)) return false;
  if (levels.size() != 4) {
    PyErr_Format(PyExc_ValueError, "%s: kr must hold 4 values (kr2 .. kr5), got %zd", name,
                 static_cast<Py_ssize_t>(levels.size()));
    return false;
  }
  for (int j = 0; j < 4; ++j) out.refraction.kr[j] = levels[static_cast<std::size_t>(j)];
  return true;
}

// Parses the common arguments (and, given `open_aperture`, the open-aperture model's own
// settings radial_nodes, time_window, steps and the instantaneous absorption alpha0, beta,
// gamma, keyword-only after the others, defaulting to what it holds), evaluates the model
// without the interpreter lock and returns the flat list; given `aperture`, also the
// closed-aperture keywords (resolved_curves).
PyObject* evaluate(PyObject* args, PyObject* kwargs, forward_model model, const char* format, const char* name,
                   kelp::open_aperture_options* open_aperture = nullptr, kelp::aperture_options* aperture = nullptr) {
  // The parser wants exactly one keyword per format unit: the on-axis list ends before the
  // open-aperture settings, theirs before the closed aperture's.
  static const char* with_aperture[] = {"x_mm", "pulse_energy", "populations", "spec_pars", "t_slices", "z_slices",
                                        "sample_width", "tau", "wavelength", "w0", "M2", "radial_nodes",
                                        "time_window", "steps", "alpha0", "beta", "gamma", "detectors",
                                        "aperture_S", "n2", "kr", nullptr};
  static const char* with_options[] = {"x_mm", "pulse_energy", "populations", "spec_pars", "t_slices", "z_slices",
                                       "sample_width", "tau", "wavelength", "w0", "M2", "radial_nodes",
                                       "time_window", "steps", "alpha0", "beta", "gamma", nullptr};
  static const char* without[] = {"x_mm", "pulse_energy", "populations", "spec_pars", "t_slices", "z_slices",
                                  "sample_width", "tau", "wavelength", "w0", "M2", nullptr};
  const char** keywords = aperture ? with_aperture : open_aperture ? with_options : without;
  PyObject *x_obj, *energy_obj, *population_obj, *par_obj, *detectors = Py_None, *aperture_S = Py_None;
  PyObject* kr = nullptr;  // not given: no level refracts
  double n2 = 0.0;
  kelp::setup s;
  int t_slices, z_slices, radial_nodes = open_aperture ? open_aperture->radial_nodes : 0;
  double time_window = open_aperture ? open_aperture->time_window : 0;
  const char* steps = "exact";
  kelp::instantaneous_absorption instantaneous;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &x_obj,
                                   &energy_obj, &population_obj, &par_obj, &t_slices, &z_slices, &s.sample_width,
                                   &s.tau, &s.wavelength, &s.w0, &s.M2, &radial_nodes, &time_window, &steps,
                                   &instantaneous.alpha0, &instantaneous.beta, &instantaneous.gamma, &detectors,
                                   &aperture_S, &n2, &kr))
    return nullptr;
  if (aperture) {
    aperture->refraction.n2 = n2;
    if (!aperture_from(detectors, aperture_S, kr, name, *aperture)) return nullptr;
  }
  if (open_aperture) {
    open_aperture->radial_nodes = radial_nodes;
    open_aperture->time_window = time_window;
    open_aperture->instantaneous = instantaneous;
    const std::string chosen = steps;
    if (chosen != "exact" && chosen != "integrated") {
      PyErr_Format(PyExc_ValueError, "%s: steps must be \"exact\" or \"integrated\", got \"%s\"", name, steps);
      return nullptr;
    }
    open_aperture->steps = chosen == "exact" ? kelp::rate_steps::exact : kelp::rate_steps::integrated;
  }
  s.t_slices = t_slices;
  s.z_slices = z_slices;
  std::vector<double> x, energy, population, pars;
  if (!doubles(x_obj, "x_mm must be a sequence of numbers", x) ||
      !doubles(energy_obj, "pulse_energy must be a sequence of numbers", energy) ||
      !doubles(population_obj, "populations must be a sequence of numbers", population) ||
      !doubles(par_obj, "spec_pars must be a sequence of numbers", pars))
    return nullptr;
  if (pars.size() != 8) {
    PyErr_Format(PyExc_ValueError, "%s: spec_pars must hold 8 values, got %zd", name,
                 static_cast<Py_ssize_t>(pars.size()));
    return nullptr;
  }
  double spec_pars[8];
  for (int l = 0; l < 8; ++l) spec_pars[l] = pars[static_cast<std::size_t>(l)];

  return released([&] {
    if (aperture) return kelp::resolved_curves(x, energy, population, spec_pars, s, *open_aperture, *aperture);
    return open_aperture ? kelp::open_aperture_curves(x, energy, population, spec_pars, s, *open_aperture)
                         : model(x, energy, population, spec_pars, s);
  });
}

PyObject* model_curves(PyObject*, PyObject* args, PyObject* kwargs) {
  return evaluate(args, kwargs, kelp::model_curves, "OOOOiiddddd:model_curves", "model_curves");
}

PyObject* cancel_fits(PyObject*, PyObject*) {
  kelp::cancel_running_calls();
  Py_RETURN_NONE;
}

PyObject* open_aperture_curves(PyObject*, PyObject* args, PyObject* kwargs) {
  kelp::open_aperture_options options;
  return evaluate(args, kwargs, nullptr, "OOOOiiddddd|$idsddd:open_aperture_curves", "open_aperture_curves", &options);
}

PyObject* resolved_curves(PyObject*, PyObject* args, PyObject* kwargs) {
  kelp::open_aperture_options options;
  kelp::aperture_options aperture;
  return evaluate(args, kwargs, nullptr, "OOOOiiddddd|$idsdddOOdO:resolved_curves", "resolved_curves", &options,
                  &aperture);
}

PyObject* transmittance_ratios(PyObject*, PyObject* args, PyObject* kwargs) {
  return evaluate(args, kwargs, kelp::transmittance_ratios, "OOOOiiddddd:transmittance_ratios",
                  "transmittance_ratios");
}

// --- fit_zscan's arithmetic, one step at a time (kelp/api/model.hpp) ----------------------
// Quick enough to keep the interpreter lock; what the core throws becomes the Python error.

template <class F>
PyObject* translated(F&& core_call) {
  try {
    return core_call();
  } catch (...) {
    wrapper::set_python_error_from_exception();
    return nullptr;
  }
}

PyObject* fit_weights(PyObject*, PyObject* x_obj) {
  std::vector<double> x;
  if (!doubles(x_obj, "x_mm must be a sequence of numbers", x)) return nullptr;
  return translated([&] { return list_of(kelp::fit_weights(x)); });
}

PyObject* centre_index(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"y", "is_sa", nullptr};
  PyObject* y_obj;
  int is_sa = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:centre_index", const_cast<char**>(keywords), &y_obj, &is_sa))
    return nullptr;
  std::vector<double> y;
  if (!doubles(y_obj, "y must be a sequence of numbers", y)) return nullptr;
  return translated([&] { return PyLong_FromLongLong(kelp::centre_index(y, is_sa != 0)); });
}

PyObject* start_multipliers(PyObject*, PyObject* n_obj) {
  const long long n = PyLong_AsLongLong(n_obj);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  return translated([&] { return list_of(kelp::start_multipliers(n)); });
}

PyObject* wing_level(PyObject*, PyObject* ratios_obj) {
  std::vector<double> ratios;
  if (!doubles(ratios_obj, "ratios must be a sequence of numbers", ratios)) return nullptr;
  return translated([&] { return PyFloat_FromDouble(kelp::wing_level(ratios)); });
}

PyObject* weighted_residuals(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"measured", "model", "x_mm", "scans", nullptr};
  PyObject *measured_obj, *model_obj, *x_obj;
  long long scans;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOL:weighted_residuals", const_cast<char**>(keywords),
                                   &measured_obj, &model_obj, &x_obj, &scans))
    return nullptr;
  std::vector<double> measured, model, x;
  if (!doubles(measured_obj, "measured must be a sequence of numbers", measured) ||
      !doubles(model_obj, "model must be a sequence of numbers", model) ||
      !doubles(x_obj, "x_mm must be a sequence of numbers", x))
    return nullptr;
  return translated([&] { return list_of(kelp::weighted_residuals(measured, model, x, scans)); });
}

PyObject* error_norm(PyObject*, PyObject* residuals_obj) {
  std::vector<double> residuals;
  if (!doubles(residuals_obj, "residuals must be a sequence of numbers", residuals)) return nullptr;
  return translated([&] { return PyFloat_FromDouble(kelp::error_norm(residuals)); });
}

// --- Watch: the message sink and evaluation counter of the threads it is attached to -------

struct watch_object {
  PyObject_HEAD
  kelp::message_sink* sink;  // owns its descriptor, a duplicate of the caller's
  kelp::evaluation_counter* evaluations;
};

// What one attach() entered on this thread.  Python cannot hold an RAII guard across calls,
// so the guards live here, innermost last, until the matching detach().
struct attachment {
  explicit attachment(watch_object* w) : watch(w), context(w->sink, w->evaluations) {}
  watch_object* watch;
  kelp::context_scope context;
};
thread_local std::vector<std::unique_ptr<attachment>> attached;

PyObject* watch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"fd", "head", "tail_bytes", nullptr};
  int fd;
  unsigned long long head = ~0ULL;
  Py_ssize_t tail_bytes = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i|$Kn:Watch", const_cast<char**>(keywords), &fd, &head,
                                   &tail_bytes))
    return nullptr;
  if (tail_bytes < 0) {
    PyErr_SetString(PyExc_ValueError, "Watch: tail_bytes must be 0 or more");
    return nullptr;
  }
  // A duplicate: the messages keep their destination whatever the caller does with fd.
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return PyErr_SetFromErrno(PyExc_OSError);
  auto* self = reinterpret_cast<watch_object*>(type->tp_alloc(type, 0));
  if (!self) {
    close(own);
    return nullptr;
  }
  try {
    self->sink = new kelp::message_sink(own, head, static_cast<std::size_t>(tail_bytes));
  } catch (const std::bad_alloc&) {
    self->sink = nullptr;
  }
  self->evaluations = new (std::nothrow) kelp::evaluation_counter;
  if (!self->sink || !self->evaluations) {
    if (!self->sink) close(own);
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

void watch_dealloc(PyObject* o) {
  auto* self = reinterpret_cast<watch_object*>(o);
  PyTypeObject* type = Py_TYPE(o);
  if (self->sink) {
    close(self->sink->fd);
    delete self->sink;
  }
  delete self->evaluations;
  type->tp_free(o);
  Py_DECREF(type);
}

PyObject* watch_attach(PyObject* o, PyObject*) {
  auto* self = reinterpret_cast<watch_object*>(o);
  try {
    attached.push_back(std::make_unique<attachment>(self));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_INCREF(o);  // the thread's sink points into it until detach()
  return Py_NewRef(o);
}

PyObject* watch_detach(PyObject* o, PyObject*) {
  if (attached.empty() || attached.back()->watch != reinterpret_cast<watch_object*>(o)) {
    PyErr_SetString(PyExc_RuntimeError, "Watch.detach: this watch is not the one attached last on this thread");
    return nullptr;
  }
  attached.pop_back();
  Py_DECREF(o);
  Py_RETURN_NONE;
}

PyObject* watch_exit(PyObject* o, PyObject*) {
  PyObject* r = watch_detach(o, nullptr);
  if (!r) return nullptr;
  Py_DECREF(r);
  Py_RETURN_FALSE;  // exceptions of the block propagate
}

PyObject* watch_messages(PyObject* o, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<watch_object*>(o)->sink->count.load());
}

PyObject* watch_tail(PyObject* o, PyObject*) {
  kelp::message_sink& sink = *reinterpret_cast<watch_object*>(o)->sink;
  std::unique_ptr<char[]> kept(new (std::nothrow) char[sink.tail_size + 1]);
  if (!kept) return PyErr_NoMemory();
  const std::size_t n = sink.tail(kept.get());
  return PyBytes_FromStringAndSize(kept.get(), static_cast<Py_ssize_t>(n));
}

PyObject* watch_evaluations(PyObject* o, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<watch_object*>(o)->evaluations->count.load());
}

PyMethodDef watch_methods[] = {
    {"attach", watch_attach, METH_NOARGS,
     "attach()\n--\n\nRoute this thread's integrator messages here and count its evaluations, until detach()."},
    {"detach", watch_detach, METH_NOARGS,
     "detach()\n--\n\nUndo this thread's last attach(), which must have been of this watch."},
    {"tail", watch_tail, METH_NOARGS,
     "tail()\n--\n\nThe kept end of the messages beyond the first `head` (bytes, oldest first)."},
    {"__enter__", watch_attach, METH_NOARGS, nullptr},
    {"__exit__", watch_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef watch_getset[] = {
    {"messages", watch_messages, nullptr, "messages of the integrator written to the watch's descriptor", nullptr},
    {"evaluations", watch_evaluations, nullptr, "residual evaluations of fits run while attached", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot watch_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(watch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(watch_dealloc)},
    {Py_tp_methods, watch_methods},
    {Py_tp_getset, watch_getset},
    {Py_tp_doc, const_cast<char*>("Watch(fd, *, head=unbounded, tail_bytes=0)\n--\n\nDestination of the "
                                  "integrator's messages and counter of evaluations for the threads it is "
                                  "attached to.  Only the first `head` messages reach fd; of the later ones "
                                  "the last tail_bytes bytes are kept (tail()), and all are counted.")},
    {0, nullptr},
};

PyType_Spec watch_spec = {
    .name = "kelp.core._core.Watch",
    .basicsize = sizeof(watch_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = watch_slots,
};

int exec_module(PyObject* module) {
  return PyModule_Add(module, "Watch", PyType_FromModuleAndSpec(module, &watch_spec, nullptr));
}

PyMethodDef methods[] = {
    {"model_curves", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_curves)),
     METH_VARARGS | METH_KEYWORDS,
     "model_curves(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices, sample_width, tau, "
     "wavelength, w0, M2)\n--\n\nModel transmittance of one scan per pulse energy at the positions x_mm "
     "(mm), scan after scan."},
    {"cancel_fits", cancel_fits, METH_NOARGS,
     "cancel_fits()\n--\n\nAsks every fit_zscan call running now in this process, on any thread, to stop "
     "at its next residual evaluation; it then raises KeyboardInterrupt.  Calls that start later run "
     "normally."},
    {"open_aperture_curves", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_aperture_curves)),
     METH_VARARGS | METH_KEYWORDS,
     "open_aperture_curves(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices, sample_width, tau, "
     "wavelength, w0, M2, *, radial_nodes=6, time_window=3.0, steps='exact', alpha0=0, beta=0, gamma=0)\n--\n\n"
     "Energy-weighted open-aperture transmittance over the linear transmittance of one scan per pulse energy "
     "at the positions x_mm (mm), scan after scan: t_slices time samples over +-time_window tau, z_slices depth "
     "slices, radial_nodes Gauss-Legendre nodes across the beam.  steps: 'exact' (matrix exponential) or "
     "'integrated' (DLSODA, no two-photon pumping).  Instantaneous absorption beside the five levels, SI units: "
     "alpha0 (1/m), beta (two-photon, m/W; pumps level 1 into level 2), gamma (three-photon, m^3/W^2)."},
    {"resolved_curves", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(resolved_curves)),
     METH_VARARGS | METH_KEYWORDS,
     "resolved_curves(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices, sample_width, tau, "
     "wavelength, w0, M2, *, detectors=None, aperture_S=None, n2=0, kr=(0, 0, 0, 0), radial_nodes=6, "
     "time_window=3.0, steps='exact', alpha0=0, beta=0, gamma=0)\n--\n\n"
     "The resolved model of one scan per pulse energy at the positions x_mm (mm, z increasing towards the "
     "detector), scan after scan, each as its detector measures it over the whole pulse, divided by the same "
     "at low irradiance: detectors[k] = 'open' (all the transmitted energy, over the linear transmittance), "
     "'closed' (the energy through an aperture in the far field, over the linear beam's through it) or "
     "'divided' (closed over open); None: every scan open, exactly open_aperture_curves' values.  "
     "aperture_S: the aperture's linear transmittance, 0 < S < 1, needed by closed and divided scans.  "
     "Refraction, dphi/dz = k n2 I + sum_j kr_j (N_j - N_j(0)) with k = 2 pi/wavelength: n2 the Kerr index "
     "(m^2/W, positive focuses), kr = (kr2, kr3, kr4, kr5) the refractive cross-sections of levels 2 .. 5 "
     "against level 1 (cm^2, like k1 .. k3 with the populations in cm^-2 m^-1).  t_slices, "
     "z_slices, sample_width (m), tau (s), wavelength (m), w0 (m), M2 and the remaining keywords as in "
     "open_aperture_curves."},
    {"transmittance_ratios", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transmittance_ratios)),
     METH_VARARGS | METH_KEYWORDS,
     "transmittance_ratios(x_mm, pulse_energy, populations, spec_pars, t_slices, z_slices, sample_width, tau, "
     "wavelength, w0, M2)\n--\n\nTransmitted over incident sum of every position before the wing shift "
     "that model_curves applies, scan after scan."},
    {"fit_weights", fit_weights, METH_O,
     "fit_weights(x_mm)\n--\n\nThe square root of fit_zscan's weight of each centred position x_mm (mm): "
     "sqrt(4 exp(-(2x)^2) + 1) with x in metres, the factor of its residual."},
    {"centre_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(centre_index)),
     METH_VARARGS | METH_KEYWORDS,
     "centre_index(y, is_sa=False)\n--\n\nThe index of the value fit_zscan centres on: the lowest of y (the "
     "highest with is_sa), the first on a tie, a NaN first of all, as NumPy's argmin and argmax."},
    {"start_multipliers", start_multipliers, METH_O,
     "start_multipliers(n_starts)\n--\n\nfit_zscan's multiplier of each of n_starts starts, from 10^-0.52 to "
     "10^0.52 log-evenly (one start: 10^-0.52)."},
    {"wing_level", wing_level, METH_O,
     "wing_level(ratios)\n--\n\nThe mean of the first five and the last five of one scan's transmittance "
     "ratios (at least five), summed in the model's order: model_curves is ratios + (1 - wing_level)."},
    {"weighted_residuals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(weighted_residuals)),
     METH_VARARGS | METH_KEYWORDS,
     "weighted_residuals(measured, model, x_mm, scans)\n--\n\n(measured - model) * fit_weights(x_mm) scan after "
     "scan, x_mm the centred positions of one scan shared by every scan: the residuals fit_zscan minimises."},
    {"error_norm", error_norm, METH_O,
     "error_norm(residuals)\n--\n\nfit_zscan's error of weighted residuals: MINPACK's enorm, their Euclidean "
     "norm scaled where a square would overflow or underflow; 0.0 for none."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // One process-wide integrator: a second interpreter would share it unguarded.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "kelp.core._core",
    .m_doc = "The core's forward models, fit_zscan's own arithmetic and the integrator watch, for the library kelp.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&module); }
