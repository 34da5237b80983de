// Test games: the network without search in seat 0 against three random players, or against a
// baseline network in seats 1 to 3. A network-guided seat evaluates the position once and plays
// the legal tile with the highest prior (raw_policy.h).
//
// A chosen tile that the game refuses (a child the evaluation made for a tile that is not legal)
// is a broken invariant and throws FatalStop with the engine's text.
//
// The drivers reach the world only through a host: an evaluator, `config()`,
// `put_test_result(payoff)` (failures ignored), `write_stdout(text)`, and
// `route_requests_for(player)` (the baseline network answers for seats 1 to 3 of test_game).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "quote.h"
#include "random_source.h"
#include "raw_policy.h"

namespace tessarin {

// What the test drivers need of their host besides an evaluator.
template <class H>
concept TestGameHost = Evaluator<H> && requires(H& host, float payoff, std::size_t player) {
  { host.config() } -> std::convertible_to<const Config&>;
  host.put_test_result(payoff);
  host.write_stdout(std::string());
  host.route_requests_for(player);
};

// Text of the one failure a test game reports.
inline constexpr const char* kTestGameFailure = "Error running MCTS";
// The side of every game against the baseline network.
inline constexpr std::size_t kBaselineGameDim = 20;

// The tile of highest prior after one evaluation of `game` (see raw_policy.h), or the error text.
template <Evaluator Host>
std::variant<std::size_t, std::string> best_action(Host& host, const Game& game) {
  if (game.is_terminal()) fatal("cannot sample empty range");
  Logits logits;
  if (std::optional<typename Host::Error> error = host.evaluate(game, logits)) {
    return "Error evaluating root node: " + error->debug();
  }
  std::vector<std::size_t> legal;
  return raw_policy_tile(game, logits.policy, logits.value, RawChoice::kBestPrior, thread_random(),
                         legal);
}

namespace detail {

template <class Host>
void report_failure(Host& host, const std::string& text) {
  host.write_stdout(std::string(kTestGameFailure) + ": " + tessarin::quoted(text) + "\n");
}

}  // namespace detail

// Seat 0 by the network, seats 1 to 3 uniformly random, on a board of config().dim. Returns 0
// after putting the test result, or 1 after an evaluation failure (printed, nothing put).
template <TestGameHost Host>
std::uint8_t test_against_random(Host& host) {
  Game game = Game::reset(host.config().dim);
  std::vector<std::size_t> legal;
  while (!game.is_terminal()) {
    std::size_t action;
    if (game.current_player() != 0) {
      game.legal_tiles(legal);
      if (legal.empty()) fatal("cannot sample empty range");
      action = legal[thread_random().uniform_index(legal.size())];
    } else {
      auto choice = best_action(host, game);
      if (auto* text = std::get_if<std::string>(&choice)) {
        detail::report_failure(host, *text);
        return 1;
      }
      action = std::get<std::size_t>(choice);
    }
    game.apply_legal(action);
  }
  host.put_test_result(game.get_payoff()[0]);
  return 0;
}

// Seat 0 by the network under test, seats 1 to 3 by the baseline network, always on a 20 x 20
// board. Prints "Finished Game" and the board at the end; returns the payoff of seat 0, or the
// failure text after an evaluation failure (printed).
template <TestGameHost Host>
std::variant<float, std::string> test_game(Host& host) {
  Game game = Game::reset(kBaselineGameDim);
  while (!game.is_terminal()) {
    host.route_requests_for(game.current_player());
    auto choice = best_action(host, game);
    if (auto* text = std::get_if<std::string>(&choice)) {
      detail::report_failure(host, *text);
      return std::string(kTestGameFailure);
    }
    game.apply_legal(std::get<std::size_t>(choice));
  }
  host.write_stdout("Finished Game\n" + game.board().render() + "\n");
  return game.get_payoff()[0];
}

}  // namespace tessarin
