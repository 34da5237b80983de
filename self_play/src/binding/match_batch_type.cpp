#include "match_batch_type.h"

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
    PyErr_Format(PyExc_ValueError,
                 "seats[%zu]: unknown player \"%s\"; expected a network index, \"random\" or "
                 "\"heuristic\"",
                 entry, name);
    return false;
  }
  PyErr_Format(PyExc_TypeError,
               "seats[%zu] must be a network index (int), \"random\" or \"heuristic\", not %s",
               entry, Py_TYPE(item)->tp_name);
  return false;
}

PyObject* match_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {
      "dim",          "rep",    "seats",  "games",           "sims_per_move",        "parallel",
      "sample_moves", "c_base", "c_init", "dirichlet_alpha", "exploration_fraction", "dtype",
      "seed",         nullptr};
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
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "nnOn|n$nnddddsO:MatchBatch",
                                  const_cast<char**>(keywords), &dim, &rep, &seats, &games, &sims,
                                  &parallel, &sample_moves, &c_base, &c_init, &alpha, &fraction,
                                  &dtype, &seed_object) == 0) {
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
  if (dim < 0 || rep < 0 || sims < 0 || sample_moves < 0) {
    PyErr_SetString(PyExc_ValueError,
                    "dim, rep, sims_per_move and sample_moves must not be negative");
    return nullptr;
  }
  bool floats = true;
  std::optional<std::uint64_t> seed;
  if (!read_dtype(dtype, floats) || !read_seed(seed_object, seed)) return nullptr;
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
                                        static_cast<std::uint64_t>(games), seed);
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

}  // namespace

bool add_match_type(PyObject* module) {
  return add_batch_type<MatchBatch>(
      module,
      {kType,
       "MatchBatch(dim, rep, seats, games, sims_per_move=0, *, parallel=games, sample_moves=0, "
       "c_base=19652.0, c_init=1.25, dirichlet_alpha=0.3, exploration_fraction=0.0, "
       "dtype=\"float32\", seed=None)\n--\n\n"
       "games arena games, parallel at a time. seats: 4 players, each a network index, "
       "\"random\" or \"heuristic\"; game k seats entry i at seat (i + k) % 4, so every entry "
       "plays every seat equally often over a multiple of 4 games. A network seat plays the tile "
       "of highest prior (sims_per_move 0) or the most visited tile of its search, whose tree it "
       "keeps; for the first sample_moves actions of a game it draws its tile from the priors "
       "or the visit shares instead.",
       match_new,
       "step()\n--\n\nAdvances every game until a network seat must move and returns (positions, "
       "slots, networks): positions of the B waiting games, [B, 5, dim, dim] (rep 1) or "
       "[B, dim, dim, 5] (rep 2), slots int64 [B], rows grouped by network index (ascending), "
       "networks int64 [B] the index of each row. B is 0 once every game has finished.",
       as_cfunction<match_take_finished>(),
       "take_finished()\n--\n\n(payoff_by_entry, payoff_by_seat, rotation, number, history) of "
       "every game finished since the last call: entry i sat at seat (i + rotation) % 4, number "
       "is the game's index in the order games start, history an int32 Buffer [actions, 2] of "
       "(player, tile)."});
}

}  // namespace tessarin::py
