#include "exchange.h"

#include <cstring>

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
// the reply and packs its two float sequences into `packed`, an array of 32-bit floats. On the
// usual path it returns the policy's length (the values follow it in `packed`). An item that is
// not a list or tuple that array accepts is handed back for the C conversion instead, so that
// what is accepted, the errors and their order are the same on every interpreter: (0, reply,
// policy) when the policy is such an item, (1, None, values) when the values are (the policy is
// then all of `packed`).
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


def _extend(packed, item):
    kind = type(item)
    if kind is list or kind is tuple:
        try:
            packed.extend(array("f", item))
            return True
        except Exception:
            pass
    return False


def evaluate(queue, pipe, worker_id, cells, outer, middle, inner, packed):
    queue.put((worker_id, _position(cells, outer, middle, inner)))
    reply = pipe.recv()
    del packed[:]
    policy = reply[0]
    if not _extend(packed, policy):
        return (0, reply, policy)
    size = len(packed)
    values = reply[1]
    if not _extend(packed, values):
        return (1, None, values)
    return size


def new_packed():
    return array("f")
)";

// The compiled evaluate and new_packed, kept for the life of the process like interned names.
PyObject* remote_evaluate = nullptr;
PyObject* new_packed = nullptr;

// Copies the floats of `packed`, an array of 32-bit floats, from `first` on into `out` (all of
// them from `first` on when `count` is negative); false with the host exception set.
bool copy_packed(PyObject* packed, Py_ssize_t first, Py_ssize_t count, std::vector<float>& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(packed, &view, PyBUF_SIMPLE) < 0) return false;
  const auto total = static_cast<Py_ssize_t>(static_cast<std::size_t>(view.len) / sizeof(float));
  const bool fits = first >= 0 && first <= total && (count < 0 || count <= total - first);
  if (fits) {
    out.resize(static_cast<std::size_t>(count < 0 ? total - first : count));
    std::memcpy(out.data(), static_cast<const float*>(view.buf) + first,
                out.size() * sizeof(float));
  } else {
    PyErr_SetString(PyExc_SystemError, "the inference exchange packed a malformed reply");
  }
  PyBuffer_Release(&view);
  return fits;
}

// Converts the float sequences that evaluate handed back in `slow` (a tuple, see above).
bool convert_handed_back(PyObject* slow, PyObject* packed, std::vector<float>& policy,
                         std::vector<float>& values) {
  PyObject* tag = PyTuple_GetItem(slow, 0);
  PyObject* first = PyTuple_GetItem(slow, 1);
  PyObject* second = PyTuple_GetItem(slow, 2);
  if (tag == nullptr || first == nullptr || second == nullptr) return false;
  if (PyLong_AsLong(tag) == 0) {
    return convert_float_sequence(second, policy) && read_item(first, 1, values);
  }
  return copy_packed(packed, 0, -1, policy) && convert_float_sequence(second, values);
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
  if (evaluate == nullptr || packed == nullptr) {
    PyErr_SetString(PyExc_SystemError, "the inference exchange did not define its functions");
    return false;
  }
  remote_evaluate = Ref::borrow(evaluate).release();
  new_packed = Ref::borrow(packed).release();
  return true;
}

bool Exchange::evaluate(PyObject* queue, PyObject* pipe, std::span<const std::uint8_t> cells,
                        const std::array<std::size_t, 3>& shape, std::vector<float>& policy,
                        std::vector<float>& values) {
  if (!worker_) worker_ = Ref::steal(PyLong_FromLong(id_));
  if (!packed_) packed_ = Ref::steal(PyObject_CallNoArgs(new_packed));
  if (!worker_ || !packed_) return false;
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(cells.data()),
                                                   static_cast<Py_ssize_t>(cells.size())));
  Ref outer = Ref::steal(PyLong_FromSize_t(shape[0]));
  Ref middle = Ref::steal(PyLong_FromSize_t(shape[1]));
  Ref inner = Ref::steal(PyLong_FromSize_t(shape[2]));
  if (!bytes || !outer || !middle || !inner) return false;
  PyObject* arguments[] = {queue,       pipe,         worker_.get(), bytes.get(),
                           outer.get(), middle.get(), inner.get(),   packed_.get()};
  Ref result = Ref::steal(PyObject_Vectorcall(remote_evaluate, arguments, 8, nullptr));
  if (!result) return false;
  if (!PyLong_Check(result.get())) {
    return convert_handed_back(result.get(), packed_.get(), policy, values);
  }
  const Py_ssize_t policy_size = PyLong_AsSsize_t(result.get());
  if (policy_size < 0 && PyErr_Occurred() != nullptr) return false;
  return copy_packed(packed_.get(), 0, policy_size, policy) &&
         copy_packed(packed_.get(), policy_size, -1, values);
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
