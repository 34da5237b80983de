// tessarin_self_play's stop: WorkerStop, derived directly from BaseException so that `except
// Exception` handlers of the host do not swallow it; its message is also written to sys.stderr.
#include "errors.h"
#include "host_error.h"

namespace tessarin::py {
namespace {

PyObject* stop_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tessarin_self_play.WorkerStop",
        "The worker hit a broken invariant or invalid input and abandoned its game.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

// Aborts the process if the exception cannot be made.
void raise_stop(const std::string& message) {
  PyErr_Clear();
  try {
    write_stream("stderr", message.ends_with('\n') ? message : message + "\n");
  } catch (const HostInterrupt&) {
    // The stop is raised regardless; an interrupt while reporting it is dropped.
  }
  PyErr_Clear();
  PyObject* type = stop_type();
  if (type == nullptr) Py_FatalError("cannot create the worker stop exception type");
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  Ref error = text ? Ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr)) : Ref();
  if (!error) Py_FatalError("cannot create the worker stop exception");
  PyErr_SetObject(type, error.get());
}

}  // namespace tessarin::py
