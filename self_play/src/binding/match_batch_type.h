// tessarin_engine.MatchBatch: batched arena matches (networks by index, engine players) for the
// host.
#pragma once

#include "py_ref.h"

namespace tessarin::py {

// Readies the type and adds it to `module` as "MatchBatch"; false with the host exception set.
bool add_match_type(PyObject* module);

}  // namespace tessarin::py
