// One rule for how a failure becomes a Python exception, the same in both modules:
//
//   the host's invalid arguments (types, ranges, shapes, a board side or tile the engine refuses,
//     settings a batch refuses when it is made)        -> TypeError / ValueError (OverflowError
//                                                         for an int out of range), raised
//                                                         before anything changes
//   misuse of a batch's protocol (complete() with nothing waiting, a busy or broken batch)
//                                                      -> RuntimeError (batch_calls.h)
//   a broken invariant inside the engine during a call (FatalStop, or any other C++ exception)
//                                                      -> the module's stop exception
//   an allocation failure                              -> MemoryError
//   an exception of the host's own (a host call that raised, an interrupt, a failed __array__)
//                                                      -> unchanged
//
// The stop exceptions: tessarin_self_play's WorkerStop derives directly from BaseException (its
// fixed interface: `except Exception` in a host must not swallow it), is not a module attribute,
// and its message is also written to sys.stderr; the worker also stops with it on settings it
// reads from the configuration object. tessarin_engine.EngineStop derives from RuntimeError, so
// that a host's handler of a batch's RuntimeError also sees it; the batch that raised it is
// broken, and every later call on it raises RuntimeError.
#pragma once

#include <exception>
#include <string>

#include "fatal.h"
#include "py_ref.h"

namespace tessarin::py {

// Raises this module's stop exception with `message`, replacing any pending exception. Each module
// defines it: worker_stop.cpp (tessarin_self_play), engine_stop.cpp (tessarin_engine).
void raise_stop(const std::string& message);

// Sets the Python exception the rule gives the C++ exception `failure`: the host's own exception
// for a HostInterrupt, MemoryError for std::bad_alloc, the stop for anything else.
void set_error_from(const std::exception_ptr& failure);

// Runs `body` (which returns a new reference, or null with the host exception set) with every C++
// exception turned into a Python exception by set_error_from: no C++ exception may cross into
// the interpreter, where it would end the process.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (...) {
    set_error_from(std::current_exception());
    return nullptr;
  }
}

// Runs `call`, whose FatalStop can only be the engine refusing the host's argument: it becomes a
// ValueError with the engine's text (std::bad_alloc a MemoryError). False with the exception set.
template <class Call>
bool argument_accepted(Call&& call) {
  try {
    call();
    return true;
  } catch (const FatalStop& refusal) {
    PyErr_SetString(PyExc_ValueError, refusal.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return false;
}

}  // namespace tessarin::py
