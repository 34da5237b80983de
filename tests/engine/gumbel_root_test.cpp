// The Gumbel root: sequential halving's schedule over the considered tiles, the completed values
// and the completed-Q policy target, and whole searches and games with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "game.h"
#include "gumbel_root.h"
#include "node.h"
#include "random_source.h"
#include "search.h"
#include "search_config.h"
#include "training_game.h"

namespace tessarin {
namespace {

using Floats = std::vector<float>;
using Priors = std::vector<std::pair<std::uint32_t, float>>;

Config gumbel_config(std::uint64_t sims, std::uint64_t considered) {
  Config config = test_search_config(7, sims, 0.25F);
  config.root_search = RootSearch::kGumbel;
  config.gumbel_considered = considered;
  return config;
}

// A root of player 0 with `children` children of equal prior on tiles 0, 1, ..., and network
// value 0.5.
Node uniform_root(std::size_t children, RandomSource& random) {
  Priors priors;
  for (std::size_t tile = 0; tile < children; ++tile)
    priors.emplace_back(static_cast<std::uint32_t>(tile), 1.0F / static_cast<float>(children));
  Node root;
  root.expand(priors, random);
  root.set_network_value(0.5F);
  return root;
}

// Runs `simulations` simulations through the children GumbelRoot names, each worth
// `value_of(tile)` to the player at the root; returns the visits of this search by tile.
std::vector<std::uint32_t> halve(Node& root, GumbelRoot& gumbel, std::uint64_t simulations,
                                 const std::function<float(std::uint32_t)>& value_of) {
  std::vector<std::uint32_t> visits(root.children().size());
  for (std::uint64_t s = 0; s < simulations; ++s) {
    Node& child = root.children()[gumbel.next_child(root)];
    child.add_visit(value_of(child.tile()));
    root.add_visit();
    ++visits[child.tile()];
  }
  return visits;
}

std::uint64_t sum(const std::vector<std::uint32_t>& visits) {
  return std::accumulate(visits.begin(), visits.end(), std::uint64_t{0});
}

TEST(SequentialHalving, SixteenOfTwentyTilesOverSixtyFourSimulations) {
  // Four phases of 16 simulations: 16 tiles once, 8 twice, 4 four times, 2 eight times. Tile t is
  // worth t / 20, so every halving keeps the better half and the best tile is chosen.
  RandomSource random(3);
  Node root = uniform_root(20, random);
  GumbelRoot gumbel;
  gumbel.start(root, gumbel_config(64, 16), 64, false, random);
  EXPECT_EQ(gumbel.phases(), 4u);
  ASSERT_EQ(gumbel.survivors().size(), 16u);
  std::vector<std::uint32_t> considered;  // tiles
  for (const std::uint32_t survivor : gumbel.survivors())
    considered.push_back(root.children()[survivor].tile());
  std::vector<std::uint32_t> visits =
      halve(root, gumbel, 64, [](std::uint32_t tile) { return static_cast<float>(tile) / 20.0F; });
  EXPECT_EQ(sum(visits), 64u);
  EXPECT_EQ(gumbel.survivors().size(), 2u);

  // By value among the considered tiles: the best two 15 visits, then 7, 7, 3 x 4, 1 x 8.
  std::vector<std::uint32_t> by_value = considered;
  std::sort(by_value.begin(), by_value.end(), std::greater<>());
  const std::vector<std::uint32_t> expected = {15, 15, 7, 7, 3, 3, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1};
  for (std::size_t i = 0; i < by_value.size(); ++i)
    EXPECT_EQ(visits[by_value[i]], expected[i]) << "tile " << by_value[i];
  for (std::uint32_t tile = 0; tile < 20; ++tile) {
    if (std::find(considered.begin(), considered.end(), tile) == considered.end()) {
      EXPECT_EQ(visits[tile], 0u) << "tile " << tile << " was not considered";
    }
  }
  EXPECT_EQ(root.children()[gumbel.chosen(root)].tile(), by_value.front());
}

TEST(SequentialHalving, SpendsExactlyTheBudgetWhateverTheTilesAndSimulations) {
  struct Case {
    std::size_t children;
    std::uint64_t considered;
    std::uint64_t simulations;
    std::size_t phases;
    std::size_t survivors;  // at the end
  };
  // More considered than legal tiles (5 of 16), one legal tile, budgets below k, odd counts.
  for (const Case& c : {Case{5, 16, 64, 3, 2}, Case{1, 16, 64, 1, 1}, Case{30, 16, 4, 4, 2},
                        Case{30, 16, 1, 4, 2}, Case{9, 9, 50, 4, 2}, Case{2, 16, 7, 1, 2},
                        Case{40, 3, 200, 2, 2}, Case{12, 16, 0, 4, 12}}) {
    RandomSource random(c.children * 31 + c.simulations);
    Node root = uniform_root(c.children, random);
    GumbelRoot gumbel;
    gumbel.start(root, gumbel_config(c.simulations, c.considered), c.simulations, true, random);
    const std::vector<std::uint32_t> visits = halve(root, gumbel, c.simulations, [](auto tile) {
      return static_cast<float>((tile * 7) % 11) / 11.0F;
    });
    const std::string where = std::to_string(c.children) + " tiles, k " +
                              std::to_string(c.considered) + ", " + std::to_string(c.simulations) +
                              " simulations";
    EXPECT_EQ(sum(visits), c.simulations) << where;
    EXPECT_EQ(gumbel.phases(), c.phases) << where;
    EXPECT_EQ(gumbel.survivors().size(), c.survivors) << where;
    const std::size_t chosen = gumbel.chosen(root);
    EXPECT_NE(std::find(gumbel.survivors().begin(), gumbel.survivors().end(), chosen),
              gumbel.survivors().end())
        << where;
  }
}

TEST(SequentialHalving, WithoutNoiseTheTilesOfHighestPriorAreConsidered) {
  RandomSource random(5);
  Node root;
  root.expand(Priors{{0, 0.05F}, {1, 0.4F}, {2, 0.1F}, {3, 0.3F}, {4, 0.15F}}, random);
  GumbelRoot gumbel;
  gumbel.start(root, gumbel_config(8, 2), 8, false, random);
  std::vector<std::uint32_t> tiles;
  for (const std::uint32_t survivor : gumbel.survivors())
    tiles.push_back(root.children()[survivor].tile());
  EXPECT_EQ(tiles, (std::vector<std::uint32_t>{1, 3}));
}

TEST(CompletedQ, UnvisitedTilesTakeTheMixedValue) {
  // Priors 0.5, 0.3, 0.2; the first visited twice (0.6, 0.8), the second once (0.1), the third
  // never; the network values the root 0.4. v_mix = (0.4 + 3 * (0.5 * 0.7 + 0.3 * 0.1) / 0.8) / 4.
  RandomSource random(8);
  Node root;
  root.expand(Priors{{0, 0.5F}, {1, 0.3F}, {2, 0.2F}}, random);
  root.child(0)->add_visit(0.6F);
  root.child(0)->add_visit(0.8F);
  root.child(1)->add_visit(0.1F);
  Floats completed;
  completed_values(root, 0.4F, completed);
  for (std::size_t i = 0; i < completed.size(); ++i) {
    const std::uint32_t tile = root.children()[i].tile();
    const float expected = tile == 0 ? 0.7F : tile == 1 ? 0.1F : 0.45625F;
    EXPECT_NEAR(completed[i], expected, 1e-5F) << "tile " << tile;
  }
  // Without any visit every tile takes the network's value.
  Node fresh;
  fresh.expand(Priors{{0, 0.5F}, {1, 0.5F}}, random);
  completed_values(fresh, 0.3F, completed);
  EXPECT_EQ(completed, (Floats{0.3F, 0.3F}));
}

TEST(CompletedQ, TargetIsADistributionThatFavoursAClearlyBetterVisitedTile) {
  RandomSource random(9);
  Node root;
  root.expand(Priors{{0, 0.6F}, {1, 0.3F}, {2, 0.1F}}, random);
  Floats target;
  // No visits: every tile gets the same completed value, and the target is the prior.
  completed_q_policy(root, 0.5F, 50.0F, 1.0F, target);
  for (std::size_t i = 0; i < target.size(); ++i)
    EXPECT_NEAR(target[i], root.children()[i].prior(), 1e-6F);

  // Tile 2 (prior 0.1) wins every visit, tile 0 loses every one: the target turns to tile 2.
  for (int k = 0; k < 4; ++k) {
    root.child(2)->add_visit(0.9F);
    root.child(0)->add_visit(0.1F);
  }
  completed_q_policy(root, 0.5F, 50.0F, 1.0F, target);
  float total = 0.0F;
  for (std::size_t i = 0; i < target.size(); ++i) {
    EXPECT_TRUE(std::isfinite(target[i]));
    total += target[i];
    const std::uint32_t tile = root.children()[i].tile();
    if (tile == 2) {
      EXPECT_GT(target[i], 0.9F);
    }
    if (tile == 0) {
      EXPECT_LT(target[i], root.child(0)->prior());
    }
  }
  EXPECT_NEAR(total, 1.0F, 1e-5F);
}

// Uneven policy logits and values from the position's legal tiles, the same for the same position.
struct UnevenEvaluator {
  struct Error {
    std::string text() const { return {}; }
    std::string debug() const { return {}; }
  };
  std::uint64_t evaluations = 0;

