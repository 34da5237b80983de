// What the batched drivers' Python types share: one call at a time (a second thread is refused),
// the engine's work without the interpreter lock, positions written into one Buffer, and answers
// read from float32 buffers that are checked before anything changes. Templates over the C++
// batch (SelfPlayBatch, MatchBatch), which offer the same step / write_positions / complete.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "buffer_object.h"
#include "game.h"
#include "py_ref.h"

namespace tessarin::py {

// The state every batched type keeps beside its C++ batch.
struct CallState {
  bool floats = true;   // positions as float32, else uint8
  bool busy = false;    // a call is under way (its C++ work runs without the interpreter lock)
  bool broken = false;  // a call failed inside the engine; the batch's state is unknown
};

// Marks the batch busy for one call; refuses a second call from another thread meanwhile (the
// check and the mark run under the interpreter lock).
class CallGuard {
 public:
  CallGuard(CallState& state, const char* type) : state_(state), type_(type) {}
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  ~CallGuard() {
    if (entered_) state_.busy = false;
  }
  // False with RuntimeError set when the batch is busy or broken.
  bool enter(const char* method);

 private:
  CallState& state_;
  const char* type_;
  bool entered_ = false;
};

// Reads the `dtype` argument, "float32" or "uint8", into `floats`; false with ValueError set.
bool read_dtype(const char* dtype, bool& floats);

// Reads the `seed` argument, None or an int from 0 to 2**64 - 1; false with the host exception
// set.
bool read_seed(PyObject* seed_object, std::optional<std::uint64_t>& seed);

// True when the batch's state may be read; false with RuntimeError set while another thread's
// call works on it without the interpreter lock.
bool readable(const CallState& state, const char* type, const char* attribute);

// The read-only properties both batched types offer, for a host object type `Object` with the
// C++ batch in `batch`, its CallState in `state` and its type's name in `kTypeName`.
template <class Object>
struct BatchProperties {
  static PyObject* done(PyObject* self, void* /*unused*/) {
    const Object& object = of(self);
    if (!readable(object.state, Object::kTypeName, "done")) return nullptr;
    return PyBool_FromLong(object.batch->done() ? 1 : 0);
  }
  static PyObject* games_finished(PyObject* self, void* /*unused*/) {
    const Object& object = of(self);
    if (!readable(object.state, Object::kTypeName, "games_finished")) return nullptr;
    return PyLong_FromUnsignedLongLong(object.batch->games_finished());
  }
  static PyObject* games_failed(PyObject* self, void* /*unused*/) {
    const Object& object = of(self);
    if (!readable(object.state, Object::kTypeName, "games_failed")) return nullptr;
    return PyLong_FromUnsignedLongLong(object.batch->games_failed());
  }
  static PyObject* pending(PyObject* self, void* /*unused*/) {
    const Object& object = of(self);
    if (!readable(object.state, Object::kTypeName, "pending")) return nullptr;
    return PyLong_FromSize_t(object.batch->waiting());
  }
  static PyObject* last_failure(PyObject* self, void* /*unused*/) {
    const Object& object = of(self);
    if (!readable(object.state, Object::kTypeName, "last_failure")) return nullptr;
    const auto& failure = object.batch->last_failure();
    if (!failure) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(failure->data(), static_cast<Py_ssize_t>(failure->size()));
  }

 private:
  static const Object& of(PyObject* self) { return *reinterpret_cast<const Object*>(self); }
};

// Sets the host exception for a C++ exception that escaped the engine's work.
void set_error_from(const std::exception_ptr& failure);

// Runs `work` without the interpreter lock. A C++ exception it throws becomes a host exception
// and marks the batch broken; returns false in that case.
template <class Work>
bool without_lock(CallState& state, Work&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS;
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS;
  if (!failure) return true;
  state.broken = true;
  set_error_from(failure);
  return false;
}

// A C-contiguous float32 buffer of shape [rows, columns] taken from a host object (through its
// __array__ when it has no buffer, as a CPU torch tensor), or a TypeError (not a float32 buffer)
// or ValueError (another shape, not contiguous) naming what was expected.
class FloatRows {
 public:
  FloatRows();
  FloatRows(const FloatRows&) = delete;
  FloatRows& operator=(const FloatRows&) = delete;
  ~FloatRows();
  // False with the host exception set.
  bool take(PyObject* object, const char* name, std::size_t rows, std::size_t columns);
  std::span<const float> floats() const;

