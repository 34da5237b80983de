#include "self_play_batch_type.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "buffer_object.h"
#include "config_reader.h"
#include "fatal.h"
#include "game.h"
#include "self_play_batch.h"
#include "training_record.h"

namespace tessarin::py {
namespace {

struct BatchObject {
  PyObject_HEAD SelfPlayBatch* batch;
  bool floats;  // positions as float32, else uint8
  bool busy;    // a call is under way (its C++ work runs without the interpreter lock)
  bool broken;  // a call failed inside the engine; the batch's state is unknown
};

BatchObject* as_batch(PyObject* self) {
  return reinterpret_cast<BatchObject*>(self);
}

// Marks the batch busy for one call; refuses a second call from another thread meanwhile (the
// check and the mark run under the interpreter lock).
class BusyGuard {
 public:
  explicit BusyGuard(BatchObject* self) : self_(self) {}
  bool enter(const char* method) {
    if (self_->broken) {
      PyErr_Format(PyExc_RuntimeError,
                   "SelfPlayBatch.%s: an earlier call failed inside the engine; make a new batch",
                   method);
      return false;
    }
    if (self_->busy) {
      PyErr_Format(PyExc_RuntimeError,
                   "SelfPlayBatch.%s: the batch is in use by another thread; one call at a time",
                   method);
      return false;
    }
    self_->busy = true;
    entered_ = true;
    return true;
  }
  ~BusyGuard() {
    if (entered_) self_->busy = false;
  }

 private:
  BatchObject* self_;
  bool entered_ = false;
};

// Runs `work` without the interpreter lock. A C++ exception it throws becomes a host exception
// (the batch is then marked broken); returns false in that case.
template <class Work>
bool without_lock(BatchObject* self, Work&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS;
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS;
  if (!failure) return true;
  self->broken = true;
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  return false;
}

std::string shape_text(std::span<const Py_ssize_t> shape) {
  std::string text = "[";
  for (std::size_t d = 0; d < shape.size(); ++d)
    text += (d == 0 ? "" : ", ") + std::to_string(shape[d]);
  return text + "]";
}

// A C-contiguous buffer of float32 of shape [rows, columns] from `object`, or false with a
// TypeError (not a float32 buffer) or ValueError (another shape, not contiguous) that names what
// was expected. On success the caller releases `view`.
bool float_rows(PyObject* object, const char* name, std::size_t rows, std::size_t columns,
                Py_buffer& view) {
  const std::string expected = std::string(name) +
                               " must be a C-contiguous float32 buffer of shape [" +
                               std::to_string(rows) + ", " + std::to_string(columns) + "]";
  if (PyObject_CheckBuffer(object) == 0) {
    PyErr_Format(PyExc_TypeError, "%s, not %s", expected.c_str(), Py_TYPE(object)->tp_name);
    return false;
  }
  if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s; this one is not C-contiguous", expected.c_str());
    return false;
  }
  std::string format = view.format == nullptr ? "B" : view.format;
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
    format.erase(0, 1);
  }
  const std::array<Py_ssize_t, 2> wanted = {static_cast<Py_ssize_t>(rows),
                                            static_cast<Py_ssize_t>(columns)};
  if (format != "f" || view.itemsize != 4) {
    PyErr_Format(PyExc_TypeError, "%s; this one holds items of format '%s'", expected.c_str(),
                 view.format == nullptr ? "B" : view.format);
  } else if (view.ndim != 2 || view.shape == nullptr || view.shape[0] != wanted[0] ||
             view.shape[1] != wanted[1]) {
    const std::string got =
        view.shape == nullptr
            ? "without a shape"
            : shape_text({view.shape, static_cast<std::size_t>(view.ndim < 0 ? 0 : view.ndim)});
    PyErr_Format(PyExc_ValueError, "%s, not %s", expected.c_str(), got.c_str());
  } else {
    return true;
  }
  PyBuffer_Release(&view);
  return false;
}

