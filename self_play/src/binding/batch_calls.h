// The calls of the batched drivers' Python types: one call at a time (a second thread is refused),
// the engine's work without the interpreter lock, positions written into one Buffer, and answers
// read from float32 buffers that are checked before anything changes. Templates over the C++
// batch (SelfPlayBatch, MatchBatch), which offer the same step / write_positions / complete /
// take_failed. Errors follow errors.h: misuse of the protocol raises RuntimeError; a failure
// inside the engine raises the module's stop and breaks the batch for good.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "buffer_object.h"
#include "errors.h"
#include "game.h"
#include "py_buffer_view.h"
#include "py_ref.h"

namespace tessarin::py {

// The state every batched type keeps beside its C++ batch.
struct CallState {
  const char* type;     // the Python type's name, for messages
  bool floats = true;   // positions as float32, else uint8
  bool busy = false;    // a call is under way (its C++ work runs without the interpreter lock)
  bool broken = false;  // a call failed inside the engine; the batch's state is unknown
};

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

// What the Python object of a batched type holds (py_held.h): the C++ batch, its call state and
// its answer buffers.
template <class Batch>
struct BatchHold {
  std::unique_ptr<Batch> batch;
  CallState state;
  AnswerBuffers answers;
};

// Marks the batch busy for one call; refuses a second call from another thread meanwhile (the
// check and the mark run under the interpreter lock).
class CallGuard {
 public:
  explicit CallGuard(CallState& state) : state_(state) {}
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  ~CallGuard() {
    if (entered_) state_.busy = false;
  }
  // False with RuntimeError set when the batch is busy or broken.
  bool enter(const char* method);

 private:
  CallState& state_;
  bool entered_ = false;
};

// True when the batch's state may be read; false with RuntimeError set while another thread's
// call works on it without the interpreter lock.
bool readable(const CallState& state, const char* attribute);

// Reads the `dtype` argument, "float32" or "uint8", into `floats`; false with ValueError set.
bool read_dtype(const char* dtype, bool& floats);

// Reads the `seed` argument, None or an int from 0 to 2**64 - 1; false with the host exception
// set.
bool read_seed(PyObject* seed_object, std::optional<std::uint64_t>& seed);

// Runs `work` without the interpreter lock. A C++ exception it throws becomes a host exception
// (errors.h) and marks the batch broken; returns false in that case.
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
// or ValueError (another shape, not contiguous) naming what was expected. An exception of the
// host object's own (an __array__ that raises) is raised unchanged.
class FloatRows {
 public:
  FloatRows() = default;
  FloatRows(const FloatRows&) = delete;
  FloatRows& operator=(const FloatRows&) = delete;
  // False with the host exception set.
  bool take(PyObject* object, const char* name, std::size_t rows, std::size_t columns);
  std::span<const float> floats() const;

