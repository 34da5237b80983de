// An evaluator that needs no network: equal logits for every tile and fixed value logits, so the
// priors are uniform over the legal tiles. For benchmarks, tests and as a baseline player.
#pragma once

#include <string>
#include <vector>

#include "evaluation.h"
#include "game.h"
#include "node.h"

namespace tessarin {

class UniformEvaluator {
 public:
  // Never produced: a uniform evaluation cannot fail.
  struct Error {
    std::string text() const { return {}; }
    std::string debug() const { return {}; }
  };

  Evaluation<Error> evaluate(Node& node, const Game& game) {
    ++evaluations_;
    if (game.is_terminal()) {
      const auto payoff = game.get_payoff();
      return Evaluation<Error>::success({payoff.begin(), payoff.end()});
    }
    logits_.assign(game.board().cell_count(), 0.0F);
    return Evaluation<Error>::success(
        expand_from_network(node, game, logits_, std::vector<float>(4, 0.0F), legal_));
  }

  // Evaluations made so far, terminal positions included.
  std::uint64_t evaluations() const { return evaluations_; }

 private:
  std::vector<float> logits_;
  std::vector<std::size_t> legal_;
  std::uint64_t evaluations_ = 0;
};

}  // namespace tessarin
