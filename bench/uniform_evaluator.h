// An evaluator that needs no network: equal logits for every tile and equal value logits, so the
// priors are uniform over the legal tiles. For benchmarks and tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "evaluation.h"
#include "game.h"

namespace tessarin {

class UniformEvaluator {
 public:
  // Never produced: a uniform evaluation cannot fail.
  struct Error {
    std::string text() const { return {}; }
    std::string debug() const { return {}; }
  };

  std::optional<Error> evaluate(const Game& game, Logits& out) {
    ++evaluations_;
    out.policy.assign(game.board().cell_count(), 0.0F);
    out.value.assign(4, 0.0F);
    return std::nullopt;
  }

  // Positions evaluated so far (terminal positions never reach an evaluator).
  std::uint64_t evaluations() const { return evaluations_; }

 private:
  std::uint64_t evaluations_ = 0;
};

static_assert(Evaluator<UniformEvaluator>);

}  // namespace tessarin
