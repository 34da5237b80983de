#include "record_replay_call.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <variant>

#include "board.h"
#include "buffer_object.h"
#include "errors.h"
#include "game.h"
#include "py_buffer_view.h"
#include "py_convert.h"
#include "record_replay.h"

namespace tessarin::py {
namespace {

// A replay's samples beyond this are refused: the host turns the uint8 planes into float32, four
// times their bytes, so a chunk past 4 GiB of samples would need more than 16 GiB to train on.
constexpr std::size_t kDefaultMaxBytes = std::size_t{1} << 32;

// One argument's buffer: C-contiguous, of items `format` ("i" int32, "f" float32, "?" bool) and
// `ndim` dimensions, the last one `columns` long where given.
struct ArrayArgument {
  const char* name;
  const char* format;
  const char* type_text;  // "int32", for messages
  std::size_t itemsize;
  int ndim;
  Py_ssize_t columns;  // -1: any
  BufferView view;

  std::string expected() const {
    std::string shape = ndim == 1 ? "[n]" : "[n, " + std::to_string(columns) + "]";
    if (columns < 0) shape = ndim == 1 ? "[n]" : "[n, m]";
    return std::string(name) + " must be a C-contiguous " + type_text + " array of shape " + shape;
  }

  // False with TypeError (another item type) or ValueError (another layout) set.
  bool take(PyObject* object) {
    if (PyObject_CheckBuffer(object) == 0) {
      PyErr_Format(PyExc_TypeError, "%s, not %s", expected().c_str(), Py_TYPE(object)->tp_name);
      return false;
    }
    if (!view.take(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
      if (PyErr_ExceptionMatches(PyExc_BufferError) == 0 &&
          PyErr_ExceptionMatches(PyExc_ValueError) == 0) {
        return false;
      }
      raise_from_current(PyExc_ValueError, expected() + "; this one is not C-contiguous");
      return false;
    }
    const Py_buffer& buffer = view.get();
    std::string given = buffer.format == nullptr ? "B" : buffer.format;
    // Native or little-endian items: this module is built for little-endian machines only.
    if (!given.empty() && (given[0] == '@' || given[0] == '=' || given[0] == '<'))
      given.erase(0, 1);
    if (given != format || static_cast<std::size_t>(buffer.itemsize) != itemsize) {
      PyErr_Format(PyExc_TypeError, "%s; this one holds items of format '%s'", expected().c_str(),
                   buffer.format == nullptr ? "B" : buffer.format);
      return false;
    }
    if (buffer.ndim != ndim || (columns >= 0 && buffer.shape[ndim - 1] != columns)) {
      PyErr_Format(PyExc_ValueError, "%s, not one of %d dimensions%s", expected().c_str(),
                   buffer.ndim, buffer.ndim == ndim ? " with that last length" : "");
      return false;
    }
    return true;
  }

  template <class T>
  std::span<const T> items() const {
    const Py_buffer& buffer = view.get();
    return {static_cast<const T*>(buffer.buf), static_cast<std::size_t>(buffer.len) / itemsize};
  }
};

}  // namespace

const char* const kReplayRecordsDoc =
    "replay_records(dim, actions, game_lengths, policy, has_policy, payoffs, *, "
    "max_bytes=2**32)\n--\n\n"
    "Replays every game of one record chunk on the engine and returns its training samples, one "
    "per action with a policy target, as Buffers (states, values, ownership): uint8 [M, 5, dim, "
    "dim] network inputs of the player to move; float32 [M, 4] payoffs relative to it (entry j "
    "is player (mover + j) mod 4's); uint8 [M, dim, dim] owners of the final position relative to "
    "it (4 where nobody covers the cell).\n\n"
    "The arrays are a chunk's, C-contiguous: actions int32 [N, 2] (player, tile), game_lengths "
    "int32 [G], policy float32 [N, dim * dim] visit shares, has_policy bool [N], payoffs float32 "
    "[G, 4] by player. Raises ValueError naming the game and the action where the side is not "
    "one the engine plays, the sizes disagree, the samples would need more than max_bytes, a "
    "player is not to move, a tile is not legal, a policy target is not a distribution over the "
    "legal tiles (finite, non-negative, summing to 1 within 1e-5), a game is not over at its end "
    "or its payoffs are not the engine's for its final position.";

PyObject* replay_records_call(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"dim",        "actions", "game_lengths", "policy",
                                   "has_policy", "payoffs", "max_bytes",    nullptr};
  PyObject* dim_object = nullptr;
  std::array<PyObject*, 5> objects{};
  PyObject* max_bytes_object = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|$O:replay_records",
                                  const_cast<char**>(keywords), &dim_object, &objects[0],
                                  &objects[1], &objects[2], &objects[3], &objects[4],
                                  &max_bytes_object) == 0) {
    return nullptr;
  }
  std::uint64_t dim = 0;
  if (!convert_u64(dim_object, dim)) return nullptr;
  std::uint64_t max_bytes = kDefaultMaxBytes;
  if (max_bytes_object != nullptr && !convert_u64(max_bytes_object, max_bytes)) return nullptr;
  // The policy's rows are checked against the side once the side is known to be the engine's.
  const bool side_in_range = dim >= 4 && dim <= kMaxDim;
  const auto cells = static_cast<Py_ssize_t>(side_in_range ? dim * dim : 0);
  std::array<ArrayArgument, 5> arrays = {{
      {"actions", "i", "int32", 4, 2, 2, {}},
      {"game_lengths", "i", "int32", 4, 1, -1, {}},
      {"policy", "f", "float32", 4, 2, side_in_range ? cells : -1, {}},
      {"has_policy", "?", "bool", 1, 1, -1, {}},
      {"payoffs", "f", "float32", 4, 2, static_cast<Py_ssize_t>(kPlayers), {}},
  }};
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    if (!arrays[i].take(objects[i])) return nullptr;
  }
  const RecordChunk chunk{
      .dim = static_cast<std::size_t>(dim),
      .actions = arrays[0].items<std::int32_t>(),
      .game_lengths = arrays[1].items<std::int32_t>(),
      .policy = arrays[2].items<float>(),
      .has_policy = arrays[3].items<std::uint8_t>(),
      .payoffs = arrays[4].items<float>(),
  };
  const std::variant<ReplayPlan, RecordFault> planned =
      plan_replay(chunk, static_cast<std::size_t>(max_bytes));
  if (const RecordFault* fault = std::get_if<RecordFault>(&planned)) {
    PyErr_SetString(PyExc_ValueError, fault->text().c_str());
    return nullptr;
  }
  const std::size_t samples = std::get<ReplayPlan>(planned).samples;
  const std::size_t side = chunk.dim;
  const std::size_t area = side * side;
  Ref states = new_buffer(samples * kStatePlanes * area, "B", 1);
  Ref values = new_buffer(samples * kPlayers * sizeof(float), "f", sizeof(float));
  Ref ownership = new_buffer(samples * area, "B", 1);
  if (!states || !values || !ownership) return nullptr;
  const ReplaySamples out{
      .states = {reinterpret_cast<std::uint8_t*>(buffer_memory(states.get()).data()),
                 samples * kStatePlanes * area},
      .values = {reinterpret_cast<float*>(buffer_memory(values.get()).data()), samples * kPlayers},
      .ownership = {reinterpret_cast<std::uint8_t*>(buffer_memory(ownership.get()).data()),
                    samples * area},
  };
  std::optional<RecordFault> fault;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS;
  try {
    fault = replay_records(chunk, out);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS;
  if (failure) {
    set_error_from(failure);
    return nullptr;
  }
  if (fault) {
    PyErr_SetString(PyExc_ValueError, fault->text().c_str());
    return nullptr;
  }
  const std::array<std::size_t, 4> state_shape = {samples, kStatePlanes, side, side};
  const std::array<std::size_t, 2> value_shape = {samples, kPlayers};
  const std::array<std::size_t, 3> owner_shape = {samples, side, side};
  set_buffer_shape(states.get(), state_shape);
  set_buffer_shape(values.get(), value_shape);
  set_buffer_shape(ownership.get(), owner_shape);
  return PyTuple_Pack(3, states.get(), values.get(), ownership.get());
}

}  // namespace tessarin::py
