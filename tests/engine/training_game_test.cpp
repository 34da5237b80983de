// The training game: the sampled and greedy choices from visit counts, and whole games against a
// host with uniform priors whose records are replayed on a fresh game.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "node.h"
#include "random_source.h"
#include "search_config.h"
#include "training_game.h"
#include "uniform_evaluator.h"

namespace tessarin {
namespace {

// Uniform priors, the payoff at the end, and every record kept.
class UniformHost {
 public:
  explicit UniformHost(std::uint64_t sims, std::uint64_t sample_moves = 10)
      : config_{test_search_config(7, sims, 0.25F, sample_moves)} {}

  using Error = UniformEvaluator::Error;
  std::optional<Error> evaluate(const Game& game, Logits& out) {
    return evaluator_.evaluate(game, out);
  }
  const Config& config() const { return config_; }
  void put_training_record(const TrainingRecord& record) { records.push_back(record); }

  std::vector<TrainingRecord> records;

 private:
  Config config_;
  UniformEvaluator evaluator_;
};

bool lists(const Policy& policy, std::int32_t tile) {
  for (const auto& [listed, share] : policy) {
    if (listed == tile) return true;
  }
  return false;
}

TEST(TrainingChoice, SampledChoiceTakesTheFirstRunningSumAboveR) {
  const VisitDistribution dist = {{7, 1}, {9, 3}};
  EXPECT_EQ(sample_action(dist, 4, 0.2F), 7u);
  EXPECT_EQ(sample_action(dist, 4, 0.3F), 9u);
  EXPECT_EQ(sample_action(dist, 4, 0.0F), 7u);
  EXPECT_EQ(sample_action(dist, 4, 0.25F), 9u);  // a sum equal to r is not above it
  // No visits: every share is NaN and the last tile is taken.
  EXPECT_EQ(sample_action({{7, 0}, {9, 0}, {5, 0}}, 0, 0.0F), 5u);
}

TEST(TrainingChoice, GreedyChoiceTakesTheLastOfTheMostVisited) {
  EXPECT_EQ(greedy_action({{3, 2}, {8, 5}, {6, 5}, {1, 4}}), 6u);
  EXPECT_EQ(greedy_action({{3, 9}, {8, 5}}), 3u);
  EXPECT_EQ(greedy_action({{3, 0}, {8, 0}}), 8u);
}

TEST(TrainingGame, RecordReplaysToTheEndWithPoliciesForEveryAction) {
  thread_random().seed(21);
  UniformHost host(6);
  ASSERT_EQ(training_game(host), 0u);
  ASSERT_EQ(host.records.size(), 1u);
  const TrainingRecord& record = host.records[0];
  ASSERT_EQ(record.history.size(), record.policies.size());
  ASSERT_GT(record.history.size(), 4u);

  Game replay = Game::reset(7);
  bool reused = false;  // a share that is no multiple of 1/6: visits of an earlier search
  for (std::size_t i = 0; i < record.history.size(); ++i) {
    const auto [player, tile] = record.history[i];
    const Policy& policy = record.policies[i];
    EXPECT_EQ(static_cast<std::size_t>(player), replay.current_player()) << i;
    EXPECT_EQ(policy.size(), replay.get_legal_tiles().size()) << i;
    EXPECT_TRUE(lists(policy, tile)) << i;
    float sum = 0.0F;
    for (const auto& [listed, share] : policy) {
      sum += share;
      reused = reused || std::abs(share * 6.0F - std::round(share * 6.0F)) > 1e-3F;
    }
    EXPECT_NEAR(sum, 1.0F, 1e-5F) << i;
    ASSERT_EQ(replay.apply(static_cast<std::size_t>(tile)), std::nullopt) << i;
  }
  EXPECT_TRUE(replay.is_terminal());
  EXPECT_TRUE(reused);
  EXPECT_EQ(record.payoff, replay.get_payoff());
  EXPECT_FLOAT_EQ(record.payoff[0] + record.payoff[1] + record.payoff[2] + record.payoff[3], 1.0F);

  // Every random choice comes from the thread's generator: the same seed plays the same game.
  thread_random().seed(21);
  UniformHost again(6);
  ASSERT_EQ(training_game(again), 0u);
  EXPECT_EQ(again.records.at(0).history, record.history);
}

// The tile a greedy choice takes from a recorded policy: the last of the greatest shares (equal
// counts give equal shares).
std::int32_t greedy_tile(const Policy& policy) {
  std::int32_t tile = policy.front().first;
  float best = -1.0F;
  for (const auto& [listed, share] : policy) {
    if (share >= best) {
      best = share;
      tile = listed;
    }
  }
  return tile;
}

TEST(TrainingGame, GreedyChoiceStartsAtActionSampleMoves) {
  // Actions 1 to sample_moves - 1 are sampled, every later one greedy. With simulations the two
  // rules usually disagree, so a sampled action is seen among the first and none after.
  bool sampled_seen = false;
  for (std::uint64_t sample_moves = 2; sample_moves <= 9; ++sample_moves) {
    thread_random().seed(30 + sample_moves);
    UniformHost host(6, sample_moves);
    ASSERT_EQ(training_game(host), 0u);
    const TrainingRecord& record = host.records.at(0);
    ASSERT_GT(record.history.size(), sample_moves + 1);
    for (std::size_t i = 0; i < record.history.size(); ++i) {
      const bool greedy = record.history[i].second == greedy_tile(record.policies[i]);
      if (i + 1 >= sample_moves) {
        EXPECT_TRUE(greedy) << "action " << i + 1 << " with sample_moves " << sample_moves;
      } else {
        sampled_seen = sampled_seen || !greedy;
      }
    }
  }
  EXPECT_TRUE(sampled_seen);
}

TEST(TrainingGame, PolicyOnAnIllegalTileIsNeverPlayed) {
  // All the policy on cell 48, the far corner of a 7 x 7 board and never legal for player 0's
  // opening: the masked softmax gives the root no child, the simulations find none to take, and
  // the empty visit distribution stops the worker; no tile the game refuses is ever applied.
  class CornerHost : public UniformHost {
   public:
    CornerHost() : UniformHost(4) {}
    std::optional<Error> evaluate(const Game& game, Logits& out) {
      out.policy.assign(game.board().cell_count(), -std::numeric_limits<float>::infinity());
      out.policy[48] = 1000.0F;
      out.value.assign(4, 0.0F);
      return std::nullopt;
    }
  };
  thread_random().seed(23);
  CornerHost host;
  try {
    (void)training_game(host);
    ADD_FAILURE() << "no stop";
  } catch (const FatalStop& stop) {
    EXPECT_STREQ(stop.what(), "assertion failed: visit_dist.len() > 0");
  }
  EXPECT_TRUE(host.records.empty());
}

TEST(TrainingGame, WithoutSimulationsSharesAreNaNAndTheLastChildIsPlayed) {
  thread_random().seed(22);
  UniformHost host(0, 5);  // four sampled actions, greedy after
  ASSERT_EQ(training_game(host), 0u);
  ASSERT_EQ(host.records.size(), 1u);
  const TrainingRecord& record = host.records[0];
  ASSERT_EQ(record.history.size(), record.policies.size());
  ASSERT_GT(record.history.size(), 5u);
  for (std::size_t i = 0; i < record.history.size(); ++i) {
    const Policy& policy = record.policies[i];
    ASSERT_FALSE(policy.empty());
    for (const auto& [tile, share] : policy)
      EXPECT_TRUE(std::isnan(share)) << i;
    EXPECT_EQ(record.history[i].second, policy.back().first) << i;
  }
}

}  // namespace
}  // namespace tessarin
