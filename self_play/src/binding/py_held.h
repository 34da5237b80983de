// A Python object that holds one C++ value: the one way this module's types own C++ data. The
// value is moved in once, right after the type allocates the object, and destroyed in the type's
// tp_dealloc; nothing else constructs or destroys it, and every owned part of it is a value or a
// std::unique_ptr.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "py_ref.h"

namespace tessarin::py {

template <class T>
struct Held {
  PyObject_HEAD T value;
};

// The value held by `self`, an object of a type made for Held<T>.
template <class T>
T& held(PyObject* self) {
  return reinterpret_cast<Held<T>*>(self)->value;
}

// A new object of `type` (made for Held<T>) holding `value`; null with the host exception set.
template <class T>
PyObject* new_held(PyTypeObject* type, T value) {
  static_assert(std::is_nothrow_move_constructible_v<T>, "moving the value in cannot fail");
  PyObject* self = type->tp_alloc(type, 0);
  if (self != nullptr) new (&held<T>(self)) T(std::move(value));
  return self;
}

// tp_dealloc of a type made for Held<T>: destroys the value and frees the object (and releases
// the object's reference to its type when the type is a heap type).
template <class T>
void dealloc_held(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  held<T>(self).~T();
  type->tp_free(self);
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0) Py_DECREF(type);
}

}  // namespace tessarin::py
