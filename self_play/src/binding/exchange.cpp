#include "exchange.h"

#include <cstring>

#include "board.h"
#include "game.h"
#include "host_calls.h"
#include "py_convert.h"
#include "py_list.h"

namespace tessarin::py {
namespace {

// Converts `reply[index]` into `out`; false with the host exception set.
bool read_item(PyObject* reply, long index, std::vector<float>& out) {
  Ref key = Ref::steal(PyLong_FromLong(index));
  if (!key) return false;
  Ref item = Ref::steal(PyObject_GetItem(reply, key.get()));
  return item && convert_float_sequence(item.get(), out);
}

#if defined(PYPY_VERSION)

// The functions of the Python side (python/tessarin_self_play_exchange.py), kept for the life
// of the process like the interned names.
PyObject* remote_evaluate = nullptr;
PyObject* new_packed = nullptr;
PyObject* new_cells = nullptr;

// A new array made by `make(size)` with its memory taken into `view`; null with the host
// exception set. Under PyPy every PyObject_GetBuffer keeps a little memory for good, so an
// exchange takes each array's memory once and holds it.
Ref held_array(PyObject* make, std::size_t size, BufferView& view) {
  Ref count = Ref::steal(PyLong_FromSize_t(size));
  Ref array = count ? Ref::steal(PyObject_CallOneArg(make, count.get())) : Ref();
  if (!array || !view.take(array.get(), PyBUF_WRITABLE)) return Ref();
  return array;
}

// Copies the 32-bit floats of the bytes object `bytes` into `out`; false with the host
// exception set.
bool copy_bytes(PyObject* bytes, std::vector<float>& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return false;
  out.resize(static_cast<std::size_t>(size) / sizeof(float));
  std::memcpy(out.data(), data, out.size() * sizeof(float));
  return true;
}

#else

// The position as nested lists, or null with the host exception set.
Ref build_position(std::span<const std::uint8_t> cells, const std::array<std::size_t, 3>& shape) {
  const std::uint8_t* entry = cells.data();
  return make_list(shape[0], [&](PyObject* outer) {
    for (std::size_t i = 0; i < shape[0]; ++i) {
      Ref middle = make_list(shape[1], [&](PyObject* list) {
        for (std::size_t j = 0; j < shape[1]; ++j) {
          Ref inner = make_list(shape[2], [&](PyObject* flags) {
            for (std::size_t k = 0; k < shape[2]; ++k) {
              PyObject* flag = *entry++ != 0 ? Py_True : Py_False;
              Py_INCREF(flag);
              PyList_SET_ITEM(flags, static_cast<Py_ssize_t>(k), flag);
            }
            return true;
          });
          if (!inner) return false;
          PyList_SET_ITEM(list, static_cast<Py_ssize_t>(j), inner.release());
        }
        return true;
      });
      if (!middle) return false;
      PyList_SET_ITEM(outer, static_cast<Py_ssize_t>(i), middle.release());
    }
    return true;
  });
}

#endif

}  // namespace

#if defined(PYPY_VERSION)

bool prepare_exchange() {
  if (remote_evaluate != nullptr) return true;
  Ref module = Ref::steal(PyImport_ImportModule("tessarin_self_play_exchange"));
  if (!module) return false;
  Ref evaluate = Ref::steal(PyObject_GetAttrString(module.get(), "evaluate"));
  Ref packed = evaluate ? Ref::steal(PyObject_GetAttrString(module.get(), "new_packed")) : Ref();
  Ref cells = packed ? Ref::steal(PyObject_GetAttrString(module.get(), "new_cells")) : Ref();
  if (!cells) return false;
  remote_evaluate = evaluate.release();
  new_packed = packed.release();
  new_cells = cells.release();
  return true;
}

bool Exchange::hold_packed(std::size_t capacity) {
  packed_view_.release();
  packed_ = held_array(new_packed, capacity, packed_view_);
  return static_cast<bool>(packed_);
}

bool Exchange::prepare(std::size_t cells, const std::array<std::size_t, 3>& shape) {
  if (!worker_) worker_ = Ref::steal(PyLong_FromLong(id_));
  if (!worker_) return false;
  if (!packed_ && !hold_packed(cells / kStatePlanes + kPlayers)) return false;
  if (cells_ && static_cast<std::size_t>(cells_view_.get().len) == cells && shape == shape_) {
    return true;
  }
  cells_view_.release();
  for (std::size_t i = 0; i < shape.size(); ++i) {
    shape_objects_[i] = Ref::steal(PyLong_FromSize_t(shape[i]));
    if (!shape_objects_[i]) return false;
  }
  cells_ = held_array(new_cells, cells, cells_view_);
  shape_ = shape;
  return static_cast<bool>(cells_);
}

void Exchange::copy_packed(std::size_t first, std::size_t count, std::vector<float>& out) const {
  out.resize(count);
  std::memcpy(out.data(), static_cast<const float*>(packed_view_.get().buf) + first,
              count * sizeof(float));
}

bool Exchange::convert_handed_back(PyObject* slow, std::vector<float>& policy,
                                   std::vector<float>& values) {
  PyObject* tag = PyTuple_GetItem(slow, 0);
  PyObject* first = PyTuple_GetItem(slow, 1);
  PyObject* second = PyTuple_GetItem(slow, 2);
  if (tag == nullptr || first == nullptr || second == nullptr) return false;
  switch (PyLong_AsLong(tag)) {
    case 0:
      return convert_float_sequence(second, policy) && read_item(first, 1, values);
    case 1: {
      const std::size_t size = PyLong_AsSize_t(first);
      if (size == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) return false;
      copy_packed(0, size, policy);
      return convert_float_sequence(second, values);
    }
    default:
      if (!copy_bytes(first, policy)) return false;
      if (PyBytes_Check(second) ? !copy_bytes(second, values)
                                : !convert_float_sequence(second, values)) {
        return false;
      }
      // A reply longer than the array: a larger one for the next evaluation.
      return hold_packed(policy.size() + values.size() + kPlayers);
  }
}

bool Exchange::evaluate(PyObject* queue, PyObject* pipe, std::span<const std::uint8_t> cells,
                        const std::array<std::size_t, 3>& shape, std::vector<float>& policy,
                        std::vector<float>& values) {
  if (!prepare(cells.size(), shape)) return false;
  std::memcpy(cells_view_.get().buf, cells.data(), cells.size());
  PyObject* arguments[] = {queue,
                           pipe,
                           worker_.get(),
                           cells_.get(),
                           shape_objects_[0].get(),
                           shape_objects_[1].get(),
                           shape_objects_[2].get(),
                           packed_.get()};
  Ref result = Ref::steal(PyObject_Vectorcall(remote_evaluate, arguments, 8, nullptr));
  if (!result) return false;
  if (!PyLong_Check(result.get())) return convert_handed_back(result.get(), policy, values);
  const unsigned long long sizes = PyLong_AsUnsignedLongLong(result.get());
  if (sizes == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  const auto policy_size = static_cast<std::size_t>(sizes >> 32U);
  const auto value_size = static_cast<std::size_t>(sizes & 0xFFFFFFFFULL);
  const auto capacity = static_cast<std::size_t>(packed_view_.get().len) / sizeof(float);
  if (policy_size > capacity || value_size > capacity - policy_size) {
    PyErr_SetString(PyExc_SystemError, "the inference exchange packed a malformed reply");
    return false;
  }
  copy_packed(0, policy_size, policy);
  copy_packed(policy_size, value_size, values);
  return true;
}

#else

bool prepare_exchange() {
  return true;
}

bool Exchange::evaluate(PyObject* queue, PyObject* pipe, std::span<const std::uint8_t> cells,
                        const std::array<std::size_t, 3>& shape, std::vector<float>& policy,
                        std::vector<float>& values) {
  Ref position = build_position(cells, shape);
  if (!position) return false;
  Ref worker = Ref::steal(PyLong_FromLong(id_));
  if (!worker) return false;
  Ref request = Ref::steal(PyTuple_Pack(2, worker.get(), position.get()));
  if (!request || !call_put(queue, request.get())) return false;
  Ref reply = call_recv(pipe);
  return reply && read_item(reply.get(), 0, policy) && read_item(reply.get(), 1, values);
}

#endif

}  // namespace tessarin::py
