// tessarin_engine's stop exception, EngineStop (errors.h says when it is raised).
#pragma once

#include "py_ref.h"

namespace tessarin::py {

// Makes EngineStop, a subclass of RuntimeError, and adds it to `module`; false with the host
// exception set. raise_stop raises it from then on.
bool add_engine_stop(PyObject* module);

}  // namespace tessarin::py
