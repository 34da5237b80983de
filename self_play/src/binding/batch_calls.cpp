#include "batch_calls.h"

#include <array>
#include <string>
#include <utility>

#include "py_convert.h"

namespace tessarin::py {

bool CallGuard::enter(const char* method) {
  if (state_.broken) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s.%s: an earlier call failed inside the engine; make a new batch", state_.type,
                 method);
    return false;
  }
  if (!readable(state_, method)) return false;
  state_.busy = true;
  entered_ = true;
  return true;
}

bool read_dtype(const char* dtype, bool& floats) {
  const std::string kind = dtype;
  if (kind != "float32" && kind != "uint8") {
    PyErr_Format(PyExc_ValueError, "dtype must be \"float32\" or \"uint8\", not \"%s\"", dtype);
    return false;
  }
  floats = kind == "float32";
  return true;
}

bool read_seed(PyObject* seed_object, std::optional<std::uint64_t>& seed) {
  if (seed_object == Py_None) return true;
  if (PyLong_Check(seed_object) == 0) {
    PyErr_Format(PyExc_TypeError, "seed must be None or an int from 0 to 2**64 - 1, not %s",
                 Py_TYPE(seed_object)->tp_name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(seed_object);
  if (PyErr_Occurred() != nullptr) return false;
  seed = value;
  return true;
}

bool readable(const CallState& state, const char* attribute) {
  if (!state.busy) return true;
  PyErr_Format(PyExc_RuntimeError,
               "%s.%s: the batch is in use by another call (another thread's, or one this call "
               "made); one call at a time",
               state.type, attribute);
  return false;
}

bool check_pending(const CallState& state, std::size_t waiting, const char* method) {
  if (waiting != 0) return true;
  PyErr_Format(PyExc_RuntimeError,
               "%s.%s: no position waits for answers; call step() first (each step is answered "
               "once)",
               state.type, method);
  return false;
}

namespace {

std::string shape_text(const Py_buffer& view) {
  if (view.shape == nullptr) return "without a shape";
  std::string text = "[";
  for (int d = 0; d < view.ndim; ++d)
    text += (d == 0 ? "" : ", ") + std::to_string(view.shape[d]);
  return text + "]";
}

}  // namespace

bool FloatRows::take(PyObject* object, const char* name, std::size_t rows, std::size_t columns) {
  const std::string expected = std::string(name) +
                               " must be a C-contiguous float32 buffer of shape [" +
                               std::to_string(rows) + ", " + std::to_string(columns) + "]";
  if (PyObject_CheckBuffer(object) == 0) {
    // A CPU torch tensor has no buffer of its own; its __array__ gives a NumPy array over the
    // same memory. The array is kept for as long as the buffer is used. Only a missing
    // attribute means "no __array__": any other failure to look it up is the object's own.
    Ref to_array = Ref::steal(PyObject_GetAttrString(object, "__array__"));
    if (to_array) {
      array_ = Ref::steal(PyObject_CallObject(to_array.get(), nullptr));
      if (!array_) return false;
      object = array_.get();
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError) != 0) {
      PyErr_Clear();
    } else {
      return false;
    }
  }
  if (PyObject_CheckBuffer(object) == 0) {
    PyErr_Format(PyExc_TypeError, "%s, not %s", expected.c_str(), Py_TYPE(object)->tp_name);
    return false;
  }
  if (!view_.take(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
    // The exporter's refusal of a C-contiguous view (BufferError, or ValueError from NumPy)
    // becomes the ValueError of the rule, caused by it; any other failure is raised unchanged.
    if (PyErr_ExceptionMatches(PyExc_BufferError) == 0 &&
        PyErr_ExceptionMatches(PyExc_ValueError) == 0) {
      return false;
    }
    raise_from_current(PyExc_ValueError, expected + "; this one is not C-contiguous");
    return false;
  }
  const Py_buffer& view = view_.get();
  const char* given = view.format == nullptr ? "B" : view.format;
  std::string format = given;
  // Native or little-endian float: this module is built for little-endian machines only.
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
    format.erase(0, 1);
  }
  if (format != "f" || view.itemsize != 4) {
    PyErr_Format(PyExc_TypeError, "%s; this one holds items of format '%s'", expected.c_str(),
                 given);
    return false;
  }
  if (view.ndim != 2 || view.shape == nullptr || view.shape[0] != static_cast<Py_ssize_t>(rows) ||
      view.shape[1] != static_cast<Py_ssize_t>(columns)) {
    PyErr_Format(PyExc_ValueError, "%s, not %s", expected.c_str(), shape_text(view).c_str());
    return false;
  }
  return true;
}

std::span<const float> FloatRows::floats() const {
  const Py_buffer& view = view_.get();
  return {static_cast<const float*>(view.buf), static_cast<std::size_t>(view.len) / 4};
}

bool make_answer_buffers(AnswerBuffers& answers, std::size_t rows, std::size_t cells) {
  if (answers.policy) return true;
  Ref policy = new_buffer(rows * cells * sizeof(float), "f", sizeof(float));
  Ref value = new_buffer(rows * kPlayers * sizeof(float), "f", sizeof(float));
  if (!policy || !value) return false;
  const std::array<std::size_t, 2> policy_shape = {rows, cells};
  const std::array<std::size_t, 2> value_shape = {rows, kPlayers};
  set_buffer_shape(policy.get(), policy_shape);
  set_buffer_shape(value.get(), value_shape);
  answers.policy = std::move(policy);
  answers.value = std::move(value);
  return true;
}

}  // namespace tessarin::py
