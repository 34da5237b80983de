// tessarin_engine.replay_records: the arrays of one record chunk replayed and checked on the engine
// (record_replay.h), its training samples handed back as Buffers. No host object is made per
// action.
#pragma once

#include "py_ref.h"

namespace tessarin::py {

// replay_records(dim, actions, game_lengths, policy, has_policy, payoffs, *, max_bytes=2**32)
// -> (states, values, ownership). Arguments of the wrong type or layout raise TypeError or
// ValueError; a record that breaks the rules raises ValueError naming its game and action.
PyObject* replay_records_call(PyObject* module, PyObject* args, PyObject* kwargs);

// The docstring of the function.
extern const char* const kReplayRecordsDoc;

}  // namespace tessarin::py
