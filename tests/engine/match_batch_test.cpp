// Batched matches: a network seat without search plays the test games' choice (the same game as
// test_against_random with the same seed), seats rotate over games, waiting positions come
// grouped by network, and searching seats finish their games.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "match_batch.h"
#include "random_source.h"
#include "test_games.h"

namespace tessarin {
namespace {

using Floats = std::vector<float>;

// Policy logits that prefer some tiles over others, the same for every position of a game side.
Floats uneven_logits(std::size_t cells) {
  Floats logits(cells);
  for (std::size_t t = 0; t < cells; ++t)
    logits[t] = static_cast<float>((t * 7919) % 13);
  return logits;
}

// The host of test_against_random: the uneven policy, the payoff kept.
struct TestHost {
  struct Error {
    std::string text() const { return {}; }
    std::string debug() const { return {}; }
  };
  Config settings;
  std::vector<float> payoffs;
  std::size_t evaluations = 0;
  const Config& config() const { return settings; }
  std::optional<Error> evaluate(const Game& game, Logits& out) {
    ++evaluations;
    out.policy = uneven_logits(game.board().cell_count());
    out.value.assign(4, 0.0F);
    return std::nullopt;
  }
  void put_test_result(float payoff) { payoffs.push_back(payoff); }
  void write_stdout(const std::string&) {}
  void route_requests_for(std::size_t) {}
};

Config match_config(std::uint64_t dim, std::uint64_t sims) {
  return Config{.dim = dim,
                .rep = 1,
                .sims_per_move = sims,
                .sample_moves = 0,
                .c_base = 19652.0F,
                .c_init = 1.25F,
                .dirichlet_alpha = 0.3F,
                .exploration_fraction = 0.0F};
}

constexpr Player kNet0{PlayerKind::kNetwork, 0};
constexpr Player kNet1{PlayerKind::kNetwork, 1};
constexpr Player kRandom{PlayerKind::kRandom, 0};

// Plays the batch to its end with the uneven policy; every step's networks are checked to be
// grouped. Returns the results by match number and the evaluations asked.
std::vector<MatchResult> play(MatchBatch& batch, std::size_t& evaluations) {
  std::vector<MatchResult> results;
  const std::size_t cells = batch.position_size() / kStatePlanes;
  const Floats logits = uneven_logits(cells);
  for (;;) {
    const std::size_t waiting = batch.step().size();
    for (const MatchResult& result : batch.take_finished())
      results.push_back(result);
    if (waiting == 0) break;
    const std::span<const std::size_t> networks = batch.networks();
    EXPECT_TRUE(std::is_sorted(networks.begin(), networks.end()));
    evaluations += waiting;
    Floats policy;
    for (std::size_t k = 0; k < waiting; ++k)
      policy.insert(policy.end(), logits.begin(), logits.end());
    batch.complete(policy, Floats(waiting * 4, 0.0F));
  }
  std::sort(results.begin(), results.end(),
            [](const MatchResult& a, const MatchResult& b) { return a.number < b.number; });
  return results;
}

TEST(MatchBatch, NetworkAgainstRandomSeatsPlaysTheTestGameOfTheSameSeed) {
  for (std::uint64_t dim : {7u, 9u, 13u}) {
    const Config config = match_config(dim, 0);
    // Entry 0 takes seat 0 in games 0, 4, 8, ...: those are test_against_random's games.
    MatchBatch batch(config, {kNet0, kRandom, kRandom, kRandom}, 3, 12, 500);
    std::size_t evaluations = 0;
    const std::vector<MatchResult> results = play(batch, evaluations);
    ASSERT_EQ(results.size(), 12u);
    EXPECT_EQ(batch.games_failed(), 0u);
    std::array<int, 4> seats_of_entry0{};
    for (const MatchResult& result : results) {
      EXPECT_EQ(result.rotation, result.number % 4);
      ++seats_of_entry0[result.rotation];
      for (std::size_t entry = 0; entry < 4; ++entry) {
        EXPECT_EQ(result.payoff_by_entry[entry],
                  result.payoff_by_seat[(entry + result.rotation) % 4]);
      }
      if (result.rotation != 0) continue;
      thread_random().seed(500 + result.number);
      TestHost host{config, {}, 0};
      ASSERT_EQ(test_against_random(host), 0u);
      ASSERT_EQ(host.payoffs.size(), 1u);
      EXPECT_EQ(result.payoff_by_seat[0], host.payoffs[0])
          << "dim " << dim << " game " << result.number;
    }
    EXPECT_EQ(seats_of_entry0, (std::array<int, 4>{3, 3, 3, 3}));
  }
}

TEST(MatchBatch, TwoNetworksComeGroupedAndSearchingSeatsFinish) {
  for (std::uint64_t sims : {0u, 8u}) {
    MatchBatch batch(match_config(7, sims), {kNet0, kNet1, kRandom, kNet1}, 4, 6, 9);
    std::size_t evaluations = 0;
    const std::vector<MatchResult> results = play(batch, evaluations);
    ASSERT_EQ(results.size(), 6u);
    EXPECT_TRUE(batch.done());
    for (const MatchResult& result : results) {
      float sum = 0.0F;
      for (float p : result.payoff_by_seat)
        sum += p;
      EXPECT_FLOAT_EQ(sum, 1.0F);
    }
    EXPECT_GT(evaluations, 0u);
  }
}

TEST(MatchBatch, RefusedSettingsAndAnswers) {
  const std::array<Player, 4> lineup{kNet0, kRandom, kRandom, kRandom};
  EXPECT_THROW(MatchBatch(match_config(7, 0), lineup, 0, 1), FatalStop);
  EXPECT_THROW(MatchBatch(match_config(3, 0), lineup, 1, 1), FatalStop);
  Config alpha = match_config(7, 4);
  alpha.dirichlet_alpha = 0.0F;
  EXPECT_THROW(MatchBatch(alpha, lineup, 1, 1), FatalStop);
  MatchBatch batch(match_config(7, 0), lineup, 2, 2, 1);
  EXPECT_THROW(batch.complete({}, {}), FatalStop);
  const std::size_t waiting = batch.step().size();
  ASSERT_GT(waiting, 0u);
  EXPECT_THROW(batch.complete(Floats(waiting * 49 - 1), Floats(waiting * 4)), FatalStop);
  EXPECT_EQ(batch.waiting(), waiting);
}

}  // namespace
}  // namespace tessarin
