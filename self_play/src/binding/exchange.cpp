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

// evaluate(queue, pipe, worker_id, cells, outer, middle, inner, packed) puts the request, takes
// the reply and writes its two float sequences, as 32-bit floats, into `packed`: an array that
// the exchange made once with a fixed size and whose memory it holds, so the array is written
// by slice assignment of equal length and never resized. On the usual path it returns the
// policy's length times 2**32 plus the values' length (the values follow the policy in
// `packed`). An item that is not a list or tuple that array accepts is handed back for the C
// conversion instead, so that what is accepted, the errors and their order are the same on
// every interpreter: (0, reply, policy) when the policy is such an item, (1, policy length,
// values) when the values are. A reply longer than `packed` comes back as (2, policy bytes,
// values bytes or the values item).
constexpr const char* kExchangeSource = R"(
from array import array

_FLAGS = (False,) + (True,) * 255
_ROW_SLICES = {}


def _row_slices(outer, middle, inner):
    key = (outer, middle, inner)
    slices = _ROW_SLICES.get(key)
    if slices is None:
        cells = outer * middle * inner
        slices = _ROW_SLICES[key] = [slice(k, k + inner) for k in range(0, cells, inner)]
    return slices


def _position(cells, outer, middle, inner):
    flags = list(map(_FLAGS.__getitem__, cells))
    rows = list(map(flags.__getitem__, _row_slices(outer, middle, inner)))
    return [rows[i:i + middle] for i in range(0, outer * middle, middle)]


def _floats(item):
    kind = type(item)
    if kind is list or kind is tuple:
        try:
            return array("f", item)
        except Exception:
            pass
    return None


def evaluate(queue, pipe, worker_id, cells, outer, middle, inner, packed):
    queue.put((worker_id, _position(cells, outer, middle, inner)))
    reply = pipe.recv()
    policy = reply[0]
    policy_floats = _floats(policy)
    if policy_floats is None:
        return (0, reply, policy)
    size = len(policy_floats)
    values = reply[1]
    value_floats = _floats(values)
    if value_floats is None:
        if size <= len(packed):
            packed[0:size] = policy_floats
            return (1, size, values)
        return (2, policy_floats.tobytes(), values)
    end = size + len(value_floats)
    if end > len(packed):
        return (2, policy_floats.tobytes(), value_floats.tobytes())
    packed[0:size] = policy_floats
    packed[size:end] = value_floats
    return (size << 32) | len(value_floats)


def new_packed(size):
    return array("f", bytes(4 * size))


def new_cells(size):
    return array("B", bytes(size))
)";

// The compiled functions, kept for the life of the process like the interned names.
PyObject* remote_evaluate = nullptr;
PyObject* new_packed = nullptr;
PyObject* new_cells = nullptr;

// A new array made by `make(size)` with its memory taken into `view`; null with the host
// exception set. Under PyPy every PyObject_GetBuffer keeps a little memory for good, so an
// exchange takes each array's memory once and holds it.
Ref held_array(PyObject* make, std::size_t size, Py_buffer& view) {
  Ref count = Ref::steal(PyLong_FromSize_t(size));
  Ref array = count ? Ref::steal(PyObject_CallOneArg(make, count.get())) : Ref();
  if (!array || PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE) < 0) return Ref();
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
  Ref globals = Ref::steal(PyDict_New());
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
    return false;
  }
  Ref done = Ref::steal(PyRun_String(kExchangeSource, Py_file_input, globals.get(), globals.get()));
  if (!done) return false;
  PyObject* evaluate = PyDict_GetItemString(globals.get(), "evaluate");
  PyObject* packed = PyDict_GetItemString(globals.get(), "new_packed");
  PyObject* cells = PyDict_GetItemString(globals.get(), "new_cells");
  if (evaluate == nullptr || packed == nullptr || cells == nullptr) {
    PyErr_SetString(PyExc_SystemError, "the inference exchange did not define its functions");
    return false;
  }
  remote_evaluate = Ref::borrow(evaluate).release();
  new_packed = Ref::borrow(packed).release();
  new_cells = Ref::borrow(cells).release();
  return true;
}

Exchange::~Exchange() {
  if (packed_) PyBuffer_Release(&packed_view_);
  if (cells_) PyBuffer_Release(&cells_view_);
}

bool Exchange::hold_packed(std::size_t capacity) {
  if (packed_) {
    PyBuffer_Release(&packed_view_);
    packed_ = Ref();
  }
  packed_ = held_array(new_packed, capacity, packed_view_);
  return static_cast<bool>(packed_);
}

bool Exchange::prepare(std::size_t cells, const std::array<std::size_t, 3>& shape) {
  if (!worker_) worker_ = Ref::steal(PyLong_FromLong(id_));
  if (!worker_) return false;
  if (!packed_ && !hold_packed(cells / kStatePlanes + kPlayers)) return false;
  if (cells_ && static_cast<std::size_t>(cells_view_.len) == cells && shape == shape_) return true;
  if (cells_) {
    PyBuffer_Release(&cells_view_);
    cells_ = Ref();
  }
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
  std::memcpy(out.data(), static_cast<const float*>(packed_view_.buf) + first,
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
  std::memcpy(cells_view_.buf, cells.data(), cells.size());
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
  const auto capacity = static_cast<std::size_t>(packed_view_.len) / sizeof(float);
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
