// Conversions between host objects and the engine's numbers. Each returns false with the host
// exception set when the object does not convert.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "py_ref.h"

namespace tessarin::py {

// A signed 32-bit integer: an int directly, any other object through __index__ (so a float is
// refused). A TypeError is replaced by one whose message starts with "argument '<name>': " and
// that keeps the original cause; an int outside 32 bits raises OverflowError "out of range
// integral type conversion attempted".
bool convert_int32_argument(PyObject* object, const char* name, std::int32_t& out);

// An unsigned 64-bit integer through __index__ (OverflowError for a negative or too large int,
// TypeError for a float or a string).
bool convert_u64(PyObject* object, std::uint64_t& out);

// A double through __float__ (or __index__), rounded to the nearest 32-bit float.
bool convert_f32(PyObject* object, float& out);

// A sequence other than a string, each element converted with convert_f32, into `out`.
bool convert_float_sequence(PyObject* sequence, std::vector<float>& out);

// Raises `type` with `message`, its cause being the current exception (which must be set).
void raise_from_current(PyObject* type, const std::string& message);

}  // namespace tessarin::py
