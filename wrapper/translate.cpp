#include "translate.hpp"

#include <Python.h>

#include <exception>
#include <new>

#include "errors.hpp"  // the core's exceptions
#include "py_ref.hpp"

namespace wrapper {

void set_python_error_from_exception() noexcept {
  try {
    throw;
  } catch (const python_error&) {
    // The interpreter's error indicator already says what went wrong.
  } catch (const kelp::interrupted&) {
    // Ctrl-C on the main thread left the handler's error pending; a call stopped from another
    // thread ends as if the user had pressed it.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const kelp::index_error& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const kelp::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const kelp::memory_error& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception in kelp_wrapper");
  }
}

}  // namespace wrapper
