// The extension module tessarin_engine: the game engine as a Python type, for the host (replaying
// training records into positions, playing matches) and for tools, with the engine's heuristic
// player and the batched drivers. Failures become Python exceptions as errors.h says: rejected
// tiles and invalid input raise ValueError with the engine's text.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine_stop.h"
#include "errors.h"
#include "fatal.h"
#include "game.h"
#include "heuristic_player.h"
#include "pieces.h"
#include "py_convert.h"
#include "py_held.h"
#include "py_ref.h"
#include "random_source.h"
#include "record_replay_call.h"
#include "self_play_batch_type.h"

namespace tessarin::py {
namespace {

Game& game_of(PyObject* self) {
  return held<Game>(self);
}

// `Function` with every C++ exception turned into a Python exception by `guarded`: the form in
// which each function of this module is handed to the interpreter.
template <auto Function>
struct Guard;
template <class... Args, PyObject* (*Function)(Args...)>
struct Guard<Function> {
  static PyObject* call(Args... args) {
    return guarded([&] { return Function(args...); });
  }
};

PyObject* game_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"dim", nullptr};
  PyObject* dim_object = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "O:Game", const_cast<char**>(keywords),
                                  &dim_object) == 0) {
    return nullptr;
  }
  std::uint64_t dim = 0;
  if (!convert_u64(dim_object, dim)) return nullptr;
  std::optional<Game> game;
  if (!argument_accepted([&] { game.emplace(Game::reset(dim)); })) return nullptr;
  return new_held(type, std::move(*game));
}

PyObject* game_apply(PyObject* self, PyObject* tile_object) {
  std::uint64_t tile = 0;
  if (!convert_u64(tile_object, tile)) return nullptr;
  std::optional<std::string> error;
  if (!argument_accepted([&] { error = game_of(self).apply(tile); })) return nullptr;
  if (error) {
    PyErr_SetString(PyExc_ValueError, error->c_str());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* game_legal_tiles(PyObject* self, PyObject*) {
  const std::vector<std::size_t> tiles = game_of(self).get_legal_tiles();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(tiles.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    PyObject* tile = PyLong_FromSize_t(tiles[i]);
    if (tile == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tile);
  }
  return list.release();
}

PyObject* game_is_terminal(PyObject* self, PyObject*) {
  return PyBool_FromLong(game_of(self).is_terminal() ? 1 : 0);
}

PyObject* game_payoff(PyObject* self, PyObject*) {
  const auto payoff = game_of(self).get_payoff();
  return Py_BuildValue("[dddd]", static_cast<double>(payoff[0]), static_cast<double>(payoff[1]),
                       static_cast<double>(payoff[2]), static_cast<double>(payoff[3]));
}

PyObject* game_state(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"channels_last", nullptr};
  int channels_last = 0;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "|p:state", const_cast<char**>(keywords),
                                  &channels_last) == 0) {
    return nullptr;
  }
  const Game& game = game_of(self);
  const auto size = static_cast<Py_ssize_t>(kStatePlanes * game.board().cell_count());
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
  if (!bytes) return nullptr;
  auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
  game.write_game_state(channels_last != 0, {data, static_cast<std::size_t>(size)});
  return bytes.release();
}

PyObject* game_copy(PyObject* self, PyObject*) {
  return new_held(Py_TYPE(self), Game(game_of(self)));
}

