#include "runtime.h"

#include <array>
#include <string>

#include "exchange.h"
#include "fatal.h"
#include "host_calls.h"
#include "py_convert.h"
#include "py_list.h"
#include "test_games.h"
#include "training_record.h"

namespace tessarin::py {

static_assert(TrainingHost<Runtime> && TestGameHost<Runtime>);

Runtime::Runtime(PyObject* result_queue, PyObject* inference_queue, PyObject* pipe, Config config,
                 std::int32_t id)
    : result_queue_(result_queue),
      inference_queue_(inference_queue),
      pipe_(pipe),
      config_(config),
      id_(id),
      exchange_(id) {}

std::optional<HostError> Runtime::evaluate(const Game& game, Logits& out) {
  if (config_.rep != 1 && config_.rep != 2) fatal("Invalid representation type");
  const bool channels_last = config_.rep == 2;
  const std::size_t dim = game.dim();
  state_.resize(kStatePlanes * dim * dim);
  game.write_game_state(channels_last, state_);
  const std::array<std::size_t, 3> shape = channels_last
                                               ? std::array<std::size_t, 3>{dim, dim, kStatePlanes}
                                               : std::array<std::size_t, 3>{kStatePlanes, dim, dim};
  if (!exchange_.evaluate(inference_queue_, pipe_, state_, shape, out.policy, out.value)) {
    return take_host_error();
  }
  // One value per player: any other count would land values on the wrong players.
  if (out.value.size() != kPlayers) {
    return HostError::make(PyExc_ValueError, "the reply has " + std::to_string(out.value.size()) +
                                                 " value logits; it needs " +
                                                 std::to_string(kPlayers) + ", one per player");
  }
  return std::nullopt;
}

std::uint8_t Runtime::training_game() {
  return tessarin::training_game(*this);
}

std::variant<std::size_t, std::string> Runtime::best_action(const Game& game) {
  return tessarin::best_action(*this, game);
}

std::uint8_t Runtime::test_against_random() {
  return tessarin::test_against_random(*this);
}

std::variant<float, std::string> Runtime::test_game(PyObject* model_queue,
                                                    PyObject* baseline_queue) {
  model_queue_ = model_queue;
  baseline_queue_ = baseline_queue;
  return tessarin::test_game(*this);
}

void Runtime::put_test_result(float payoff) {
  Ref result = Ref::steal(Py_BuildValue("(id)", id_, static_cast<double>(payoff)));
  if (!result || !call_put(result_queue_, result.get())) (void)take_host_error();
}

void Runtime::put_training_record(const TrainingRecord& record) {
  Ref content = record_tuple(record);
  Ref item = content ? Ref::steal(Py_BuildValue("(iO)", id_, content.get())) : Ref();
  if (!item || !call_put(result_queue_, item.get())) (void)take_host_error();
}

void Runtime::write_stdout(std::string_view text) {
  write_stream("stdout", text);
}

void Runtime::route_requests_for(std::size_t player) {
  inference_queue_ = player == 0 ? model_queue_ : baseline_queue_;
}

}  // namespace tessarin::py
