// tessarin_engine.Buffer: one block of memory with a shape and an item format, handed to the host
// through the buffer protocol (numpy.asarray, torch.from_numpy(numpy.asarray(...)), memoryview).
// The batched drivers write all positions of a step into one, so no host object is made per
// position or per cell.
#pragma once

#include <cstddef>
#include <span>

#include "py_ref.h"

namespace tessarin::py {

// Readies the type and adds it to `module` as "Buffer"; false with the host exception set.
bool add_buffer_type(PyObject* module);

// A new buffer of `capacity` bytes, zeroed, that exports `format` ("f", "B", "i" or "q") items of
// `itemsize` bytes. Its shape is set with set_buffer_shape before it is handed out. Null with the
// host exception set on failure.
Ref new_buffer(std::size_t capacity, const char* format, std::size_t itemsize);
// The buffer's memory (its whole capacity).
std::span<std::byte> buffer_memory(PyObject* buffer);
// Sets the exported shape (C order, at most 4 dimensions); its bytes must fit the capacity.
void set_buffer_shape(PyObject* buffer, std::span<const std::size_t> shape);

}  // namespace tessarin::py
