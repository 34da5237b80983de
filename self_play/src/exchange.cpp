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

// evaluate(queue, pipe, worker_id, cells, outer, middle, inner) puts the request, takes the
// reply and packs its two float sequences as 32-bit machine floats. On the usual path it returns
// bytes: the policy's length as an 8-byte integer, the policy, the values. An item that is not a
// list or tuple that array accepts is handed back for the C conversion instead, so that what is
// accepted, the errors and their order are the same on every interpreter: (0, reply, policy)
// when the policy is such an item, (1, packed policy, values) when the values are.
constexpr const char* kExchangeSource = R"(
from array import array as _array
from struct import Struct as _Struct

_FLAGS = (False,) + (True,) * 255
_HEADER = _Struct("q")
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


def _pack(item):
    kind = type(item)
    if kind is list or kind is tuple:
        try:
            return _array("f", item).tobytes()
        except Exception:
            pass
    return None


def evaluate(queue, pipe, worker_id, cells, outer, middle, inner):
    queue.put((worker_id, _position(cells, outer, middle, inner)))
    reply = pipe.recv()
    policy = reply[0]
    packed_policy = _pack(policy)
    if packed_policy is None:
        return (0, reply, policy)
    values = reply[1]
    packed_values = _pack(values)
    if packed_values is None:
        return (1, packed_policy, values)
    return _HEADER.pack(len(packed_policy) // 4) + packed_policy + packed_values
)";

// The compiled evaluate, kept for the life of the process like the interned names.
PyObject* remote_evaluate = nullptr;

// Copies the `size` bytes at `data`, 32-bit machine floats, into `out`.
void copy_floats(const char* data, std::size_t size, std::vector<float>& out) {
  out.resize(size / sizeof(float));
  std::memcpy(out.data(), data, out.size() * sizeof(float));
}

// Converts the float sequences that evaluate handed back in `slow` (a tuple, see above).
bool convert_handed_back(PyObject* slow, std::vector<float>& policy, std::vector<float>& values) {
  PyObject* tag = PyTuple_GetItem(slow, 0);
  PyObject* first = PyTuple_GetItem(slow, 1);
  PyObject* second = PyTuple_GetItem(slow, 2);
  if (tag == nullptr || first == nullptr || second == nullptr) return false;
  if (PyLong_AsLong(tag) == 0) {
    return convert_float_sequence(second, policy) && read_item(first, 1, values);
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(first, &data, &size) < 0) return false;
  copy_floats(data, static_cast<std::size_t>(size), policy);
  return convert_float_sequence(second, values);
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
  PyObject* function = PyDict_GetItemString(globals.get(), "evaluate");
  if (function == nullptr) {
    PyErr_SetString(PyExc_SystemError, "the inference exchange did not define evaluate");
    return false;
  }
  remote_evaluate = Ref::borrow(function).release();
  return true;
}

bool exchange(PyObject* queue, PyObject* pipe, std::int32_t id, std::span<const std::uint8_t> cells,
              const std::array<std::size_t, 3>& shape, std::vector<float>& policy,
              std::vector<float>& values) {
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(cells.data()),
                                                   static_cast<Py_ssize_t>(cells.size())));
  if (!bytes) return false;
  Ref worker = Ref::steal(PyLong_FromLong(id));
  Ref outer = Ref::steal(PyLong_FromSize_t(shape[0]));
  Ref middle = Ref::steal(PyLong_FromSize_t(shape[1]));
  Ref inner = Ref::steal(PyLong_FromSize_t(shape[2]));
  if (!worker || !outer || !middle || !inner) return false;
  PyObject* arguments[] = {queue,       pipe,         worker.get(), bytes.get(),
                           outer.get(), middle.get(), inner.get()};
  Ref result = Ref::steal(PyObject_Vectorcall(remote_evaluate, arguments, 7, nullptr));
  if (!result) return false;
  if (!PyBytes_Check(result.get())) return convert_handed_back(result.get(), policy, values);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(result.get(), &data, &size) < 0) return false;
  std::int64_t policy_size = 0;
  const auto total = static_cast<std::size_t>(size);
  if (total >= sizeof policy_size) std::memcpy(&policy_size, data, sizeof policy_size);
  const std::size_t policy_bytes = static_cast<std::size_t>(policy_size) * sizeof(float);
  if (total < sizeof policy_size || policy_size < 0 || total - sizeof policy_size < policy_bytes) {
    PyErr_SetString(PyExc_SystemError, "the inference exchange packed a malformed reply");
    return false;
  }
  copy_floats(data + sizeof policy_size, policy_bytes, policy);
  copy_floats(data + sizeof policy_size + policy_bytes, total - sizeof policy_size - policy_bytes,
              values);
  return true;
}

#else

bool prepare_exchange() {
  return true;
}

bool exchange(PyObject* queue, PyObject* pipe, std::int32_t id, std::span<const std::uint8_t> cells,
              const std::array<std::size_t, 3>& shape, std::vector<float>& policy,
              std::vector<float>& values) {
  Ref position = build_position(cells, shape);
  if (!position) return false;
  Ref worker = Ref::steal(PyLong_FromLong(id));
  if (!worker) return false;
  Ref request = Ref::steal(PyTuple_Pack(2, worker.get(), position.get()));
  if (!request || !call_put(queue, request.get())) return false;
  Ref reply = call_recv(pipe);
  return reply && read_item(reply.get(), 0, policy) && read_item(reply.get(), 1, values);
}

#endif

}  // namespace tessarin::py