class BufferView {
 public:
  BufferView() { std::memset(&view_, 0, sizeof(view_)); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool get(PyObject* object, const char* name, std::size_t rows, std::size_t columns) {
    held_ = float_rows(object, name, rows, columns, view_);
    return held_;
  }
  std::span<const float> floats() const {
    return {static_cast<const float*>(view_.buf), static_cast<std::size_t>(view_.len) / 4};
  }

 private:
  Py_buffer view_;
  bool held_ = false;
};

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"config", "games", "total_games", "dtype", "seed", nullptr};
  PyObject* config_object = nullptr;
  Py_ssize_t games = 0;
  Py_ssize_t total_games = 0;
  const char* dtype = "float32";
  PyObject* seed_object = Py_None;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "Onn|$sO:SelfPlayBatch",
                                  const_cast<char**>(keywords), &config_object, &games,
                                  &total_games, &dtype, &seed_object) == 0) {
    return nullptr;
  }
  if (games < 1) {
    PyErr_Format(PyExc_ValueError, "games must be at least 1, not %zd", games);
    return nullptr;
  }
  if (total_games < 1) {
    PyErr_Format(PyExc_ValueError, "total_games must be at least 1, not %zd", total_games);
    return nullptr;
  }
  const std::string kind = dtype;
  if (kind != "float32" && kind != "uint8") {
    PyErr_Format(PyExc_ValueError, "dtype must be \"float32\" or \"uint8\", not \"%s\"", dtype);
    return nullptr;
  }
  std::optional<std::uint64_t> seed;
  if (seed_object != Py_None) {
    if (PyLong_Check(seed_object) == 0) {
      PyErr_Format(PyExc_TypeError, "seed must be None or an int from 0 to 2**64 - 1, not %s",
                   Py_TYPE(seed_object)->tp_name);
      return nullptr;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(seed_object);
    if (PyErr_Occurred() != nullptr) return nullptr;
    seed = value;
  }
  // Read as the worker module reads it; its errors (AttributeError, TypeError "failed to extract
  // field Config.<name>", OverflowError) are raised unchanged.
  const std::optional<Config> config = read_config(config_object);
  if (!config) return nullptr;

  SelfPlayBatch* batch = nullptr;
  try {
    batch = new SelfPlayBatch(*config, static_cast<std::size_t>(games),
                              static_cast<std::uint64_t>(total_games), seed);
  } catch (const FatalStop& stop) {
    PyErr_SetString(PyExc_ValueError, stop.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    delete batch;
    return nullptr;
  }
  BatchObject* object = as_batch(self);
  object->batch = batch;
  object->floats = kind == "float32";
  object->busy = false;
  object->broken = false;
  return self;
}

void batch_dealloc(PyObject* self) {
  delete as_batch(self)->batch;
  Py_TYPE(self)->tp_free(self);
}

PyObject* batch_step(PyObject* self_object, PyObject* /*unused*/) {
  BatchObject* self = as_batch(self_object);
  BusyGuard guard(self);
  if (!guard.enter("step")) return nullptr;
  SelfPlayBatch& batch = *self->batch;
  const Config& config = batch.config();
  const std::size_t dim = static_cast<std::size_t>(config.dim);
  const std::size_t rows = batch.waiting() != 0 ? batch.waiting() : batch.slot_count();
  const std::size_t item = self->floats ? sizeof(float) : 1;
  // Room for every slot: how many games will wait is known only after the search.
  Ref positions = new_buffer(rows * batch.position_size() * item, self->floats ? "f" : "B", item);
  Ref slots = new_buffer(rows * sizeof(std::int64_t), "q", sizeof(std::int64_t));
  if (!positions || !slots) return nullptr;
  const std::span<std::byte> position_memory = buffer_memory(positions.get());
  const std::span<std::byte> slot_memory = buffer_memory(slots.get());
  std::size_t waiting = 0;
  const bool floats = self->floats;
  const bool done = without_lock(self, [&] {
    const std::span<const std::size_t> waiting_slots = batch.step();
    waiting = waiting_slots.size();
    const std::size_t entries = waiting * batch.position_size();
    if (floats) {
      batch.write_positions(
          std::span<float>(reinterpret_cast<float*>(position_memory.data()), entries));
    } else {
      batch.write_positions(std::span<std::uint8_t>(
          reinterpret_cast<std::uint8_t*>(position_memory.data()), entries));
    }
    auto* slot_numbers = reinterpret_cast<std::int64_t*>(slot_memory.data());
    for (std::size_t k = 0; k < waiting; ++k)
      slot_numbers[k] = static_cast<std::int64_t>(waiting_slots[k]);
  });
  if (!done) return nullptr;
  const std::array<std::size_t, 4> shape =
      config.rep == 2 ? std::array<std::size_t, 4>{waiting, dim, dim, kStatePlanes}
                      : std::array<std::size_t, 4>{waiting, kStatePlanes, dim, dim};
  set_buffer_shape(positions.get(), shape);
  const std::array<std::size_t, 1> slot_shape = {waiting};
  set_buffer_shape(slots.get(), slot_shape);
  return PyTuple_Pack(2, positions.get(), slots.get());
}

PyObject* batch_complete(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"policy_logits", "value_logits", nullptr};
  PyObject* policy_object = nullptr;
  PyObject* value_object = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO:complete", const_cast<char**>(keywords),
                                  &policy_object, &value_object) == 0) {
    return nullptr;
  }
  BatchObject* self = as_batch(self_object);
  BusyGuard guard(self);
  if (!guard.enter("complete")) return nullptr;
  SelfPlayBatch& batch = *self->batch;
  const std::size_t waiting = batch.waiting();
  if (waiting == 0) {
    PyErr_SetString(PyExc_RuntimeError,
                    "SelfPlayBatch.complete: no position waits for answers; call step() first "
                    "(each step is answered once)");
    return nullptr;
  }
  const auto cells = static_cast<std::size_t>(batch.config().dim * batch.config().dim);
  BufferView policy;
  BufferView value;
  if (!policy.get(policy_object, "policy_logits", waiting, cells)) return nullptr;
  if (!value.get(value_object, "value_logits", waiting, kPlayers)) return nullptr;
  if (!without_lock(self, [&] { batch.complete(policy.floats(), value.floats()); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* batch_take_finished(PyObject* self_object, PyObject* /*unused*/) {
  BatchObject* self = as_batch(self_object);
  BusyGuard guard(self);
  if (!guard.enter("take_finished")) return nullptr;
  std::vector<FinishedGame> finished;
  try {
    finished = self->batch->take_finished();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(finished.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < finished.size(); ++i) {
    Ref record = record_tuple(finished[i].record);
    if (!record) return nullptr;  // the records are lost with the error, as memory ran out
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record.release());
  }
  return list.release();
}

PyObject* batch_done(PyObject* self, void* /*unused*/) {
  return PyBool_FromLong(as_batch(self)->batch->done() ? 1 : 0);
}
PyObject* batch_games_finished(PyObject* self, void* /*unused*/) {
  return PyLong_FromUnsignedLongLong(as_batch(self)->batch->games_finished());
}
PyObject* batch_games_failed(PyObject* self, void* /*unused*/) {
  return PyLong_FromUnsignedLongLong(as_batch(self)->batch->games_failed());
}
PyObject* batch_pending(PyObject* self, void* /*unused*/) {
  return PyLong_FromSize_t(as_batch(self)->batch->waiting());
}
PyObject* batch_last_failure(PyObject* self, void* /*unused*/) {
  const std::optional<std::string>& failure = as_batch(self)->batch->last_failure();
  if (!failure) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(failure->data(), static_cast<Py_ssize_t>(failure->size()));
}

PyMethodDef batch_methods[] = {
    {"step", as_cfunction<batch_step>(), METH_NOARGS,
     "step()\n--\n\nAdvances every game that does not wait for an evaluation and returns "
     "(positions, slots): positions of the B waiting games, [B, 5, dim, dim] (rep 1) or "
     "[B, dim, dim, 5] (rep 2) of the chosen dtype, and their slots, int64 [B]. B is 0 once every "
     "game has finished. Called again before complete(), it returns the same positions."},
    {"complete", as_cfunction<batch_complete>(), METH_VARARGS | METH_KEYWORDS,
     "complete(policy_logits, value_logits)\n--\n\nAnswers the last step: C-contiguous float32 "
     "buffers [B, dim*dim] and [B, 4] (value logits relative to the player to move), row k for "
     "the k-th position. A refused answer changes nothing."},
    {"take_finished", as_cfunction<batch_take_finished>(), METH_NOARGS,
     "take_finished()\n--\n\nThe training records (history, policies, payoff) of the games played "
     "to their end since the last call, in the order they finished."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"done", batch_done, nullptr, "True once total_games games have finished.", nullptr},
    {"games_finished", batch_games_finished, nullptr,
     "Games finished so far, failed ones included.", nullptr},
    {"games_failed", batch_games_failed, nullptr,
     "Games abandoned (a search failed or the answers left a root without children).", nullptr},
    {"pending", batch_pending, nullptr, "Positions of the last step still waiting for answers.",
     nullptr},
    {"last_failure", batch_last_failure, nullptr,
     "Why the last abandoned game was abandoned, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A static type, filled in when the module is created: the form PyPy's C-API emulation supports
// with the buffer slots. Only the header is given here; the other fields start zeroed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject batch_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

}  // namespace

bool add_batch_types(PyObject* module) {
  if (!add_buffer_type(module)) return false;
  batch_type.tp_name = "tessarin_engine.SelfPlayBatch";
  batch_type.tp_basicsize = sizeof(BatchObject);
  batch_type.tp_flags = Py_TPFLAGS_DEFAULT;
  batch_type.tp_doc =
      "SelfPlayBatch(config, games, total_games, *, dtype=\"float32\", seed=None)\n--\n\n"
      "games training games side by side, total_games in all, each exactly the worker module's "
      "training game; config has the module's eight settings. Every step evaluates the waiting "
      "positions of all games together.";
  batch_type.tp_new = batch_new;
  batch_type.tp_dealloc = batch_dealloc;
  batch_type.tp_methods = batch_methods;
  batch_type.tp_getset = batch_getset;
  if (PyType_Ready(&batch_type) < 0) return false;
  Py_INCREF(&batch_type);
  if (PyModule_AddObject(module, "SelfPlayBatch", reinterpret_cast<PyObject*>(&batch_type)) < 0) {
    Py_DECREF(&batch_type);
    return false;
  }
  return true;
}

}  // namespace tessarin::py