PyObject* game_render(PyObject* self, PyObject*) {
  const std::string text = game_of(self).board().render();
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* game_scores(PyObject* self, PyObject*) {
  const Game& game = game_of(self);
  const std::array<std::int32_t, 4> scores = game.board().get_scores(game.last_piece_sizes());
  return Py_BuildValue("[iiii]", scores[0], scores[1], scores[2], scores[3]);
}

// The pieces a player holds, each (name, cells of its base shape as (row, column) pairs), so that
// a page can draw them without a piece table of its own.
PyObject* game_pieces(PyObject* self, PyObject* player_object) {
  const Py_ssize_t player = PyNumber_AsSsize_t(player_object, PyExc_OverflowError);
  if (player == -1 && PyErr_Occurred() != nullptr) return nullptr;
  if (player < 0 || player >= static_cast<Py_ssize_t>(kPlayers)) {
    PyErr_Format(PyExc_ValueError, "player must be from 0 to 3, not %zd", player);
    return nullptr;
  }
  const PieceList pieces = game_of(self).board().pieces(static_cast<std::size_t>(player));
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::size_t kind = pieces.kind(i);
    const Shape shape = base_shape(kind);
    Ref cells = Ref::steal(PyList_New(0));
    if (!cells) return nullptr;
    for (std::size_t row = 0; row < shape.size(); ++row) {
      for (std::size_t column = 0; column < shape[row].size(); ++column) {
        if (!shape[row][column]) continue;
        Ref cell = Ref::steal(
            Py_BuildValue("(nn)", static_cast<Py_ssize_t>(row), static_cast<Py_ssize_t>(column)));
        if (!cell || PyList_Append(cells.get(), cell.get()) < 0) return nullptr;
      }
    }
    const std::string_view name = piece_name(kind);
    PyObject* entry =
        Py_BuildValue("(s#O)", name.data(), static_cast<Py_ssize_t>(name.size()), cells.get());
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list.release();
}

PyObject* game_turn_tiles(PyObject* self, void*) {
  return PyLong_FromSize_t(game_of(self).tile_moves().played_count());
}

PyObject* game_current_player(PyObject* self, void*) {
  return PyLong_FromSize_t(game_of(self).current_player());
}

PyObject* game_dim(PyObject* self, void*) {
  return PyLong_FromSize_t(game_of(self).dim());
}

PyObject* game_history(PyObject* self, void*) {
  const auto& history = game_of(self).history();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(history.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < history.size(); ++i) {
    PyObject* entry = Py_BuildValue("(ii)", history[i].first, history[i].second);
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list.release();
}

PyObject* game_repr(PyObject* self) {
  const Game& game = game_of(self);
  return PyUnicode_FromFormat("<tessarin_engine.Game dim=%zu actions=%zu player=%zu%s>", game.dim(),
                              game.history().size(), game.current_player(),
                              game.is_terminal() ? " over" : "");
}

PyMethodDef game_methods[] = {
    {"apply", as_cfunction<Guard<game_apply>::call>(), METH_O,
     "apply(tile)\n--\n\nPlays one square for the player to move. Raises ValueError, changing "
     "nothing, for a tile that is not legal."},
    {"legal_tiles", as_cfunction<Guard<game_legal_tiles>::call>(), METH_NOARGS,
     "legal_tiles()\n--\n\nThe tiles the player to move may play, ascending."},
    {"is_terminal", as_cfunction<Guard<game_is_terminal>::call>(), METH_NOARGS,
     "is_terminal()\n--\n\nWhether all four players are finished."},
    {"payoff", as_cfunction<Guard<game_payoff>::call>(), METH_NOARGS,
     "payoff()\n--\n\n1/k for each of the k best players, 0 for the others, by player."},
    {"state", as_cfunction<Guard<game_state>::call>(), METH_VARARGS | METH_KEYWORDS,
     "state(channels_last=False)\n--\n\nThe network input for the player to move as bytes of 0 "
     "and 1: 5 x dim x dim (planes first) or dim x dim x 5. Planes 0 to 3 hold the squares of "
     "the player to move and of the next three players; plane 4 the legal tiles."},
    {"copy", as_cfunction<Guard<game_copy>::call>(), METH_NOARGS,
     "copy()\n--\n\nAn independent copy."},
    {"__copy__", as_cfunction<Guard<game_copy>::call>(), METH_NOARGS, nullptr},
    {"render", as_cfunction<Guard<game_render>::call>(), METH_NOARGS,
     "render()\n--\n\nThe board as dim lines of coloured squares."},
    {"scores", as_cfunction<Guard<game_scores>::call>(), METH_NOARGS,
     "scores()\n--\n\nEach player's score, by player: squares laid less 89 while it holds "
     "pieces; with none left, squares less 74, or less 69 when its last piece was the single "
     "square. The payoff goes to the best scores."},
    {"pieces", as_cfunction<Guard<game_pieces>::call>(), METH_O,
     "pieces(player)\n--\n\nThe pieces `player` still holds, in the piece table's order: "
     "(name, cells) with cells the (row, column) squares of the piece's base shape."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef game_getset[] = {
    {"current_player", Guard<game_current_player>::call, nullptr, "The player to move (0 to 3).",
     nullptr},
    {"dim", Guard<game_dim>::call, nullptr, "The board side.", nullptr},
    {"turn_tiles", Guard<game_turn_tiles>::call, nullptr,
     "Tiles the player to move has played of the piece it is laying (0 between pieces).", nullptr},
    {"history", Guard<game_history>::call, nullptr,
     "Every applied tile as (player, tile), in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot game_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Guard<game_new>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_held<Game>)},
    {Py_tp_methods, game_methods},
    {Py_tp_getset, game_getset},
    {Py_tp_repr, reinterpret_cast<void*>(Guard<game_repr>::call)},
    {Py_tp_doc,
     const_cast<char*>("Game(dim)\n--\n\nA new game on a dim x dim board (dim >= 4), player 0 to "
                       "move. One square is played at a time; the turn passes when the piece is "
                       "complete.")},
    {0, nullptr},
};

PyType_Spec game_spec = {"tessarin_engine.Game", sizeof(Held<Game>), 0, Py_TPFLAGS_DEFAULT,
                         game_slots};

// The Game type, set once the module is initialised: HeuristicPlayer.choose accepts only its
// instances (a reinterpret_cast of anything else would read a foreign object as a Game).
PyTypeObject* game_type = nullptr;

// A heuristic player with the generator its ties are drawn from.
struct Heuristic {
  HeuristicPlayer player;
  RandomSource random;
};

PyObject* heuristic_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"seed", nullptr};
  PyObject* seed_object = Py_None;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "|O:HeuristicPlayer", const_cast<char**>(keywords),
                                  &seed_object) == 0) {
    return nullptr;
  }
  std::uint64_t seed = 0;
  if (seed_object != Py_None && !convert_u64(seed_object, seed)) return nullptr;
  return new_held(type, Heuristic{HeuristicPlayer(),
                                  seed_object == Py_None ? RandomSource() : RandomSource(seed)});
}

PyObject* heuristic_choose(PyObject* self, PyObject* game_object) {
  if (game_type == nullptr || PyObject_TypeCheck(game_object, game_type) == 0) {
    PyErr_Format(PyExc_TypeError, "choose() needs a tessarin_engine.Game, not %s",
                 Py_TYPE(game_object)->tp_name);
    return nullptr;
  }
  const Game& game = game_of(game_object);
  // A finished game is the host's argument to refuse; any other stop of the player is a broken
  // invariant (the guard makes it the engine stop).
  if (game.is_terminal()) {
    PyErr_SetString(PyExc_ValueError, "The heuristic player has no legal tile: the game is over");
    return nullptr;
  }
  Heuristic& heuristic = held<Heuristic>(self);
  const std::size_t tile = heuristic.player.choose(game, heuristic.random);
  return PyLong_FromSize_t(tile);
}

PyMethodDef heuristic_methods[] = {
    {"choose", as_cfunction<Guard<heuristic_choose>::call>(), METH_O,
     "choose(game)\n--\n\nThe tile the heuristic plays for the player to move in `game` (it does "
     "not play it). Raises ValueError when the game is over."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot heuristic_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Guard<heuristic_new>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_held<Heuristic>)},
    {Py_tp_methods, heuristic_methods},
    {Py_tp_doc,
     const_cast<char*>(
         "HeuristicPlayer(seed=None)\n--\n\nLays the largest piece it can, the placement that "
         "opens the most new corner cells, ties drawn from its own generator (seeded with `seed`, "
         "or from the system's entropy). It commits to a placement at the first tile of a turn "
         "and then plays that placement's squares.")},
    {0, nullptr},
};

