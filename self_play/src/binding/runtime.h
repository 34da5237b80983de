// The per-call context of an entry function: the caller's queues and pipe (borrowed for the
// call), the run configuration and the worker id. It evaluates positions through the network
// process and is the host the game drivers run against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "exchange.h"
#include "game.h"
#include "host_error.h"
#include "node.h"
#include "training_game.h"

namespace tessarin::py {

class Runtime {
 public:
  using Error = HostError;

  // The objects are borrowed: the entry function holds them for the whole call.
  Runtime(PyObject* result_queue, PyObject* inference_queue, PyObject* pipe, Config config,
          std::int32_t id);

  // Evaluates the position of `game` (not over): puts (id, position) on the inference queue and
  // takes the reply's logits from the pipe into `out`. A failed host call or a malformed reply
  // (an item missing or not a sequence of numbers, value logits other than one per player)
  // returns the host error. Throws FatalStop for a representation other than 1 or 2.
  std::optional<HostError> evaluate(const Game& game, Logits& out);

  // The game drivers, run against this runtime.
  std::uint8_t training_game();
  std::variant<std::size_t, std::string> best_action(const Game& game);
  std::uint8_t test_against_random();
  std::variant<float, std::string> test_game(PyObject* model_queue, PyObject* baseline_queue);

  // Host hooks of the drivers.
  const Config& config() const { return config_; }
  void put_test_result(float payoff);
  void put_training_record(const TrainingRecord& record);
  void write_stdout(std::string_view text);
  void route_requests_for(std::size_t player);

 private:
  PyObject* result_queue_;
  PyObject* inference_queue_;
  PyObject* pipe_;
  Config config_;
  std::int32_t id_;
  Exchange exchange_;
  PyObject* model_queue_ = nullptr;
  PyObject* baseline_queue_ = nullptr;
  std::vector<std::uint8_t> state_;
};

}  // namespace tessarin::py
