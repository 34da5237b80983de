#include "host_calls.h"

namespace tessarin::py {
namespace {

// `text` as an interned string, created on first use and kept for the process.
PyObject* interned(const char* text, PyObject*& slot) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}

}  // namespace

bool call_put(PyObject* queue, PyObject* item) {
  static PyObject* name = nullptr;
  if (interned("put", name) == nullptr) return false;
  return static_cast<bool>(Ref::steal(PyObject_CallMethodObjArgs(queue, name, item, nullptr)));
}

Ref call_recv(PyObject* pipe) {
  static PyObject* name = nullptr;
  if (interned("recv", name) == nullptr) return Ref();
  return Ref::steal(PyObject_CallMethodObjArgs(pipe, name, nullptr));
}

}  // namespace tessarin::py
