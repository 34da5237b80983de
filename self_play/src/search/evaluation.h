// What an evaluation of a position gives back, and the step that turns a network's outputs into
// a node's children and a value per player. The host binding asks the real network; tests and
// benchmarks use scripted evaluators.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "game.h"
#include "node.h"

namespace tessarin {

// Either the value of every player (by absolute player) or the host's error.
template <class Error>
class Evaluation {
 public:
  static Evaluation success(std::vector<float> values) { return Evaluation(std::move(values)); }
  static Evaluation failure(Error error) { return Evaluation(std::move(error)); }

  bool ok() const { return std::holds_alternative<std::vector<float>>(outcome_); }
  // Precondition: ok().
  const std::vector<float>& values() const { return std::get<std::vector<float>>(outcome_); }
  // Precondition: !ok().
  Error& error() { return std::get<Error>(outcome_); }

 private:
  explicit Evaluation(std::vector<float> values) : outcome_(std::move(values)) {}
  explicit Evaluation(Error error) : outcome_(std::move(error)) {}

  std::variant<std::vector<float>, Error> outcome_;
};

// The network's answer for the position of `game` (not over): priors from a masked softmax of
// `policy_logits` over the legal tiles, one child of `node` per legal tile with a prior above 0
// (in random order), `node`'s player set to the player to move; returns the softmax of
// `value_logits` rotated from "relative to the player to move" into absolute player order.
// `legal` is scratch storage. Throws FatalStop for a legal tile without a logit or fewer values
// than the index of the player to move.
std::vector<float> expand_from_network(Node& node, const Game& game,
                                       std::span<const float> policy_logits,
                                       std::vector<float> value_logits,
                                       std::vector<std::size_t>& legal);

}  // namespace tessarin
