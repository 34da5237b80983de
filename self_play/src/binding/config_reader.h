// Reading the run configuration from the caller's object.
#pragma once

#include <optional>

#include "config.h"
#include "py_ref.h"

namespace tessarin::py {

// Reads dim, rep, sims_per_move, sample_moves, c_base, c_init, dirichlet_alpha and
// exploration_fraction, in that order, by ordinary attribute reads. The first failure ends the
// reading: an attribute read's own error unchanged, a conversion error as a TypeError "failed to
// extract field Config.<name>" caused by it. Returns nullopt with the host exception set.
std::optional<Config> read_config(PyObject* object);

}  // namespace tessarin::py
