#include "match_batch_type.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch_calls.h"
#include "batch_type.h"
#include "fatal.h"
#include "match_batch.h"
#include "py_convert.h"

namespace tessarin::py {
namespace {

constexpr const char* kType = "MatchBatch";

// One lineup entry: a network index (an int from 0) or an engine player's name.
bool read_player(PyObject* item, std::size_t entry, Player& player) {
  if (PyLong_Check(item) != 0) {
    const Py_ssize_t index = PyLong_AsSsize_t(item);
    if (index == -1 && PyErr_Occurred() != nullptr) return false;
    if (index < 0) {
      PyErr_Format(PyExc_ValueError, "seats[%zu]: a network index is at least 0, not %zd", entry,
                   index);
      return false;
    }
    player = Player{PlayerKind::kNetwork, static_cast<std::size_t>(index)};
    return true;
  }
  if (PyUnicode_Check(item) != 0) {
    const char* name = PyUnicode_AsUTF8(item);
    if (name == nullptr) return false;
    if (std::string(name) == "random") {
      player = Player{PlayerKind::kRandom, 0};
      return true;
    }
    if (std::string(name) == "heuristic") {
      player = Player{PlayerKind::kHeuristic, 0};
      return true;
    }
    if (std::string(name) == "host") {
      player = Player{PlayerKind::kHost, 0};
      return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "seats[%zu]: unknown player \"%s\"; expected a network index, \"random\", "
                 "\"heuristic\" or \"host\"",
                 entry, name);
    return false;
  }
  PyErr_Format(PyExc_TypeError,
               "seats[%zu] must be a network index (int), \"random\", \"heuristic\" or "
               "\"host\", not %s",
               entry, Py_TYPE(item)->tp_name);
  return false;
}

// The `start` argument: None, or a sequence of (player, tile) pairs of ints.
bool read_start(PyObject* start_object, std::vector<HistoryEntry>& start) {
  if (start_object == Py_None) return true;
  Ref items = Ref::steal(
      PySequence_Fast(start_object, "start must be None or a sequence of (player, tile) pairs"));
  if (!items) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  try {
    start.reserve(static_cast<std::size_t>(count));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref pair = Ref::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(items.get(), i),
                                          "start must hold (player, tile) pairs"));
    if (!pair) return false;
    if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "start[%zd] must be a (player, tile) pair, not %zd items", i,
                   PySequence_Fast_GET_SIZE(pair.get()));
      return false;
    }
    HistoryEntry entry;
    if (!convert_int32_argument(PySequence_Fast_GET_ITEM(pair.get(), 0), "start", entry.first) ||
        !convert_int32_argument(PySequence_Fast_GET_ITEM(pair.get(), 1), "start", entry.second)) {
      return false;
    }
    start.push_back(entry);
  }
  return true;
}

PyObject* match_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"dim",
                                   "rep",
                                   "seats",
                                   "games",
                                   "sims_per_move",
                                   "parallel",
                                   "sample_moves",
                                   "c_base",
                                   "c_init",
                                   "dirichlet_alpha",
                                   "exploration_fraction",
                                   "dtype",
                                   "seed",
                                   "start",
                                   "cached_positions",
                                   nullptr};
  Py_ssize_t dim = 0;
  Py_ssize_t rep = 0;
  PyObject* seats = nullptr;
  Py_ssize_t games = 0;
  Py_ssize_t sims = 0;
  Py_ssize_t parallel = -1;
  Py_ssize_t sample_moves = 0;
  double c_base = 19652.0;
  double c_init = 1.25;
  double alpha = 0.3;
  double fraction = 0.0;
  const char* dtype = "float32";
  PyObject* seed_object = Py_None;
  PyObject* start_object = Py_None;
  Py_ssize_t cached_positions = 0;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "nnOn|n$nnddddsOOn:MatchBatch",
                                  const_cast<char**>(keywords), &dim, &rep, &seats, &games, &sims,
                                  &parallel, &sample_moves, &c_base, &c_init, &alpha, &fraction,
                                  &dtype, &seed_object, &start_object, &cached_positions) == 0) {
    return nullptr;
  }
  if (games < 1) {
    PyErr_Format(PyExc_ValueError, "games must be at least 1, not %zd", games);
    return nullptr;
  }
  if (parallel == -1) parallel = games;
  if (parallel < 1) {
    PyErr_Format(PyExc_ValueError, "parallel must be at least 1, not %zd", parallel);
    return nullptr;
  }
  if (dim < 0 || rep < 0 || sims < 0 || sample_moves < 0 || cached_positions < 0) {
    PyErr_SetString(
        PyExc_ValueError,
        "dim, rep, sims_per_move, sample_moves and cached_positions must not be negative");
    return nullptr;
  }
  bool floats = true;
  std::optional<std::uint64_t> seed;
  std::vector<HistoryEntry> start;
  if (!read_dtype(dtype, floats) || !read_seed(seed_object, seed) ||
      !read_start(start_object, start)) {
    return nullptr;
  }
  Ref lineup_items = Ref::steal(PySequence_Fast(seats, "seats must be a sequence of 4 players"));
  if (!lineup_items) return nullptr;
  if (PySequence_Fast_GET_SIZE(lineup_items.get()) != 4) {
    PyErr_Format(PyExc_ValueError, "seats must name 4 players, not %zd",
                 PySequence_Fast_GET_SIZE(lineup_items.get()));
    return nullptr;
  }
  std::array<Player, 4> lineup{};
  for (std::size_t entry = 0; entry < 4; ++entry) {
    PyObject* item = PySequence_Fast_GET_ITEM(lineup_items.get(), static_cast<Py_ssize_t>(entry));
    if (!read_player(item, entry, lineup[entry])) return nullptr;
  }
  const Config config{static_cast<std::uint64_t>(dim),  static_cast<std::uint64_t>(rep),
                      static_cast<std::uint64_t>(sims), static_cast<std::uint64_t>(sample_moves),
                      static_cast<float>(c_base),       static_cast<float>(c_init),
                      static_cast<float>(alpha),        static_cast<float>(fraction)};
  return new_batch_object<MatchBatch>(type, kType, floats, [&] {
    return std::make_unique<MatchBatch>(config, lineup, static_cast<std::size_t>(parallel),
                                        static_cast<std::uint64_t>(games), seed, start,
                                        static_cast<std::size_t>(cached_positions));
  });
}

