// What the two batched Python types (SelfPlayBatch, MatchBatch) share, written once: their objects
// (a BatchHold held by value, py_held.h), how one is made, the methods and properties both offer,
// and the type itself. Each type adds its constructor, its take_finished() and the
// documentation of those and of step().
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "batch_calls.h"
#include "errors.h"
#include "py_held.h"
#include "py_ref.h"

namespace tessarin::py {

template <class Batch>
BatchHold<Batch>& hold_of(PyObject* self) {
  return held<BatchHold<Batch>>(self);
}

// A new object of `type` holding the batch that `make()` returns; `name` is the type's name for
// messages. A FatalStop from `make` is a setting the batch refuses: ValueError with its text.
template <class Batch, class Make>
PyObject* new_batch_object(PyTypeObject* type, const char* name, bool floats, Make&& make) {
  std::unique_ptr<Batch> batch;
  if (!argument_accepted([&] { batch = make(); })) return nullptr;
  return new_held(type, BatchHold<Batch>{std::move(batch), CallState{name, floats}, {}});
}

// The methods and properties both types offer, over objects holding a BatchHold<Batch>.
template <class Batch>
struct BatchMethods {
  static PyObject* step(PyObject* self, PyObject* /*unused*/) {
    return step_call(hold_of<Batch>(self));
  }
  static PyObject* complete(PyObject* self, PyObject* args, PyObject* kwargs) {
    return complete_call(hold_of<Batch>(self), args, kwargs);
  }
  static PyObject* answers(PyObject* self, PyObject* /*unused*/) {
    return answers_call(hold_of<Batch>(self));
  }
  static PyObject* complete_from_answers(PyObject* self, PyObject* /*unused*/) {
    return complete_from_answers_call(hold_of<Batch>(self));
  }
  static PyObject* take_failed(PyObject* self, PyObject* /*unused*/) {
    return take_failed_call(hold_of<Batch>(self));
  }

  static PyObject* done(PyObject* self, void* /*unused*/) {
    const Batch* batch = readable_batch(self, "done");
    return batch == nullptr ? nullptr : PyBool_FromLong(batch->done() ? 1 : 0);
  }
  static PyObject* games_finished(PyObject* self, void* /*unused*/) {
    const Batch* batch = readable_batch(self, "games_finished");
    return batch == nullptr ? nullptr : PyLong_FromUnsignedLongLong(batch->games_finished());
  }
  static PyObject* games_failed(PyObject* self, void* /*unused*/) {
    const Batch* batch = readable_batch(self, "games_failed");
    return batch == nullptr ? nullptr : PyLong_FromUnsignedLongLong(batch->games_failed());
  }
  static PyObject* pending(PyObject* self, void* /*unused*/) {
    const Batch* batch = readable_batch(self, "pending");
    return batch == nullptr ? nullptr : PyLong_FromSize_t(batch->waiting());
  }
  // Evaluations the batch's position memo answered, and those it did not hold: both 0 for a
  // batch without a memo.
  static PyObject* cache_hits(PyObject* self, void* /*unused*/) {
    const Batch* batch = readable_batch(self, "cache_hits");
    if (batch == nullptr) return nullptr;
    if constexpr (requires { batch->cache_hits(); }) {
      return PyLong_FromUnsignedLongLong(batch->cache_hits());
    }
    return PyLong_FromLong(0);
  }
  static PyObject* cache_misses(PyObject* self, void* /*unused*/) {
    const Batch* batch = readable_batch(self, "cache_misses");
    if (batch == nullptr) return nullptr;
    if constexpr (requires { batch->cache_misses(); }) {
      return PyLong_FromUnsignedLongLong(batch->cache_misses());
    }
    return PyLong_FromLong(0);
  }
  static PyObject* last_failure(PyObject* self, void* /*unused*/) {
    const Batch* batch = readable_batch(self, "last_failure");
    if (batch == nullptr) return nullptr;
    const std::optional<std::string>& failure = batch->last_failure();
    if (!failure) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(failure->data(), static_cast<Py_ssize_t>(failure->size()),
                                "replace");
  }