  std::optional<Error> evaluate(const Game& game, Logits& out) {
    ++evaluations;
    out.policy.assign(game.board().cell_count(), 0.0F);
    std::uint64_t h = game.history().size() * 0x9E3779B97F4A7C15ULL + game.current_player();
    for (const std::size_t tile : game.get_legal_tiles()) {
      h = (h ^ tile) * 0x100000001B3ULL;
      out.policy[tile] = static_cast<float>((h >> 33) % 100) / 40.0F;
    }
    out.value.resize(4);
    for (std::size_t j = 0; j < 4; ++j)
      out.value[j] = static_cast<float>((h >> (8 * j)) % 64) / 32.0F;
    return std::nullopt;
  }
};
static_assert(Evaluator<UnevenEvaluator>);

TEST(GumbelSearch, SpendsTheBudgetAndLeavesItsChoiceAndTarget) {
  const Config config = gumbel_config(24, 8);
  Game game = Game::reset(7);
  UnevenEvaluator evaluator;
  RandomSource random(11);
  Node root;
  TileMoveTableCache tables;
  PositionSearch search(root, game, config, random, &tables);
  Logits logits;
  while (const Game* position = search.next()) {
    ASSERT_EQ(evaluator.evaluate(*position, logits), std::nullopt);
    search.complete(logits.policy, logits.value);
  }
  ASSERT_EQ(search.failure(), std::nullopt);
  std::uint32_t visits = 0;
  for (const Node& child : root.children())
    visits += child.visit_count();
  EXPECT_EQ(visits, 24u);
  EXPECT_EQ(root.visit_count(), 24u);
  // No Dirichlet noise: the priors are still the network's.
  Floats target;
  completed_q_policy(root, root.network_value(), 50.0F, 1.0F, target);
  EXPECT_EQ(Floats(search.policy_target().begin(), search.policy_target().end()), target);
  ASSERT_TRUE(search.chosen_tile().has_value());
  ASSERT_NE(root.child(*search.chosen_tile()), nullptr);
  EXPECT_GT(root.child(*search.chosen_tile())->visit_count(), 0u);
}

TEST(GumbelSearch, TrainingGamesAreSeededAndRecordTheCompletedQTarget) {
  struct Host : UnevenEvaluator {
    Config settings = gumbel_config(16, 8);
    std::vector<TrainingRecord> records;
    const Config& config() const { return settings; }
    void put_training_record(const TrainingRecord& record) { records.push_back(record); }
  };
  Host first;
  Host second;
  RandomSource random_a(12);
  RandomSource random_b(12);
  ASSERT_EQ(training_game(first, random_a), 0u);
  ASSERT_EQ(training_game(second, random_b), 0u);
  ASSERT_EQ(first.records.size(), 1u);
  ASSERT_EQ(second.records.size(), 1u);
  EXPECT_EQ(first.records[0].history, second.records[0].history);
  EXPECT_EQ(first.records[0].policies, second.records[0].policies);

  // Visit shares leave the tiles a search never visited at 0; the completed-Q target gives every
  // legal tile a share, those included.
  for (const Policy& policy : first.records[0].policies) {
    double total = 0.0;
    for (const auto& [tile, share] : policy) {
      EXPECT_TRUE(std::isfinite(share) && share > 0.0F) << "tile " << tile << ": " << share;
      total += share;
    }
    EXPECT_NEAR(total, 1.0, 1e-5);
  }
}

}  // namespace
}  // namespace tessarin
