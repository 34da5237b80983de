#include "buffer_object.h"

#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "fatal.h"
#include "py_held.h"

namespace tessarin::py {
namespace {

constexpr int kMaxDims = 4;

struct FreeMemory {
  void operator()(std::byte* data) const { std::free(data); }
};

// The memory and what the buffer protocol exports of it: a C-order shape over `format` items.
struct BufferMemory {
  std::unique_ptr<std::byte, FreeMemory> data;
  std::size_t capacity;
  const char* format;
  Py_ssize_t itemsize;
  int ndim;
  std::array<Py_ssize_t, kMaxDims> shape;
  std::array<Py_ssize_t, kMaxDims> strides;
};

BufferMemory* as_buffer(PyObject* object) {
  return &held<BufferMemory>(object);
}

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
  BufferMemory* buffer = as_buffer(self);
  // The memory is C-contiguous; a Fortran-contiguous view exists only for one dimension.
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && buffer->ndim > 1) {
    PyErr_SetString(PyExc_BufferError, "tessarin_engine.Buffer is C-contiguous, not Fortran");
    view->obj = nullptr;
    return -1;
  }
  Py_ssize_t length = buffer->itemsize;
  for (int d = 0; d < buffer->ndim; ++d)
    length *= buffer->shape[d];
  view->buf = buffer->data.get();
  Py_INCREF(self);
  view->obj = self;
  view->len = length;
  view->readonly = 0;
  view->itemsize = buffer->itemsize;
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(buffer->format) : nullptr;
  // C-contiguous: a consumer that asks for no shape gets the plain bytes, as one dimension.
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = shaped ? buffer->ndim : 1;
  view->shape = shaped ? buffer->shape.data() : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? buffer->strides.data() : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyObject* buffer_repr(PyObject* self) {
  const BufferMemory* buffer = as_buffer(self);
  std::string shape;
  for (int d = 0; d < buffer->ndim; ++d)
    shape += (d == 0 ? "" : ", ") + std::to_string(buffer->shape[d]);
  const std::string text =
      std::string("tessarin_engine.Buffer(shape=[") + shape + "], format='" + buffer->format + "')";
  return PyUnicode_FromString(text.c_str());
}

PyBufferProcs buffer_procs = {buffer_get, nullptr};

// A static type, filled in when the module is created: the form PyPy's C-API emulation supports
// with the buffer slots. Only the header is given here; the other fields start zeroed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject buffer_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

}  // namespace

bool add_buffer_type(PyObject* module) {
  buffer_type.tp_name = "tessarin_engine.Buffer";
  buffer_type.tp_basicsize = sizeof(Held<BufferMemory>);
  buffer_type.tp_flags = Py_TPFLAGS_DEFAULT;
  buffer_type.tp_doc =
      "Memory written by the engine, read through the buffer protocol (numpy.asarray, "
      "memoryview). Made by the batched drivers only.";
  buffer_type.tp_dealloc = dealloc_held<BufferMemory>;
  buffer_type.tp_repr = buffer_repr;
  buffer_type.tp_as_buffer = &buffer_procs;
  if (PyType_Ready(&buffer_type) < 0) return false;
  Py_INCREF(&buffer_type);
  if (PyModule_AddObject(module, "Buffer", reinterpret_cast<PyObject*>(&buffer_type)) < 0) {
    Py_DECREF(&buffer_type);
    return false;
  }
  return true;
}

Ref new_buffer(std::size_t capacity, const char* format, std::size_t itemsize) {
  // calloc: the memory is zeroed, and a capacity of 0 still gives a valid pointer to free.
  std::unique_ptr<std::byte, FreeMemory> data(
      static_cast<std::byte*>(std::calloc(capacity == 0 ? 1 : capacity, 1)));
  if (!data) {
    PyErr_NoMemory();
    return Ref();
  }
  const auto size = static_cast<Py_ssize_t>(itemsize);
  return Ref::steal(new_held(
      &buffer_type,
      BufferMemory{std::move(data), capacity, format, size, 1, {0, 0, 0, 0}, {size, 0, 0, 0}}));
}

std::span<std::byte> buffer_memory(PyObject* buffer) {
  return {as_buffer(buffer)->data.get(), as_buffer(buffer)->capacity};
}

void set_buffer_shape(PyObject* object, std::span<const std::size_t> shape) {
  BufferMemory* buffer = as_buffer(object);
  if (shape.empty() || shape.size() > kMaxDims) fatal("A buffer has 1 to 4 dimensions");
  std::size_t bytes = static_cast<std::size_t>(buffer->itemsize);
  for (std::size_t extent : shape)
    bytes *= extent;
  if (bytes > buffer->capacity) fatal("A buffer's shape exceeds its memory");
  buffer->ndim = static_cast<int>(shape.size());
  Py_ssize_t stride = buffer->itemsize;
  for (int d = buffer->ndim - 1; d >= 0; --d) {
    buffer->shape[d] = static_cast<Py_ssize_t>(shape[static_cast<std::size_t>(d)]);
    buffer->strides[d] = stride;
    stride *= buffer->shape[d];
  }
}

}  // namespace tessarin::py
