#include "buffer_view.hpp"

#include <cstdint>
#include <cstring>

namespace wrapper {

namespace {

struct buffer_view_object {
  PyObject_HEAD
  Py_buffer view;  // view.obj is null until the buffer is held
};

PyTypeObject* buffer_view_type = nullptr;

buffer_view_object* as_view_object(PyObject* o) { return reinterpret_cast<buffer_view_object*>(o); }

// Re-exports the held buffer; the consumer's reference to this object keeps it held.
int view_getbuffer(PyObject* self, Py_buffer* out, int flags) {
  const Py_buffer& v = as_view_object(self)->view;
  *out = v;
  out->obj = Py_NewRef(self);
  out->format = (flags & PyBUF_FORMAT) ? v.format : nullptr;
  out->shape = (flags & PyBUF_ND) == PyBUF_ND ? v.shape : nullptr;
  out->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? v.strides : nullptr;
  out->suboffsets = nullptr;
  out->internal = nullptr;
  return 0;
}

void view_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyBuffer_Release(&as_view_object(self)->view);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot view_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(view_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {0, nullptr},
};

PyType_Spec view_spec = {
    .name = "kelp_wrapper.buffer_view",
    .basicsize = sizeof(buffer_view_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = view_slots,
};

[[noreturn]] void raise_value_error(const char* format, auto... args) {
  PyErr_Format(PyExc_ValueError, format, args...);
  throw_python_error();
}

// Element groups and sizes of the buffer-protocol type codes, native ('@') or standard
// ('=', '<') sizes.  Group 'i' signed, 'u' unsigned integers, 'r' reals, '?' anything else.
struct code_info {
  char group;
  Py_ssize_t size;
};

code_info describe_code(char c, bool native) {
  switch (c) {
    case 'b': return {'i', 1};
    case 'h': return {'i', 2};
    case 'i': return {'i', 4};
    case 'l': return {'i', native ? static_cast<Py_ssize_t>(sizeof(long)) : 4};
    case 'q': return {'i', 8};
    case 'n': return {'i', native ? static_cast<Py_ssize_t>(sizeof(Py_ssize_t)) : 0};
    case 'B': return {'u', 1};
    case 'H': return {'u', 2};
    case 'I': return {'u', 4};
    case 'L': return {'u', native ? static_cast<Py_ssize_t>(sizeof(unsigned long)) : 4};
    case 'Q': return {'u', 8};
    case 'N': return {'u', native ? static_cast<Py_ssize_t>(sizeof(std::size_t)) : 0};
    case 'e': return {'r', 2};
    case 'f': return {'r', 4};
    case 'd': return {'r', 8};
    case 'g': return {'r', native ? static_cast<Py_ssize_t>(sizeof(long double)) : 0};
    default: return {'?', 0};
  }
}

// How the buffer's element is named in a dtype-mismatch message.
const char* code_name(const char* f) {
  const bool complex = *f == 'Z';
  switch (complex ? f[1] : *f) {
    case 0: return "end";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'e': return "'half'";
    case 'f': return complex ? "'complex float'" : "'float'";
    case 'd': return complex ? "'complex double'" : "'double'";
    case 'g': return complex ? "'complex long double'" : "'long double'";
    case '?': return "'bool'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's': case 'p': return "a string";
    default: return "unparsable format string";
  }
}

// The format must name exactly one element of the wanted type: an optional native or
// little-endian mode, one type code, nothing after it.
void check_format(const char* format, element type) {
  const char* wanted_name = type == element::float64 ? "'double'" : "'int'";
  const code_info wanted = type == element::float64 ? code_info{'r', 8} : code_info{'i', 4};
  const char* f = format ? format : "B";
  bool native = true;
  if (*f == '@') {
    ++f;
  } else if (*f == '=' || *f == '<') {
    native = false;
    ++f;
  } else if (*f == '>' || *f == '!') {
    raise_value_error("Big-endian buffer not supported on little-endian compiler");
  }
  const code_info got = *f == 'Z' ? code_info{'?', 0} : describe_code(*f, native);
  if (got.group != wanted.group || got.size != wanted.size)
    raise_value_error("Buffer dtype mismatch, expected %s but got %s", wanted_name, code_name(f));
  if (f[1] != 0) raise_value_error("Buffer dtype mismatch, expected end but got %s", code_name(f + 1));
}

void check_c_contiguous(const Py_buffer& v) {
  if (v.len <= 0) return;
  for (int i = 0; i < v.ndim; ++i)
    if (v.suboffsets && v.suboffsets[i] >= 0) raise_value_error("Buffer not C contiguous.");
  if (!v.strides) return;
  Py_ssize_t stride = v.itemsize;
  for (int i = v.ndim - 1; i >= 0; --i) {
    if (v.shape[i] > 1 && v.strides[i] != stride) raise_value_error("Buffer not C contiguous.");
    stride *= v.shape[i];
  }
}

const Py_buffer& buffer_of(PyObject* view) { return as_view_object(view)->view; }

}  // namespace

void setup_buffer_view_type() {
  if (!buffer_view_type) buffer_view_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&view_spec)).release());
}

py_ref as_buffer_view(PyObject* obj, element type, int ndim) {
  if (obj == Py_None) return py_ref::borrow(Py_None);
  py_ref self = check(reinterpret_cast<PyObject*>(PyObject_New(buffer_view_object, buffer_view_type)));
  Py_buffer& v = as_view_object(self.get())->view;
  std::memset(&v, 0, sizeof v);
  check(PyObject_GetBuffer(obj, &v, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE));
  if (v.ndim != ndim) raise_value_error("Buffer has wrong number of dimensions (expected %d, got %d)", ndim, v.ndim);
  check_format(v.format, type);
  const Py_ssize_t size = type == element::float64 ? 8 : 4;
  if (v.itemsize != size)
    raise_value_error("Item size of buffer (%zd byte%s) does not match size of '%s' (%zd bytes)", v.itemsize,
                      v.itemsize > 1 ? "s" : "", type == element::float64 ? "double" : "int", size);
  check_c_contiguous(v);
  // The plain-array code reads the elements as doubles and ints in place: an exporter may hand
  // out memory at any byte offset (np.frombuffer with an offset), and reading it through
  // misaligned pointers is undefined.
  if (v.len > 0 && reinterpret_cast<std::uintptr_t>(v.buf) % size != 0)
    raise_value_error("Buffer not aligned to its %zd-byte elements.", size);
  return self;
}

template <class T>
zero_based_array<T> zero_based_array_of(PyObject* view) {
  const Py_buffer& v = buffer_of(view);
  return {static_cast<T*>(v.buf), v.shape[0]};
}

template <class T>
zero_based_matrix<T> zero_based_matrix_of(PyObject* view) {
  const Py_buffer& v = buffer_of(view);
  return {static_cast<T*>(v.buf), v.shape[0], v.shape[1]};
}

template zero_based_array<double> zero_based_array_of<double>(PyObject*);
template zero_based_array<const double> zero_based_array_of<const double>(PyObject*);
template zero_based_array<const std::int32_t> zero_based_array_of<const std::int32_t>(PyObject*);
template zero_based_matrix<double> zero_based_matrix_of<double>(PyObject*);

}  // namespace wrapper