 private:
  // The batch, or null with RuntimeError set while a call works on it.
  static const Batch* readable_batch(PyObject* self, const char* attribute) {
    const BatchHold<Batch>& hold = hold_of<Batch>(self);
    return readable(hold.state, attribute) ? hold.batch.get() : nullptr;
  }
};

// The Python type of objects holding a BatchHold<Batch>: static, filled in when the module is
// created (the form PyPy's C-API emulation supports with the buffer slots). Only the header is
// given here; the other fields start zeroed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
template <class Batch>
inline PyTypeObject batch_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// What a batched type adds to the shared parts.
struct BatchTypeDetails {
  const char* name;  // "tessarin_engine." + name
  const char* doc;   // the type's documentation, its constructor's signature first
  newfunc make;      // tp_new
  const char* step_doc;
  PyCFunction take_finished;
  const char* take_finished_doc;
  // The type's own further methods, ending with a zeroed entry; null for none.
  const PyMethodDef* own_methods = nullptr;
};

// Readies the type of Batch from `details` and the shared parts and adds it to `module` as
// details.name; false with the host exception set. Once per process.
template <class Batch>
bool add_batch_type(PyObject* module, const BatchTypeDetails& details) {
  using Methods = BatchMethods<Batch>;
  static const std::string qualified = std::string("tessarin_engine.") + details.name;
  static PyMethodDef shared[] = {
      {"step", as_cfunction<Methods::step>(), METH_NOARGS, details.step_doc},
      {"complete", as_cfunction<Methods::complete>(), METH_VARARGS | METH_KEYWORDS,
       "complete(policy_logits, value_logits)\n--\n\nAnswers the last step: C-contiguous float32 "
       "buffers [B, dim*dim] and [B, 4] (value logits relative to the player to move), row k for "
       "the k-th position. A refused answer changes nothing."},
      {"answers", as_cfunction<Methods::answers>(), METH_NOARGS,
       "answers()\n--\n\nThe batch's own answer buffers (policy, value): C-contiguous float32 "
       "[slots, dim*dim] and [slots, 4], writable, the same objects at every call. Write row k "
       "for the k-th position of a step and call complete_from_answers(); a host that keeps "
       "views of them takes no buffer per step."},
      {"complete_from_answers", as_cfunction<Methods::complete_from_answers>(), METH_NOARGS,
       "complete_from_answers()\n--\n\nAnswers the last step from the first B rows of the "
       "answer buffers, as complete() would with those rows."},
      {"take_finished", details.take_finished, METH_NOARGS, details.take_finished_doc},
      {"take_failed", as_cfunction<Methods::take_failed>(), METH_NOARGS,
       "take_failed()\n--\n\nWhy each game abandoned since the last call was abandoned, in "
       "order."},
      {nullptr, nullptr, 0, nullptr},
  };
  static std::vector<PyMethodDef> methods = [&details] {
    std::vector<PyMethodDef> all;
    for (const PyMethodDef* m = shared; m->ml_name != nullptr; ++m)
      all.push_back(*m);
    for (const PyMethodDef* m = details.own_methods; m != nullptr && m->ml_name != nullptr; ++m)
      all.push_back(*m);
    all.push_back({nullptr, nullptr, 0, nullptr});
    return all;
  }();
  static PyGetSetDef getset[] = {
      {"done", Methods::done, nullptr, "True once every game has finished.", nullptr},
      {"games_finished", Methods::games_finished, nullptr,
       "Games finished so far, abandoned ones included.", nullptr},
      {"games_failed", Methods::games_failed, nullptr,
       "Games abandoned: a search failed, or the answers left a position without a tile to play.",
       nullptr},
      {"pending", Methods::pending, nullptr,
       "Positions of the last step still waiting for answers.", nullptr},
      {"last_failure", Methods::last_failure, nullptr,
       "Why the last abandoned game was abandoned, or None.", nullptr},
      {"cache_hits", Methods::cache_hits, nullptr,
       "Evaluations answered from the batch's position memo (0 without one).", nullptr},
      {"cache_misses", Methods::cache_misses, nullptr,
       "Positions the memo did not hold, evaluated by the host (0 without a memo).", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  PyTypeObject& type = batch_type<Batch>;
  type.tp_name = qualified.c_str();
  type.tp_basicsize = sizeof(Held<BatchHold<Batch>>);
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = details.doc;
  type.tp_new = details.make;
  type.tp_dealloc = dealloc_held<BatchHold<Batch>>;
  type.tp_methods = methods.data();
  type.tp_getset = getset;
  if (PyType_Ready(&type) < 0) return false;
  Py_INCREF(&type);
  if (PyModule_AddObject(module, details.name, reinterpret_cast<PyObject*>(&type)) < 0) {
    Py_DECREF(&type);
    return false;
  }
  return true;
}

}  // namespace tessarin::py
