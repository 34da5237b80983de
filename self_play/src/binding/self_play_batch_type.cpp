#include "self_play_batch_type.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "batch_calls.h"
#include "config_reader.h"
#include "fatal.h"
#include "game.h"
#include "match_batch_type.h"
#include "self_play_batch.h"
#include "training_record.h"

namespace tessarin::py {
namespace {

constexpr const char* kType = "SelfPlayBatch";

struct BatchObject {
  static constexpr const char* kTypeName = kType;
  PyObject_HEAD SelfPlayBatch* batch;
  CallState state;
  AnswerBuffers answers;
};

BatchObject* as_batch(PyObject* self) {
  return reinterpret_cast<BatchObject*>(self);
}

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"config", "games",     "total_games",       "dtype",
                                   "seed",   "fast_sims", "full_search_share", "engine_opponents",
                                   nullptr};
  PyObject* config_object = nullptr;
  Py_ssize_t games = 0;
  Py_ssize_t total_games = 0;
  const char* dtype = "float32";
  PyObject* seed_object = Py_None;
  Py_ssize_t fast_sims = 0;
  double full_search_share = 1.0;
  double engine_opponents = 0.0;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "Onn|$sOndd:SelfPlayBatch",
                                  const_cast<char**>(keywords), &config_object, &games,
                                  &total_games, &dtype, &seed_object, &fast_sims,
                                  &full_search_share, &engine_opponents) == 0) {
    return nullptr;
  }
  if (fast_sims < 0) {
    PyErr_Format(PyExc_ValueError, "fast_sims must not be negative, not %zd", fast_sims);
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
  bool floats = true;
  std::optional<std::uint64_t> seed;
  if (!read_dtype(dtype, floats) || !read_seed(seed_object, seed)) return nullptr;
  // Read as the worker module reads it; its errors (AttributeError, TypeError "failed to extract
  // field Config.<name>", OverflowError) are raised unchanged.
  const std::optional<Config> config = read_config(config_object);
  if (!config) return nullptr;

  SelfPlayBatch* batch = nullptr;
  try {
    const PlayoutCap cap{static_cast<std::uint64_t>(fast_sims),
                         static_cast<float>(full_search_share)};
    const EngineOpponents opponents{static_cast<float>(engine_opponents)};
    batch = new SelfPlayBatch(*config, static_cast<std::size_t>(games),
                              static_cast<std::uint64_t>(total_games), seed, cap, opponents);
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
  new (&object->state) CallState{floats, false, false};
  new (&as_batch(self)->answers) AnswerBuffers{};
  return self;
}

void batch_dealloc(PyObject* self) {
  delete as_batch(self)->batch;
  as_batch(self)->answers.~AnswerBuffers();
  Py_TYPE(self)->tp_free(self);
}

PyObject* batch_step(PyObject* self, PyObject* /*unused*/) {
  return step_call(*as_batch(self)->batch, as_batch(self)->state, kType);
}

PyObject* batch_complete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return complete_call(*as_batch(self)->batch, as_batch(self)->state, kType, args, kwargs);
}

PyObject* batch_take_finished(PyObject* self_object, PyObject* /*unused*/) {
  BatchObject* self = as_batch(self_object);
  CallGuard guard(self->state, kType);
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

PyObject* batch_take_failed(PyObject* self, PyObject* /*unused*/) {
  return take_failed_call(*as_batch(self)->batch, as_batch(self)->state, kType);
}

PyObject* batch_answers(PyObject* self, PyObject* /*unused*/) {
  return answers_call(*as_batch(self)->batch, as_batch(self)->state, as_batch(self)->answers,
                      kType);
}

PyObject* batch_complete_from_answers(PyObject* self, PyObject* /*unused*/) {
  return complete_from_answers_call(*as_batch(self)->batch, as_batch(self)->state,
                                    as_batch(self)->answers, kType);
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
    {"answers", as_cfunction<batch_answers>(), METH_NOARGS,
     "answers()\n--\n\nThe batch's own answer buffers (policy, value): C-contiguous float32 "
     "[slots, dim*dim] and [slots, 4], writable, the same objects at every call. Write row k for "
     "the k-th position of a step and call complete_from_answers(); a host that keeps views of "
     "them takes no buffer per step."},
    {"complete_from_answers", as_cfunction<batch_complete_from_answers>(), METH_NOARGS,
     "complete_from_answers()\n--\n\nAnswers the last step from the first B rows of the "
     "answer buffers, as complete() would with those rows."},
    {"take_finished", as_cfunction<batch_take_finished>(), METH_NOARGS,
     "take_finished()\n--\n\nThe training records (history, policies, payoff) of the games played "
     "to their end since the last call, in the order they finished."},
    {"take_failed", as_cfunction<batch_take_failed>(), METH_NOARGS,
     "take_failed()\n--\n\nWhy each game abandoned since the last call was abandoned, in order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"done", BatchProperties<BatchObject>::done, nullptr,
     "True once total_games games have finished.", nullptr},
    {"games_finished", BatchProperties<BatchObject>::games_finished, nullptr,
     "Games finished so far, failed ones included.", nullptr},
    {"games_failed", BatchProperties<BatchObject>::games_failed, nullptr,
     "Games abandoned (a search failed or the answers left a root without children).", nullptr},
    {"pending", BatchProperties<BatchObject>::pending, nullptr,
     "Positions of the last step still waiting for answers.", nullptr},
    {"last_failure", BatchProperties<BatchObject>::last_failure, nullptr,
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
  if (!add_buffer_type(module) || !add_match_type(module)) return false;
  batch_type.tp_name = "tessarin_engine.SelfPlayBatch";
  batch_type.tp_basicsize = sizeof(BatchObject);
  batch_type.tp_flags = Py_TPFLAGS_DEFAULT;
  batch_type.tp_doc =
      "SelfPlayBatch(config, games, total_games, *, dtype=\"float32\", seed=None, "
      "fast_sims=0, full_search_share=1.0, engine_opponents=0.0)\n--\n\n"
      "games training games side by side, total_games in all, each exactly the worker module's "
      "training game; config has the module's eight settings. Every step evaluates the waiting "
      "positions of all games together. With fast_sims > 0, each action's search is a full one "
      "(sims_per_move simulations, root noise, a policy target) with probability "
      "full_search_share and otherwise a fast one (fast_sims simulations, no noise, NaN policy "
      "shares: no target). With engine_opponents > 0, that share of the games seats 1 to 3 "
      "engine players (random or heuristic, at random seats) whose actions have NaN policy "
      "shares.";
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
