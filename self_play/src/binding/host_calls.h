// The two methods the module calls on the host's objects, looked up by interned name.
#pragma once

#include "py_ref.h"

namespace tessarin::py {

// Calls `queue.put(item)`; false with the host exception set.
bool call_put(PyObject* queue, PyObject* item);

// The result of `pipe.recv()`, or null with the host exception set.
Ref call_recv(PyObject* pipe);

}  // namespace tessarin::py
