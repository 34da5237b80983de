// The inference exchange with the host: the request (id, position as nested lists of bools) put
// on a queue, and the two float sequences read from the reply.
//
// Under PyPy one call into the Python module tessarin_self_play_exchange (shipped beside this
// module, imported with it) does the whole exchange. PyPy's emulation of PyList_SET_ITEM turns a
// list into one whose storage holds C references, which only the garbage collector releases, one
// nesting level per major collection, while the collector does not count that memory: a process
// that builds tens of thousands of requests per game through the C API grows without bound.
// Reading a reply element by element through the C API gives every float a C-side copy and costs
// a call between C and Python per element; instead the Python side packs the floats into an
// array that lives as long as the exchange, whose memory is taken once per exchange (every
// PyObject_GetBuffer under PyPy keeps a little memory for good). Under CPython the C builder and
// reader are faster than the Python function. Figures: docs/performance.md, "CPython and PyPy".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "py_buffer_view.h"
#include "py_ref.h"

namespace tessarin::py {

// Prepares what every exchange uses; false with the host exception set. Called once at import.
bool prepare_exchange();

// The exchanges of one entry-function call (one worker id). Owns its scratch host objects, so
// that a call nested inside a host call has its own.
class Exchange {
 public:
  explicit Exchange(std::int32_t id) : id_(id) {}
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // One evaluation: puts (id, position) on `queue` through its `put` method, the position being
  // `cells` (one byte per entry, non-zero for True) as nested lists of shape[0] x shape[1] x
  // shape[2] entries; takes the reply from `pipe.recv()` and converts `reply[0]` into `policy`
  // and `reply[1]` into `values`, each a sequence other than a string whose elements convert to
  // float (rounded to 32 bits). False with the host exception set when a call fails or the reply
  // does not convert.
  bool evaluate(PyObject* queue, PyObject* pipe, std::span<const std::uint8_t> cells,
                const std::array<std::size_t, 3>& shape, std::vector<float>& policy,
                std::vector<float>& values);

 private:
  std::int32_t id_;
#if defined(PYPY_VERSION)
  // Makes the array of `capacity` 32-bit floats that replies are packed into and holds its
  // memory; false with the host exception set.
  bool hold_packed(std::size_t capacity);
  // Makes what the evaluations of positions of `cells` entries in `shape` pass to the Python
  // side, unless made already; false with the host exception set.
  bool prepare(std::size_t cells, const std::array<std::size_t, 3>& shape);
  // Copies `count` floats of the packed array from `first` on into `out`.
  void copy_packed(std::size_t first, std::size_t count, std::vector<float>& out) const;
  // Converts what the Python side handed back instead of packing it (see exchange.cpp).
  bool convert_handed_back(PyObject* slow, std::vector<float>& policy, std::vector<float>& values);

  // The worker id and the shape as host ints; the array of bytes the position is written into
  // and the array of floats the reply is packed into, each with its memory held. Made at the
  // first evaluation.
  Ref worker_;
  std::array<Ref, 3> shape_objects_;
  std::array<std::size_t, 3> shape_{};
  // Each array outlives the view of its memory (members end in reverse order).
  Ref cells_;
  BufferView cells_view_;
  Ref packed_;
  BufferView packed_view_;
#endif
};

}  // namespace tessarin::py
