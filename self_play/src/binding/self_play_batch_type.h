// tessarin_engine.SelfPlayBatch: batched self-play (many training games, one evaluation of all
// their waiting positions per step) for the host, beside the engine's Game type.
#pragma once

#include "py_ref.h"

namespace tessarin::py {

// Readies the types of the batched drivers (Buffer, SelfPlayBatch, MatchBatch) and adds them to
// `module`; false with the host exception set.
bool add_batch_types(PyObject* module);

}  // namespace tessarin::py
