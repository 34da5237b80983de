#include "host_error.h"

namespace tessarin::py {
namespace {

std::string utf8_of(Ref text, const char* placeholder) {
  if (text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
      return std::string(data, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return placeholder;
}

#if defined(PYPY_VERSION)
// Under PyPy what a fetched exception holds (its traceback's frames, the request that a failed put
// was given) is reclaimed only by major collections, one level of C-held objects at a time, and
// the collector times those by the memory it can see, which leaves out what C code holds.
// Each fetched exception is reported to it as memory pressure: without that, a stream of failing
// calls grew the process without bound. The estimate errs high on purpose: exceptions are rare
// and a collection that comes early costs little.
constexpr Py_ssize_t kExceptionPressureBytes = 256 * 1024;

void report_exception_pressure() {
  static PyObject* add_memory_pressure = nullptr;
  if (add_memory_pressure == nullptr) {
    Ref pypy = Ref::steal(PyImport_ImportModule("__pypy__"));
    add_memory_pressure =
        pypy ? PyObject_GetAttrString(pypy.get(), "add_memory_pressure") : nullptr;
    if (add_memory_pressure == nullptr) {
      PyErr_Clear();
      return;
    }
  }
  Ref done = Ref::steal(PyObject_CallFunction(add_memory_pressure, "n", kExceptionPressureBytes));
  if (!done) PyErr_Clear();
}
#endif

}  // namespace

HostError HostError::fetch() {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(PYPY_VERSION)
  Ref value = Ref::steal(PyErr_GetRaisedException());
  if (!value) return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  Ref traceback = Ref::steal(PyException_GetTraceback(value.get()));
  return HostError(std::move(type), std::move(value), std::move(traceback));
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
#if defined(PYPY_VERSION)
  report_exception_pressure();
#endif
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  return HostError(Ref::steal(type), Ref::steal(value), Ref::steal(traceback));
#endif
}

HostError HostError::make(PyObject* type, const std::string& message) {
  Ref value = Ref::steal(
      PyObject_CallFunction(type, "s#", message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!value) return fetch();
  return HostError(Ref::borrow(type), std::move(value), Ref());
}

void HostError::restore() && {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(PYPY_VERSION)
  PyErr_SetRaisedException(value_.release());
#else
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

bool HostError::is_exception() const {
  return PyErr_GivenExceptionMatches(type_.get(), PyExc_Exception) != 0;
}

std::string HostError::debug() const {
  std::string traceback = traceback_ ? repr_of(traceback_.get()) : std::string("None");
  return "HostError { type: " + repr_of(type_.get()) + ", value: " + repr_of(value_.get()) +
         ", traceback: " + traceback + " }";
}

std::string HostError::text() const {
  const auto* type = reinterpret_cast<PyTypeObject*>(type_.get());
  return std::string(type->tp_name) + ": " + str_of(value_.get());
}

HostError take_host_error() {
  HostError error = HostError::fetch();
  if (!error.is_exception()) throw HostInterrupt(std::move(error));
  return error;
}

std::string str_of(PyObject* object) {
  return utf8_of(Ref::steal(PyObject_Str(object)), "<str() failed>");
}

std::string repr_of(PyObject* object) {
  return utf8_of(Ref::steal(PyObject_Repr(object)), "<repr() failed>");
}

void write_stream(const char* stream, std::string_view text) {
  PyObject* file = PySys_GetObject(stream);  // borrowed
  if (file == nullptr || file == Py_None) return;
  Ref result = Ref::steal(
      PyObject_CallMethod(file, "write", "s#", text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!result) (void)take_host_error();
}

}  // namespace tessarin::py
