// An owning reference to a host (Python) object: the one way this module holds references, so
// that every early return and every C++ exception releases what it owns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tessarin::py {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (null allowed: the result of a failed call).
  static Ref steal(PyObject* object) { return Ref(object); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref& other) : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// `Function` as a PyCFunction for a method table: the documented way to register functions of
// the other calling conventions (METH_FASTCALL | METH_KEYWORDS, METH_VARARGS | METH_KEYWORDS).
template <auto Function>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

}  // namespace tessarin::py