 private:
  Ref array_;  // what __array__ gave, if it was used
  Py_buffer view_;
  bool held_ = false;
};

// step(): advances the batch without the lock and returns (positions, slots), plus the network
// index of every row for a batch that has networks (MatchBatch). Only the buffers handed out are
// made.
template <class Batch>
PyObject* step_call(Batch& batch, CallState& state, const char* type) {
  constexpr bool kWithNetworks = requires(const Batch& b) {
    b.networks();
  };
  CallGuard guard(state, type);
  if (!guard.enter("step")) return nullptr;
  const std::size_t dim = static_cast<std::size_t>(batch.config().dim);
  const std::size_t rows = batch.waiting() != 0 ? batch.waiting() : batch.slot_count();
  const std::size_t item = state.floats ? sizeof(float) : 1;
  // Room for every slot: how many games will wait is known only after the search.
  Ref positions = new_buffer(rows * batch.position_size() * item, state.floats ? "f" : "B", item);
  Ref slots = new_buffer(rows * sizeof(std::int64_t), "q", sizeof(std::int64_t));
  Ref networks;
  if constexpr (kWithNetworks) {
    networks = new_buffer(rows * sizeof(std::int64_t), "q", sizeof(std::int64_t));
    if (!networks) return nullptr;
  }
  if (!positions || !slots) return nullptr;
  const std::span<std::byte> position_memory = buffer_memory(positions.get());
  auto* slot_numbers = reinterpret_cast<std::int64_t*>(buffer_memory(slots.get()).data());
  std::size_t waiting = 0;
  const bool floats = state.floats;
  const bool done = without_lock(state, [&] {
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
    for (std::size_t k = 0; k < waiting; ++k)
      slot_numbers[k] = static_cast<std::int64_t>(waiting_slots[k]);
    if constexpr (kWithNetworks) {
      auto* network_numbers = reinterpret_cast<std::int64_t*>(buffer_memory(networks.get()).data());
      for (std::size_t k = 0; k < waiting; ++k)
        network_numbers[k] = static_cast<std::int64_t>(batch.networks()[k]);
    }
  });
  if (!done) return nullptr;
  const std::array<std::size_t, 4> shape =
      batch.config().rep == 2 ? std::array<std::size_t, 4>{waiting, dim, dim, kStatePlanes}
                              : std::array<std::size_t, 4>{waiting, kStatePlanes, dim, dim};
  set_buffer_shape(positions.get(), shape);
  const std::array<std::size_t, 1> row_shape = {waiting};
  set_buffer_shape(slots.get(), row_shape);
  if constexpr (kWithNetworks) {
    set_buffer_shape(networks.get(), row_shape);
    return PyTuple_Pack(3, positions.get(), slots.get(), networks.get());
  } else {
    return PyTuple_Pack(2, positions.get(), slots.get());
  }
}

// complete(policy_logits, value_logits): checks both buffers against the pending step, then
// answers every waiting game without the lock.
template <class Batch>
PyObject* complete_call(Batch& batch, CallState& state, const char* type, PyObject* args,
                        PyObject* kwargs) {
  static const char* keywords[] = {"policy_logits", "value_logits", nullptr};
  PyObject* policy_object = nullptr;
  PyObject* value_object = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO:complete", const_cast<char**>(keywords),
                                  &policy_object, &value_object) == 0) {
    return nullptr;
  }
  CallGuard guard(state, type);
  if (!guard.enter("complete")) return nullptr;
  const std::size_t waiting = batch.waiting();
  if (waiting == 0) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s.complete: no position waits for answers; call step() first (each step is "
                 "answered once)",
                 type);
    return nullptr;
  }
  const auto cells = static_cast<std::size_t>(batch.config().dim * batch.config().dim);
  FloatRows policy;
  FloatRows value;
  if (!policy.take(policy_object, "policy_logits", waiting, cells)) return nullptr;
  if (!value.take(value_object, "value_logits", waiting, kPlayers)) return nullptr;
  if (!without_lock(state, [&] { batch.complete(policy.floats(), value.floats()); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// take_failed(): the reasons of the games abandoned since the last call, as a list of str.
template <class Batch>
PyObject* take_failed_call(Batch& batch, CallState& state, const char* type) {
  CallGuard guard(state, type);
  if (!guard.enter("take_failed")) return nullptr;
  std::vector<std::string> failed;
  try {
    failed = batch.take_failed();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(failed.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < failed.size(); ++i) {
    PyObject* reason = PyUnicode_DecodeUTF8(failed[i].data(),
                                            static_cast<Py_ssize_t>(failed[i].size()), "replace");
    if (reason == nullptr) return nullptr;  // the reasons are lost with the error
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), reason);
  }
  return list.release();
}

// Answer buffers a batch owns, which the host may write into: float32 [slots, dim * dim] and
// [slots, 4], made at the first answers() and the same objects from then on. A host that keeps
// views of them answers every step with complete_from_answers(), and no buffer is taken per step
// (PyPy keeps a little memory for good for every buffer a C extension takes).
struct AnswerBuffers {
  Ref policy;
  Ref value;
  // The rows of one step, copied under the interpreter lock: a host thread may write into the
  // buffers while the engine works without it.
  std::vector<float> policy_rows;
  std::vector<float> value_rows;
};

// Makes `answers`' buffers for `rows` slots of `cells` cells if they are not made yet; false with
// the host exception set.
bool make_answer_buffers(AnswerBuffers& answers, std::size_t rows, std::size_t cells);

// answers(): the batch's answer buffers (policy, value).
template <class Batch>
PyObject* answers_call(Batch& batch, const CallState& state, AnswerBuffers& answers,
                       const char* type) {
  if (!readable(state, type, "answers")) return nullptr;
  const auto cells = static_cast<std::size_t>(batch.config().dim * batch.config().dim);
  if (!make_answer_buffers(answers, batch.slot_count(), cells)) return nullptr;
  return PyTuple_Pack(2, answers.policy.get(), answers.value.get());
}

// complete_from_answers(): answers every waiting game from the first rows of the answer buffers
// (row k for the k-th position of the last step), as complete() does with buffers passed in.
template <class Batch>
PyObject* complete_from_answers_call(Batch& batch, CallState& state, AnswerBuffers& answers,
                                     const char* type) {
  CallGuard guard(state, type);
  if (!guard.enter("complete_from_answers")) return nullptr;
  const std::size_t waiting = batch.waiting();
  if (waiting == 0) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s.complete_from_answers: no position waits for answers; call step() first "
                 "(each step is answered once)",
                 type);
    return nullptr;
  }
  if (!answers.policy) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s.complete_from_answers: the batch has no answer buffers yet; take them with "
                 "answers() and write row k for the k-th position of the step",
                 type);
    return nullptr;
  }
  const auto cells = static_cast<std::size_t>(batch.config().dim * batch.config().dim);
  const auto* policy = reinterpret_cast<const float*>(buffer_memory(answers.policy.get()).data());
  const auto* value = reinterpret_cast<const float*>(buffer_memory(answers.value.get()).data());
  try {
    answers.policy_rows.assign(policy, policy + waiting * cells);
    answers.value_rows.assign(value, value + waiting * kPlayers);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
  if (!without_lock(state, [&] { batch.complete(answers.policy_rows, answers.value_rows); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace tessarin::py
