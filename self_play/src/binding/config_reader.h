// Reading the run configuration from the caller's object.
#pragma once

#include <cstdint>
#include <optional>

#include "config.h"
#include "py_ref.h"

namespace tessarin::py {

// Reads dim, rep, sims_per_move, sample_moves, c_base, c_init, dirichlet_alpha and
// exploration_fraction, in that order, by ordinary attribute reads. The first failure ends the
// reading: an attribute read's own error unchanged, a conversion error as a TypeError "failed to
// extract field Config.<name>" caused by it. Returns nullopt with the host exception set.
std::optional<Config> read_config(PyObject* object);

// The same, then the optional search settings where the object has them (in its instance
// dictionary or its class; a __getattr__ hook is not asked): `root_search` ("puct" or "gumbel";
// pUCT when absent) and `gumbel_considered` (an int of at least 1; 16 when absent). Any read error
// but AttributeError ends the reading unchanged; a value of the wrong type raises the TypeError
// above, a refused value ValueError. This is what the worker module reads: without the two
// attributes, exactly the eight settings and nothing else.
std::optional<Config> read_config_with_search(PyObject* object);

// `name` as a root search setting into `out`; false with ValueError set for any name but "puct"
// and "gumbel".
bool read_root_search(const char* name, RootSearch& out);
// `considered` as the tiles a Gumbel root samples into `out`; false with ValueError set below 1.
bool read_gumbel_considered(long long considered, std::uint64_t& out);

}  // namespace tessarin::py
