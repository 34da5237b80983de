// Root noise is mixed into the root's priors once per search, however many simulations the search
// runs: the priors a search leaves are the network's, mixed once with one Dirichlet sample.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "game.h"
#include "node.h"
#include "random_source.h"
#include "search.h"
#include "search_config.h"

namespace tessarin {
namespace {

using Floats = std::vector<float>;

// One tile of the opening far ahead of the others; even values everywhere.
struct NoError {
  std::string text() const { return {}; }
  std::string debug() const { return {}; }
};

struct FavouriteEvaluator {
  using Error = NoError;
  std::size_t favourite = 0;
  std::optional<NoError> evaluate(const Game& game, Logits& out) {
    out.policy.assign(game.board().cell_count(), 0.0F);
    if (favourite < out.policy.size()) out.policy[favourite] = 4.0F;
    out.value.assign(4, std::log(0.25F));
    return std::nullopt;
  }
};

// A concentration so large that every Dirichlet sample is all but uniform: mixing it in once
// moves each prior half way to 1 / n, mixing it in k times moves it all but 2^-k of the way.
Config noisy_config(std::uint64_t sims) {
  Config config = test_search_config(7, sims, 0.5F);
  config.dirichlet_alpha = 1.0e5F;
  return config;
}

// The network's priors at the opening, by tile, as expansion computes them.
std::vector<std::pair<std::uint32_t, float>> network_priors(FavouriteEvaluator& evaluator) {
  Node root;
  const Game game = Game::reset(7);
  Config plain = noisy_config(0);
  plain.exploration_fraction = 0.0F;
  RandomSource random(1);
  EXPECT_EQ(search(evaluator, root, game, plain, random), std::nullopt);
  std::vector<std::pair<std::uint32_t, float>> priors;
  for (const Node& child : root.children())
    priors.emplace_back(child.tile(), child.prior());
  return priors;
}

TEST(SearchRootNoise, IsMixedOncePerSearchWhateverItsSimulations) {
  FavouriteEvaluator evaluator;
  const Game game = Game::reset(7);
  evaluator.favourite = game.get_legal_tiles().front();
  const auto priors = network_priors(evaluator);
  ASSERT_GE(priors.size(), 2u);
  const float uniform = 1.0F / static_cast<float>(priors.size());

  for (const std::uint64_t sims : {0u, 1u, 40u}) {
    Node root;
    RandomSource random(2);
    ASSERT_EQ(search(evaluator, root, game, noisy_config(sims), random), std::nullopt);
    ASSERT_EQ(root.children().size(), priors.size());
    // The priors are those of one mixing, whatever the number of simulations.
    for (const auto& [tile, prior] : priors) {
      EXPECT_NEAR(root.child(tile)->prior(), 0.5F * prior + 0.5F * uniform, 2e-3F)
          << "tile " << tile << " after " << sims << " simulations";
    }
    // A second search from the kept root mixes in one more sample, once.
    ASSERT_EQ(search(evaluator, root, game, noisy_config(sims), random), std::nullopt);
    for (const auto& [tile, prior] : priors) {
      EXPECT_NEAR(root.child(tile)->prior(), 0.25F * prior + 0.75F * uniform, 2e-3F)
          << "tile " << tile << " after a second search of " << sims << " simulations";
    }
  }
}

TEST(SearchRootNoise, TheBatchedSearchWithoutNoiseKeepsTheNetworksPriors) {
  FavouriteEvaluator evaluator;
  const Game game = Game::reset(7);
  evaluator.favourite = game.get_legal_tiles().front();
  const auto priors = network_priors(evaluator);
  const Config config = noisy_config(30);
  Node root;
  RandomSource random(3);
  PositionSearch stepped(root, game, config, random, nullptr, config.sims_per_move, false);
  Logits logits;
  while (const Game* position = stepped.next()) {
    ASSERT_EQ(evaluator.evaluate(*position, logits), std::nullopt);
    stepped.complete(logits.policy, logits.value);
  }
  EXPECT_EQ(stepped.failure(), std::nullopt);
  EXPECT_EQ(root.visit_count(), 30u);
  for (const auto& [tile, prior] : priors)
    EXPECT_FLOAT_EQ(root.child(tile)->prior(), prior) << "tile " << tile;
}

}  // namespace
}  // namespace tessarin
