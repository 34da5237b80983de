// What the search asks of a network, and the one step that turns a network's outputs into a
// node's children and a value per player. The host binding asks the real network; tests and
// benchmarks use scripted evaluators. Terminal positions never reach an evaluator: the search
// backs their payoff up itself.
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "game.h"
#include "node.h"
#include "random_source.h"

namespace tessarin {

// The network's raw answer for one position: one policy logit per cell, and value logits
// relative to the player to move (entry j belongs to player (mover + j) mod 4).
struct Logits {
  std::vector<float> policy;
  std::vector<float> value;
};

// A failed evaluation, as the drivers report it: `text()` in messages, `debug()` for people.
template <class E>
concept EvaluationError = requires(const E& error) {
  { error.text() } -> std::convertible_to<std::string>;
  { error.debug() } -> std::convertible_to<std::string>;
};

// Maps one position that is not over to its logits (written into `out`), or fails with an error
// (nullopt on success). Whatever it does on the way (host calls, a nested search on the same
// thread) must leave the caller's search alone.
template <class E>
concept Evaluator = EvaluationError<typename E::Error> &&
    requires(E& evaluator, const Game& game, Logits& out) {
  { evaluator.evaluate(game, out) } -> std::same_as<std::optional<typename E::Error>>;
};

// Expands `node` for the position of `game` (not over) from a network's answer: priors from a
// masked softmax of `policy_logits` over the legal tiles, one child per legal tile with a prior
// above 0 (order shuffled by `random`), `node`'s player set to the player to move and its network
// value to that player's entry of the values; returns the softmax of `value_logits` rotated from
// "relative to the player to move" into absolute player order. Non-finite logits are not refused:
// they give NaN priors (no child) or NaN values. `legal` is scratch storage. Throws FatalStop for a
// legal tile without a logit or fewer values than the index of the player to move.
std::vector<float> expand_from_network(Node& node, const Game& game,
                                       std::span<const float> policy_logits,
                                       std::vector<float> value_logits,
                                       std::vector<std::size_t>& legal, RandomSource& random);
// The same, the values written into `values`: with `values` and `legal` kept from one call to
// the next, nothing is allocated but the node's children.
void expand_from_network(Node& node, const Game& game, std::span<const float> policy_logits,
                         std::span<const float> value_logits, std::vector<float>& values,
                         std::vector<std::size_t>& legal, RandomSource& random);

}  // namespace tessarin
