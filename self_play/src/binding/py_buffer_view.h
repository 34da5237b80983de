// A buffer taken from a host object through the buffer protocol, held until the view ends.
#pragma once

#include "py_ref.h"

namespace tessarin::py {

class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() { release(); }

  // Takes the buffer of `object` with `flags` (PyBUF_*), releasing any held before; false with the
  // host exception set (nothing held then).
  bool take(PyObject* object, int flags) {
    release();
    if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

  bool held() const { return held_; }
  // The view. Precondition: held().
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace tessarin::py