PyType_Spec heuristic_spec = {"tessarin_engine.HeuristicPlayer", sizeof(Held<Heuristic>), 0,
                              Py_TPFLAGS_DEFAULT, heuristic_slots};

PyMethodDef module_methods[] = {
    {"replay_records", as_cfunction<Guard<replay_records_call>::call>(),
     METH_VARARGS | METH_KEYWORDS, kReplayRecordsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tessarin_engine",
    "The Tessarin game engine: Game(dim) plays one game square by square; HeuristicPlayer "
    "chooses tiles without a network; replay_records checks a chunk of training records against "
    "the rules.",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessarin::py

PyMODINIT_FUNC PyInit_tessarin_engine() {
  using tessarin::py::Ref;
  Ref module = Ref::steal(PyModule_Create(&tessarin::py::module_definition));
  if (!module || !tessarin::py::add_engine_stop(module.get())) return nullptr;
  // The board sides the engine plays, for hosts that check a stored side before using it.
  if (PyModule_AddIntConstant(module.get(), "MIN_DIM", 4) < 0 ||
      PyModule_AddIntConstant(module.get(), "MAX_DIM", static_cast<long>(tessarin::kMaxDim)) < 0) {
    return nullptr;
  }
  Ref type = Ref::steal(PyType_FromSpec(&tessarin::py::game_spec));
  if (!type || PyModule_AddObject(module.get(), "Game", type.get()) < 0) return nullptr;
  // The module holds the reference now, and keeps the type alive as long as choose() can run.
  tessarin::py::game_type = reinterpret_cast<PyTypeObject*>(type.release());
  Ref heuristic = Ref::steal(PyType_FromSpec(&tessarin::py::heuristic_spec));
  if (!heuristic || PyModule_AddObject(module.get(), "HeuristicPlayer", heuristic.get()) < 0) {
    return nullptr;
  }
  heuristic.release();
  if (!tessarin::py::add_batch_types(module.get())) return nullptr;
  return module.release();
}