 private:
  Ref array_;  // what __array__ gave, if it was used; outlives the view
  BufferView view_;
};

// step(): advances the batch without the lock and returns (positions, slots), plus the network
// index of every row for a batch that has networks (MatchBatch). Only the buffers handed out are
// made.
template <class Batch>
PyObject* step_call(BatchHold<Batch>& hold) {
  constexpr bool kWithNetworks = requires(const Batch& b) {
    b.networks();
  };
  Batch& batch = *hold.batch;
  CallGuard guard(hold.state);
  if (!guard.enter("step")) return nullptr;
  const std::size_t dim = static_cast<std::size_t>(batch.config().dim);
  const std::size_t rows = batch.waiting() != 0 ? batch.waiting() : batch.slot_count();
  const bool floats = hold.state.floats;
  const std::size_t item = floats ? sizeof(float) : 1;
  // Room for every slot: how many games will wait is known only after the search.
  Ref positions = new_buffer(rows * batch.position_size() * item, floats ? "f" : "B", item);
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
  const bool done = without_lock(hold.state, [&] {
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

// Sets RuntimeError for a complete call (`method`) while nothing waits; returns false then.
bool check_pending(const CallState& state, std::size_t waiting, const char* method);

// complete(policy_logits, value_logits): checks both buffers against the pending step, then
// answers every waiting game without the lock.
template <class Batch>
PyObject* complete_call(BatchHold<Batch>& hold, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"policy_logits", "value_logits", nullptr};
  PyObject* policy_object = nullptr;
  PyObject* value_object = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO:complete", const_cast<char**>(keywords),
                                  &policy_object, &value_object) == 0) {
    return nullptr;
  }
  Batch& batch = *hold.batch;
  CallGuard guard(hold.state);
  if (!guard.enter("complete")) return nullptr;
  const std::size_t waiting = batch.waiting();
  if (!check_pending(hold.state, waiting, "complete")) return nullptr;
  const auto cells = static_cast<std::size_t>(batch.config().dim * batch.config().dim);
  FloatRows policy;
  FloatRows value;
  if (!policy.take(policy_object, "policy_logits", waiting, cells)) return nullptr;
  if (!value.take(value_object, "value_logits", waiting, kPlayers)) return nullptr;
  if (!without_lock(hold.state, [&] { batch.complete(policy.floats(), value.floats()); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Makes `answers`' buffers for `rows` slots of `cells` cells if they are not made yet; false with
// the host exception set.
bool make_answer_buffers(AnswerBuffers& answers, std::size_t rows, std::size_t cells);

// answers(): the batch's answer buffers (policy, value).
template <class Batch>
PyObject* answers_call(BatchHold<Batch>& hold) {
  if (!readable(hold.state, "answers")) return nullptr;
  const Batch& batch = *hold.batch;
  const auto cells = static_cast<std::size_t>(batch.config().dim * batch.config().dim);
  if (!make_answer_buffers(hold.answers, batch.slot_count(), cells)) return nullptr;
  return PyTuple_Pack(2, hold.answers.policy.get(), hold.answers.value.get());
}

// complete_from_answers(): answers every waiting game from the first rows of the answer buffers
// (row k for the k-th position of the last step), as complete() does with buffers passed in.
template <class Batch>
PyObject* complete_from_answers_call(BatchHold<Batch>& hold) {
  Batch& batch = *hold.batch;
  AnswerBuffers& answers = hold.answers;
  CallGuard guard(hold.state);
  if (!guard.enter("complete_from_answers")) return nullptr;
  const std::size_t waiting = batch.waiting();
  if (!check_pending(hold.state, waiting, "complete_from_answers")) return nullptr;
  if (!answers.policy) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s.complete_from_answers: the batch has no answer buffers yet; take them with "
                 "answers() and write row k for the k-th position of the step",
                 hold.state.type);
    return nullptr;
  }
  const auto cells = static_cast<std::size_t>(batch.config().dim * batch.config().dim);
  const auto* policy = reinterpret_cast<const float*>(buffer_memory(answers.policy.get()).data());
  const auto* value = reinterpret_cast<const float*>(buffer_memory(answers.value.get()).data());
  try {
    answers.policy_rows.assign(policy, policy + waiting * cells);
    answers.value_rows.assign(value, value + waiting * kPlayers);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!without_lock(hold.state, [&] { batch.complete(answers.policy_rows, answers.value_rows); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// take_failed(): the reasons of the games abandoned since the last call, as a list of str.
template <class Batch>
PyObject* take_failed_call(BatchHold<Batch>& hold) {
  CallGuard guard(hold.state);
  if (!guard.enter("take_failed")) return nullptr;
  std::vector<std::string> failed;
  try {
    failed = hold.batch->take_failed();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(failed.size())));
  if (!list) return nullptr;  // the reasons are lost with the error, as memory ran out
  for (std::size_t i = 0; i < failed.size(); ++i) {
    PyObject* reason = PyUnicode_DecodeUTF8(failed[i].data(),
                                            static_cast<Py_ssize_t>(failed[i].size()), "replace");
    if (reason == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), reason);
  }
  return list.release();
}

}  // namespace tessarin::py
