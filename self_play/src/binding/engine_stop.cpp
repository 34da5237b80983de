#include "engine_stop.h"

#include "errors.h"

namespace tessarin::py {
namespace {

// Made once with the module; the module keeps a reference as long as the process lives.
PyObject* engine_stop = nullptr;

}  // namespace

bool add_engine_stop(PyObject* module) {
  if (engine_stop == nullptr) {
    engine_stop = PyErr_NewExceptionWithDoc(
        "tessarin_engine.EngineStop",
        "A broken invariant inside the engine during a call; a batch that raised it is broken.",
        PyExc_RuntimeError, nullptr);
    if (engine_stop == nullptr) return false;
  }
  Ref added = Ref::borrow(engine_stop);
  if (PyModule_AddObject(module, "EngineStop", added.get()) < 0) return false;
  added.release();  // the module holds it now
  return true;
}

void raise_stop(const std::string& message) {
  PyErr_Clear();
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // the decoding error stands
  PyErr_SetObject(engine_stop != nullptr ? engine_stop : PyExc_RuntimeError, text.get());
}

}  // namespace tessarin::py
