#include "fit_zscan.hpp"

#include <cstdint>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "convert.hpp"
#include "kelp/starts.hpp"
#include "py_ref.hpp"
#include "translate.hpp"

namespace wrapper {

namespace {

// NumPy as the module's namespace binds it: `np` is looked up at every use, so the errors of
// the NumPy steps are NumPy's own.
class numpy_namespace {
 public:
  explicit numpy_namespace(PyObject* globals) : globals_(globals) {}

  py_ref attr(const char* name) const {
    PyObject* np = nullptr;
    if (check(PyDict_GetItemStringRef(globals_, "np", &np)) == 0) {
      PyObject* builtins = nullptr;
      if (check(PyDict_GetItemStringRef(globals_, "__builtins__", &builtins)) == 1) {
        py_ref owner = py_ref::steal(builtins);
        np = PyObject_GetAttrString(builtins, "np");
        if (!np && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        else if (!np) throw_python_error();
      }
      if (!np) {
        PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
        throw_python_error();
      }
    }
    py_ref module = py_ref::steal(np);
    return check(PyObject_GetAttrString(module.get(), name));
  }

  template <class... A>
  py_ref call(const char* name, const A&... args) const {
    py_ref f = attr(name);
    PyObject* argv[] = {args.get()...};
    return check(PyObject_Vectorcall(f.get(), argv, sizeof...(A), nullptr));
  }

  // name(arg, dtype=np.float64)
  py_ref call_float64(const char* name, const py_ref& arg) const {
    py_ref f = attr(name);
    py_ref float64 = attr("float64");
    py_ref kwnames = check(Py_BuildValue("(s)", "dtype"));
    PyObject* argv[] = {arg.get(), float64.get()};
    return check(PyObject_Vectorcall(f.get(), argv, 1, kwnames.get()));
  }

 private:
  PyObject* globals_;
};

// The interpreter lock is given up for as long as this lives.
class interpreter_unlocked {
 public:
  interpreter_unlocked() : state_(PyEval_SaveThread()) {}
  ~interpreter_unlocked() { PyEval_RestoreThread(state_); }
  interpreter_unlocked(const interpreter_unlocked&) = delete;
  interpreter_unlocked& operator=(const interpreter_unlocked&) = delete;

