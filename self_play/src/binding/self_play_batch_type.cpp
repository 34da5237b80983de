#include "self_play_batch_type.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "batch_calls.h"
#include "batch_type.h"
#include "config_reader.h"
#include "fatal.h"
#include "game.h"
#include "match_batch_type.h"
#include "self_play_batch.h"
#include "training_record.h"

namespace tessarin::py {
namespace {

constexpr const char* kType = "SelfPlayBatch";

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"config",
                                   "games",
                                   "total_games",
                                   "dtype",
                                   "seed",
                                   "fast_sims",
                                   "full_search_share",
                                   "engine_opponents",
                                   "cached_positions",
                                   nullptr};
  PyObject* config_object = nullptr;
  Py_ssize_t games = 0;
  Py_ssize_t total_games = 0;
  const char* dtype = "float32";
  PyObject* seed_object = Py_None;
  Py_ssize_t fast_sims = 0;
  double full_search_share = 1.0;
  double engine_opponents = 0.0;
  Py_ssize_t cached_positions = 0;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "Onn|$sOnddn:SelfPlayBatch",
                                  const_cast<char**>(keywords), &config_object, &games,
                                  &total_games, &dtype, &seed_object, &fast_sims,
                                  &full_search_share, &engine_opponents, &cached_positions) == 0) {
    return nullptr;
  }
  if (cached_positions < 0) {
    PyErr_Format(PyExc_ValueError, "cached_positions must not be negative, not %zd",
                 cached_positions);
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

  const PlayoutCap cap{static_cast<std::uint64_t>(fast_sims),
                       static_cast<float>(full_search_share)};
  const EngineOpponents opponents{static_cast<float>(engine_opponents)};
  return new_batch_object<SelfPlayBatch>(type, kType, floats, [&] {
    return std::make_unique<SelfPlayBatch>(*config, static_cast<std::size_t>(games),
                                           static_cast<std::uint64_t>(total_games), seed, cap,
                                           opponents, static_cast<std::size_t>(cached_positions));
  });
}

PyObject* batch_take_finished(PyObject* self, PyObject* /*unused*/) {
  BatchHold<SelfPlayBatch>& hold = hold_of<SelfPlayBatch>(self);
  CallGuard guard(hold.state);
  if (!guard.enter("take_finished")) return nullptr;
  std::vector<FinishedGame> finished;
  try {
    finished = hold.batch->take_finished();
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

}  // namespace

bool add_batch_types(PyObject* module) {
  if (!add_buffer_type(module) || !add_match_type(module)) return false;
  return add_batch_type<SelfPlayBatch>(
      module,
      {kType,
       "SelfPlayBatch(config, games, total_games, *, dtype=\"float32\", seed=None, "
       "fast_sims=0, full_search_share=1.0, engine_opponents=0.0, cached_positions=0)\n--\n\n"
       "games training games side by side, total_games in all, each exactly the worker module's "
       "training game; config has the module's eight settings. Every step evaluates the "
       "waiting positions of all games together. With fast_sims > 0, each action's search is a "
       "full one (sims_per_move simulations, root noise, a policy target) with probability "
       "full_search_share and otherwise a fast one (fast_sims simulations, no noise, NaN policy "
       "shares: no target). With engine_opponents > 0, that share of the games seats 1 to 3 "
       "engine players (random or heuristic, at random seats) whose actions have NaN policy "
       "shares. With cached_positions > 0, the games share a memo of that many network answers "
       "by position: a game that waits on a position the memo holds is answered from it "
       "(cache_hits, cache_misses).",
       batch_new,
       "step()\n--\n\nAdvances every game that does not wait for an evaluation and returns "
       "(positions, slots): positions of the B waiting games, [B, 5, dim, dim] (rep 1) or "
       "[B, dim, dim, 5] (rep 2) of the chosen dtype, and their slots, int64 [B]. B is 0 once "
       "every game has finished. Called again before complete(), it returns the same positions.",
       as_cfunction<batch_take_finished>(),
       "take_finished()\n--\n\nThe training records (history, policies, payoff) of the games "
       "played to their end since the last call, in the order they finished."});
}

}  // namespace tessarin::py
