#include "py_convert.h"

#include <limits>
#include <string>

#include "host_error.h"

namespace tessarin::py {
namespace {

// PyFloat_AsDouble: through __float__, or __index__ for an object without __float__. PyPy's
// emulation lacks the __index__ fallback that CPython has had since 3.8; it is added there.
double as_double(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
#if defined(PYPY_VERSION)
  if (value == -1.0 && PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_TypeError) &&
      !PyFloat_Check(object) && PyIndex_Check(object)) {
    PyErr_Clear();
    Ref index = Ref::steal(PyNumber_Index(object));
    return index ? PyLong_AsDouble(index.get()) : -1.0;
  }
#endif
  return value;
}

bool convert_element(PyObject* element, std::vector<float>& out) {
  const double value =
      PyFloat_CheckExact(element) ? PyFloat_AS_DOUBLE(element) : as_double(element);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
  out.push_back(static_cast<float>(value));
  return true;
}

// Raises a new exception of `type` with `message`, carrying `cause` as its __cause__.
void raise_with_cause(PyObject* type, const std::string& message, Ref cause) {
  Ref error = Ref::steal(
      PyObject_CallFunction(type, "s#", message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!error) return;
  if (cause) PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(type, error.get());
}

}  // namespace

void raise_from_current(PyObject* type, const std::string& message) {
  HostError cause = HostError::fetch();
  raise_with_cause(type, message, Ref::borrow(cause.value()));
}

bool convert_int32_argument(PyObject* object, const char* name, std::int32_t& out) {
  Ref index;
  PyObject* integer = object;
  if (!PyLong_Check(object)) {
    index = Ref::steal(PyNumber_Index(object));
    if (!index) {
      if (PyErr_ExceptionMatches(PyExc_TypeError) != 0) {
        HostError error = HostError::fetch();
        raise_with_cause(PyExc_TypeError,
                         std::string("argument '") + name + "': " + str_of(error.value()),
                         Ref::steal(PyException_GetCause(error.value())));
      }
      return false;
    }
    integer = index.get();
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) return false;
  if (overflow != 0 || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool convert_u64(PyObject* object, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  out = value;
  return true;
}

bool convert_f32(PyObject* object, float& out) {
  const double value = as_double(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
  out = static_cast<float>(value);
  return true;
}

bool convert_float_sequence(PyObject* sequence, std::vector<float>& out) {
  out.clear();
  if (PyUnicode_Check(sequence)) {
    PyErr_SetString(PyExc_TypeError, "a string cannot be converted to an array of numbers");
    return false;
  }
  if (PySequence_Check(sequence) == 0) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to a sequence of numbers",
                 Py_TYPE(sequence)->tp_name);
    return false;
  }
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
    const bool list = PyList_CheckExact(sequence);
    for (Py_ssize_t i = 0;; ++i) {
      // Read the size every time: an element's __float__ may change a list.
      const Py_ssize_t size = list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
      if (i >= size) return true;
      Ref element =
          Ref::borrow(list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i));
      if (!convert_element(element.get(), out)) return false;
    }
  }
  Ref iterator = Ref::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!convert_element(element.get(), out)) return false;
  }
  return PyErr_Occurred() == nullptr;
}

}  // namespace tessarin::py