  // Ctrl-C reaches the interpreter as a pending signal on the main thread, which only runs its
  // handler when it holds the lock: the fit takes the lock back for a moment between its
  // residual evaluations and stops when the handler raised.
  static bool signal_raised(void* self) noexcept {
    interpreter_unlocked& u = *static_cast<interpreter_unlocked*>(self);
    PyEval_RestoreThread(u.state_);
    const bool raised = PyErr_CheckSignals() != 0;
    u.state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_;
};

// Only the main thread receives signals; a call on another thread needs no polling.
bool on_main_thread() {
  py_ref threading = check(PyImport_ImportModule("threading"));
  py_ref main = check(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  py_ref main_id = check(PyObject_GetAttrString(main.get(), "ident"));
  return PyLong_AsUnsignedLong(main_id.get()) == PyThread_get_thread_ident();
}

py_ref index_pair(index a, index b) { return check(Py_BuildValue("(LL)", static_cast<long long>(a), static_cast<long long>(b))); }

void require_not_none(const py_ref& view, const char* name) {
  if (view.get() != Py_None) return;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", name);
  throw_python_error();
}

py_ref fit(PyObject* globals, PyObject* defaults, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  PyObject* v[parameter_count];
  bind_arguments("fit_zscan", args, nargsf, kwnames, defaults, v);

  // Conversion in parameter order; None is caught only once everything converted.
  kelp::fit_settings s;
  py_ref x_view = as_buffer_view(v[0], element::float64, 1);
  py_ref y_view = as_buffer_view(v[1], element::float64, 1);
  py_ref populations_view = as_buffer_view(v[2], element::float64, 1);
  s.t_slices = as_int32(v[3]);
  s.z_slices = as_int32(v[4]);
  s.sample_width = as_double(v[5]);
  s.tau = as_double(v[6]);
  s.wavelength = as_double(v[7]);
  s.w0 = as_double(v[8]);
  s.M2 = as_double(v[9]);
  py_ref energy_view = as_buffer_view(v[10], element::float64, 1);
  py_ref spec_view = as_buffer_view(v[11], element::float64, 1);
  py_ref indices_view = as_buffer_view(v[12], element::int32, 1);
  s.num_x_pts = as_int32(v[13]);
  s.num_datasets = as_int32(v[14]);
  const bool is_sa = as_truth(v[15]);
  const index n_starts = as_int32(v[16]);
  require_not_none(x_view, "x_data");
  require_not_none(y_view, "y_data");
  require_not_none(populations_view, "populations");
  require_not_none(energy_view, "pulse_energy");
  require_not_none(spec_view, "spec_pars");
  require_not_none(indices_view, "fit_indices");

  const auto x_data = zero_based_array_of<const double>(x_view.get());
  const auto spec_pars = zero_based_array_of<const double>(spec_view.get());
  const auto fit_indices = zero_based_array_of<const std::int32_t>(indices_view.get());
  for (index j = 0; j < fit_indices.size; ++j)
    if (fit_indices.data[j] < 0 || fit_indices.data[j] > 7) {
      PyErr_Format(PyExc_ValueError, "fit_indices[%lld]=%d out of range [0,7]", static_cast<long long>(j),
                   static_cast<int>(fit_indices.data[j]));
      throw_python_error();
    }

  const numpy_namespace np(globals);
  // The core numbers the parameters from 1.
  py_ref one = check(PyLong_FromLong(1));
  py_ref one_based_view = as_buffer_view(check(PyNumber_Add(np.call("asarray", indices_view).get(), one.get())).get(),
                                         element::int32, 1);

  // One shift for all scans: the extreme of the measured curve goes to position 0.
  const index k = as_position(np.call(is_sa ? "argmax" : "argmin", y_view).get());
  py_ref center_x = check(PyFloat_FromDouble(x_data.at(k)));
  py_ref centered_view = as_buffer_view(
      check(PyNumber_Subtract(np.call("asarray", x_view).get(), center_x.get())).get(), element::float64, 1);

  // Tiled from an ndarray over the caller's buffer, which np.tile always copies: tiling the
  // buffer object itself once (n_starts = 1) returns a view of the caller's memory, and the
  // fit would then write its start and fitted values into the caller's spec_pars.
  py_ref all_spec_pars = np.call("tile", np.call("asarray", spec_view), index_pair(n_starts, 1));
  py_ref all_spec_view = as_buffer_view(all_spec_pars.get(), element::float64, 2);
  const index n_res = zero_based_array_of<const double>(y_view.get()).size;
  py_ref all_residuals = np.call_float64("zeros", index_pair(n_starts, n_res));
  py_ref all_residuals_view = as_buffer_view(all_residuals.get(), element::float64, 2);
  py_ref n_starts_obj = check(PyLong_FromLongLong(n_starts));
  py_ref all_errors_view = as_buffer_view(np.call_float64("zeros", n_starts_obj).get(), element::float64, 1);

  py_ref multiplier_list = check(PyList_New(0));
  for (index i = 0; i < n_starts; ++i)
    check(PyList_Append(multiplier_list.get(), check(PyFloat_FromDouble(kelp::start_multiplier(i, n_starts))).get()));
  py_ref multipliers_view = as_buffer_view(np.call_float64("array", multiplier_list).get(), element::float64, 1);

  kelp::fit_arrays a;
  a.centered_x = zero_based_array_of<const double>(centered_view.get());
  a.y_data = zero_based_array_of<const double>(y_view.get());
  a.populations = zero_based_array_of<const double>(populations_view.get());
  a.pulse_energy = zero_based_array_of<const double>(energy_view.get());
  a.one_based_indices = zero_based_array_of<const std::int32_t>(one_based_view.get());
  a.n_fit = fit_indices.size;
  a.all_spec_pars = zero_based_matrix_of<double>(all_spec_view.get());
  a.all_residuals = zero_based_matrix_of<double>(all_residuals_view.get());
  a.all_errors = zero_based_array_of<double>(all_errors_view.get());
  kelp::fill_start_values(a.all_spec_pars, spec_pars, fit_indices, zero_based_array_of<const double>(multipliers_view.get()),
                    n_starts);

  {
    // The views above hold every buffer the starts read or write, so no Python object is
    // touched until the lock is back.  The core's call waits for its thread and integrator
    // after the lock is given up, so a thread waiting for them never holds the interpreter.
    // A signal handled after the last evaluation still ends the call: its error is pending.
    const bool poll_signals = on_main_thread();
    interpreter_unlocked unlocked;
    kelp::fit_starts(a, s, n_starts, poll_signals ? interpreter_unlocked::signal_raised : nullptr, &unlocked);
  }

  const index best = kelp::select_best(zero_based_array<const double>{a.all_errors.data, a.all_errors.size});
  py_ref best_obj = check(PyLong_FromLongLong(best));
  py_ref residuals = np.call("asarray", check(PyObject_GetItem(all_residuals.get(), best_obj.get())));
  py_ref error = check(PyFloat_FromDouble(a.all_errors.data[best]));
  py_ref fitted = np.call("asarray", check(PyObject_GetItem(all_spec_pars.get(), best_obj.get())));
  return check(PyTuple_Pack(3, residuals.get(), error.get(), fitted.get()));
}

}  // namespace

PyObject* fit_zscan(PyObject* globals, PyObject* defaults, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames) noexcept {
  try {
    return fit(globals, defaults, args, nargsf, kwnames).release();
  } catch (...) {
    set_python_error_from_exception();
    return nullptr;
  }
}

}  // namespace wrapper