Ref float_list(const std::array<float, 4>& values) {
  return Ref::steal(Py_BuildValue("[dddd]", static_cast<double>(values[0]),
                                  static_cast<double>(values[1]), static_cast<double>(values[2]),
                                  static_cast<double>(values[3])));
}

// The history as an int32 buffer of shape [actions, 2]: (player, tile) per row.
Ref history_buffer(const std::vector<HistoryEntry>& history) {
  Ref buffer = new_buffer(history.size() * 2 * sizeof(std::int32_t), "i", sizeof(std::int32_t));
  if (!buffer) return buffer;
  auto* entries = reinterpret_cast<std::int32_t*>(buffer_memory(buffer.get()).data());
  for (std::size_t i = 0; i < history.size(); ++i) {
    entries[2 * i] = history[i].first;
    entries[2 * i + 1] = history[i].second;
  }
  const std::array<std::size_t, 2> shape = {history.size(), 2};
  set_buffer_shape(buffer.get(), shape);
  return buffer;
}

PyObject* match_take_finished(PyObject* self, PyObject* /*unused*/) {
  BatchHold<MatchBatch>& hold = hold_of<MatchBatch>(self);
  CallGuard guard(hold.state);
  if (!guard.enter("take_finished")) return nullptr;
  std::vector<MatchResult> finished;
  try {
    finished = hold.batch->take_finished();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(finished.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < finished.size(); ++i) {
    Ref by_entry = float_list(finished[i].payoff_by_entry);
    Ref by_seat = float_list(finished[i].payoff_by_seat);
    Ref history = history_buffer(finished[i].history);
    if (!by_entry || !by_seat || !history) return nullptr;
    PyObject* item = Py_BuildValue(
        "(OOnKO)", by_entry.get(), by_seat.get(), static_cast<Py_ssize_t>(finished[i].rotation),
        static_cast<unsigned long long>(finished[i].number), history.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// A slot number from the host: ValueError unless it names one of the batch's slots.
bool read_slot(const MatchBatch& batch, Py_ssize_t slot, const char* method) {
  if (slot >= 0 && static_cast<std::size_t>(slot) < batch.slot_count()) return true;
  PyErr_Format(PyExc_ValueError, "MatchBatch.%s: slot %zd is not one of the batch's %zu slots",
               method, slot, batch.slot_count());
  return false;
}

PyObject* match_host_turns(PyObject* self, PyObject* /*unused*/) {
  BatchHold<MatchBatch>& hold = hold_of<MatchBatch>(self);
  if (!readable(hold.state, "host_turns")) return nullptr;
  std::vector<std::size_t> turns;
  try {
    turns = hold.batch->host_turns();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(turns.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < turns.size(); ++i) {
    PyObject* slot = PyLong_FromSize_t(turns[i]);
    if (slot == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), slot);
  }
  return list.release();
}

PyObject* match_play(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"slot", "tile", nullptr};
  Py_ssize_t slot = 0;
  Py_ssize_t tile = 0;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "nn:play", const_cast<char**>(keywords), &slot,
                                  &tile) == 0) {
    return nullptr;
  }
  BatchHold<MatchBatch>& hold = hold_of<MatchBatch>(self);
  MatchBatch& batch = *hold.batch;
  CallGuard guard(hold.state);
  if (!guard.enter("play") || !read_slot(batch, slot, "play")) return nullptr;
  const auto waiting = static_cast<std::size_t>(slot);
  bool host_turn = false;
  try {
    const std::vector<std::size_t> turns = batch.host_turns();
    host_turn = std::find(turns.begin(), turns.end(), waiting) != turns.end();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!host_turn) {
    PyErr_Format(PyExc_RuntimeError,
                 "MatchBatch.play: the game in slot %zd does not wait for a host tile; "
                 "host_turns() names those that do",
                 slot);
    return nullptr;
  }
  if (tile < 0) {
    PyErr_Format(PyExc_ValueError, "tile %zd is off the board", tile);
    return nullptr;
  }
  std::optional<std::string> refusal;
  if (!without_lock(hold.state,
                    [&] { refusal = batch.play_host(waiting, static_cast<std::size_t>(tile)); })) {
    return nullptr;
  }
  if (refusal) {
    PyErr_SetString(PyExc_ValueError, refusal->c_str());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* match_history(PyObject* self, PyObject* slot_object) {
  BatchHold<MatchBatch>& hold = hold_of<MatchBatch>(self);
  if (!readable(hold.state, "history")) return nullptr;
  const Py_ssize_t slot = PyNumber_AsSsize_t(slot_object, PyExc_OverflowError);
  if (slot == -1 && PyErr_Occurred() != nullptr) return nullptr;
  const MatchBatch& batch = *hold.batch;
  if (!read_slot(batch, slot, "history")) return nullptr;
  const auto index = static_cast<std::size_t>(slot);
  try {
    return history_buffer(batch.history(index)).release();
  } catch (const FatalStop&) {
    PyErr_Format(PyExc_RuntimeError,
                 "MatchBatch.history: slot %zd holds no game (its games have finished)", slot);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

PyMethodDef match_methods[] = {
    {"host_turns", as_cfunction<match_host_turns>(), METH_NOARGS,
     "host_turns()\n--\n\nThe slots whose game waits for a tile from the host (a \"host\" seat "
     "is to move), ascending. step() gives no row for them."},
    {"play", as_cfunction<match_play>(), METH_VARARGS | METH_KEYWORDS,
     "play(slot, tile)\n--\n\nPlays `tile` for the host seat to move in the game of `slot`. "
     "ValueError, changing nothing, for a tile that is not legal (its message says why, for a "
     "person) or a slot the batch does not have; RuntimeError when that game does not wait for "
     "the host. The game goes on at the next step()."},
    {"history", as_cfunction<match_history>(), METH_O,
     "history(slot)\n--\n\n(player, tile) of every action so far of the game in `slot`, the "
     "start's included: an int32 Buffer [actions, 2]. RuntimeError for a slot whose games have "
     "all finished."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_match_type(PyObject* module) {
  return add_batch_type<MatchBatch>(
      module,
      {kType,
       "MatchBatch(dim, rep, seats, games, sims_per_move=0, *, parallel=games, sample_moves=0, "
       "c_base=19652.0, c_init=1.25, dirichlet_alpha=0.3, exploration_fraction=0.0, "
       "dtype=\"float32\", seed=None, start=None, cached_positions=0)\n--\n\n"
       "games arena games, parallel at a time. seats: 4 players, each a network index, "
       "\"random\", \"heuristic\" or \"host\"; game k seats entry i at seat (i + k) % 4, so "
       "every entry plays every seat equally often over a multiple of 4 games. A network seat "
       "plays the tile of highest prior (sims_per_move 0) or the most visited tile of its search, "
       "whose tree it keeps; for the first sample_moves actions of a game it draws its tile from "
       "the priors or the visit shares instead. A host seat's tiles come from play(); "
       "host_turns() names the games waiting for one. Every game starts from the position after "
       "start, (player, tile) pairs checked against the rules. With cached_positions > 0, each "
       "network keeps that many answers by position: a network seat whose position its "
       "network's memo holds is answered from it (cache_hits, cache_misses).",
       match_new,
       "step()\n--\n\nAdvances every game until a network seat must move and returns (positions, "
       "slots, networks): positions of the B waiting games, [B, 5, dim, dim] (rep 1) or "
       "[B, dim, dim, 5] (rep 2), slots int64 [B], rows grouped by network index (ascending), "
       "networks int64 [B] the index of each row. B is 0 once every game has finished.",
       as_cfunction<match_take_finished>(),
       "take_finished()\n--\n\n(payoff_by_entry, payoff_by_seat, rotation, number, history) of "
       "every game finished since the last call: entry i sat at seat (i + rotation) % 4, number "
       "is the game's index in the order games start, history an int32 Buffer [actions, 2] of "
       "(player, tile).",
       match_methods});
}

}  // namespace tessarin::py
