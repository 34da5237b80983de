// Building host lists from C++ data.
#pragma once

#include <cstddef>

#include "py_ref.h"

namespace tessarin::py {

// A new list of `size` entries, each slot set by `fill(list)` with PyList_SET_ITEM; null with
// the host exception set when the list cannot be created or `fill` returns false (a list whose
// slots are still empty is released safely).
template <class Fill>
Ref make_list(std::size_t size, Fill&& fill) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (list && !fill(list.get())) return Ref();
  return list;
}

}  // namespace tessarin::py
