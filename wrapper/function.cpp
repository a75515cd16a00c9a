#include "function.hpp"

#include <cstddef>

namespace wrapper {

namespace {

struct function_object {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  function_body body;
  PyObject* globals;
  PyObject* defaults;
  PyObject* name;
  PyObject* module;
  PyObject* doc;
};

function_object* as_function(PyObject* o) { return reinterpret_cast<function_object*>(o); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  function_object* f = as_function(self);
  return f->body(f->globals, f->defaults, args, nargsf, kwnames);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  function_object* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->globals);
  Py_VISIT(f->defaults);
  Py_VISIT(f->name);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  return 0;
}

int function_clear(PyObject* self) {
  function_object* f = as_function(self);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->name);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  function_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<compiled function %U at %p>", as_function(self)->name, self);
}

PyObject* value_or_none(PyObject* o) { return Py_NewRef(o ? o : Py_None); }

PyObject* get_name(PyObject* self, void*) { return value_or_none(as_function(self)->name); }
PyObject* get_module(PyObject* self, void*) { return value_or_none(as_function(self)->module); }
PyObject* get_doc(PyObject* self, void*) { return value_or_none(as_function(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return value_or_none(as_function(self)->defaults); }
PyObject* get_globals(PyObject* self, void*) { return value_or_none(as_function(self)->globals); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(function_object, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "kelp_wrapper.compiled_function",
    .basicsize = sizeof(function_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = function_slots,
};

PyTypeObject* function_type = nullptr;

}  // namespace

py_ref make_function(PyObject* module, const char* name, const char* doc, py_ref defaults, function_body body) {
  if (!function_type) function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)).release());
  py_ref name_obj = check(PyUnicode_FromString(name));
  py_ref doc_obj = check(PyUnicode_FromString(doc));
  py_ref module_name = check(PyModule_GetNameObject(module));
  PyObject* globals = PyModule_GetDict(module);  // borrowed
  if (!globals) throw_python_error();

  function_object* f = PyObject_GC_New(function_object, function_type);
  if (!f) throw_python_error();
  f->vectorcall = function_vectorcall;
  f->body = body;
  f->globals = Py_NewRef(globals);
  f->defaults = defaults.release();
  f->name = name_obj.release();
  f->module = module_name.release();
  f->doc = doc_obj.release();
  PyObject_GC_Track(f);
  return py_ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace wrapper
