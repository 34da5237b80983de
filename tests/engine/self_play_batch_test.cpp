// Batched self-play against the per-game training driver: with the same seeds and a deterministic
// scripted network, every game of a batch is the game the driver plays (history, policies,
// payoff), whatever the number of slots, the board side or the layout of the positions. Also: a
// network that gives NaN values, answers of the wrong size, playout-cap randomization and engine
// opponents.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "random_source.h"
#include "search_config.h"
#include "self_play_batch.h"
#include "training_game.h"

namespace tessarin {
namespace {

using Floats = std::vector<float>;

// A network that is a function of the position it is shown (the planes as the batch writes them):
// uneven policy logits and value logits from a hash of the planes. With `nan_values` every value
// logit is NaN.
struct Script {
  bool nan_values = false;

  void answer(std::span<const std::uint8_t> planes, std::span<float> policy,
              std::span<float> value) const {
    std::uint64_t h = 0xCBF29CE484222325ULL;
    for (std::uint8_t b : planes) {
      h ^= b;
      h *= 0x100000001B3ULL;
    }
    for (std::size_t t = 0; t < policy.size(); ++t) {
      const std::uint64_t x = (h ^ (t * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
      policy[t] = static_cast<float>((x >> 40) % 1000) / 250.0F;
    }
    for (std::size_t j = 0; j < value.size(); ++j) {
      value[j] = nan_values ? std::numeric_limits<float>::quiet_NaN()
                            : static_cast<float>((h >> (8 * j)) % 100) / 25.0F;
    }
  }
};

// The per-game driver's host: the script shown the position in the configured layout.
struct ScriptHost {
  struct Error {
    std::string text() const { return {}; }
    std::string debug() const { return {}; }
  };
  Config settings;
  Script script;
  std::vector<TrainingRecord> records;

  const Config& config() const { return settings; }
  void put_training_record(const TrainingRecord& record) { records.push_back(record); }
  std::optional<Error> evaluate(const Game& game, Logits& out) {
    std::vector<std::uint8_t> planes(kStatePlanes * game.board().cell_count());
    game.write_game_state(settings.rep == 2, planes);
    out.policy.resize(game.board().cell_count());
    out.value.resize(4);
    script.answer(planes, out.policy, out.value);
    return std::nullopt;
  }
};

Config batch_config(std::uint64_t dim, std::uint64_t rep) {
  Config config = test_search_config(dim, 12, 0.25F, 8);
  config.rep = rep;
  return config;
}

// Plays a whole batch against the script; the finished games by number. With `evaluations`,
// counts there the positions the batch asked to have evaluated.
std::map<std::uint64_t, TrainingRecord> play_batch(SelfPlayBatch& batch, const Script& script,
                                                   std::uint64_t* evaluations = nullptr) {
  std::map<std::uint64_t, TrainingRecord> games;
  const std::size_t size = batch.position_size();
  const std::size_t cells = size / kStatePlanes;
  std::vector<std::uint8_t> positions;
  Floats policy;
  Floats value;
  for (;;) {
    const std::size_t waiting = batch.step().size();
    for (FinishedGame& finished : batch.take_finished())
      games.emplace(finished.number, std::move(finished.record));
    if (waiting == 0) break;
    if (evaluations != nullptr) *evaluations += waiting;
    positions.resize(waiting * size);
    batch.write_positions(std::span<std::uint8_t>(positions));
    policy.resize(waiting * cells);
    value.resize(waiting * 4);
    for (std::size_t k = 0; k < waiting; ++k) {
      script.answer(std::span<const std::uint8_t>(positions).subspan(k * size, size),
                    std::span<float>(policy).subspan(k * cells, cells),
                    std::span<float>(value).subspan(k * 4, 4));
    }
    batch.complete(policy, value);
  }
  return games;
}

TEST(SelfPlayBatch, EveryGameIsTheGameThePerGameDriverPlaysWithTheSameSeed) {
  struct Case {
    std::uint64_t dim;
    std::uint64_t rep;
    std::size_t slots;
    std::uint64_t total;
  };
  for (const Case& c : {Case{5, 1, 3, 7}, Case{6, 2, 4, 4}, Case{7, 1, 1, 3}, Case{9, 2, 5, 6},
                        Case{11, 1, 8, 3}, Case{14, 2, 3, 3}}) {
    for (std::uint64_t seed : {1ULL, 977ULL, 40503ULL, 7ULL, 123456789ULL}) {
      const Config config = batch_config(c.dim, c.rep);
      SelfPlayBatch batch(config, c.slots, c.total, seed);
      const std::map<std::uint64_t, TrainingRecord> games = play_batch(batch, Script{});
      EXPECT_TRUE(batch.done());
      EXPECT_EQ(batch.games_finished(), c.total);
      EXPECT_EQ(batch.games_failed(), 0u);
      ASSERT_EQ(games.size(), c.total) << "dim " << c.dim << " seed " << seed;
      bool histories_differ = false;
      for (const auto& [number, record] : games) {
        ScriptHost host{config, Script{}, {}};
        RandomSource random(game_seed(seed, number));
        ASSERT_EQ(training_game(host, random), 0u);
        ASSERT_EQ(host.records.size(), 1u);
        const TrainingRecord& expected = host.records[0];
        const std::string where = "dim " + std::to_string(c.dim) + " seed " + std::to_string(seed) +
                                  " game " + std::to_string(number);
        EXPECT_EQ(record.history, expected.history) << where;
        EXPECT_EQ(record.policies, expected.policies) << where;
        EXPECT_EQ(record.payoff, expected.payoff) << where;
        histories_differ = histories_differ || record.history != games.begin()->second.history;
      }
      // The games of one batch are not copies of one another.
      if (c.total > 1) {
        EXPECT_TRUE(histories_differ) << "dim " << c.dim;
      }
    }
  }
}

TEST(SelfPlayBatch, GumbelRootGamesAreThoseOfThePerGameDriverWithCompletedQTargets) {
  Config config = batch_config(7, 1);
  config.root_search = RootSearch::kGumbel;
  config.gumbel_considered = 4;
  for (std::uint64_t seed : {3ULL, 4242ULL}) {
    SelfPlayBatch batch(config, 3, 4, seed);
    const std::map<std::uint64_t, TrainingRecord> games = play_batch(batch, Script{});
    EXPECT_EQ(batch.games_failed(), 0u);
    ASSERT_EQ(games.size(), 4u);
    for (const auto& [number, record] : games) {
      ScriptHost host{config, Script{}, {}};
      RandomSource random(game_seed(seed, number));
      ASSERT_EQ(training_game(host, random), 0u);
      EXPECT_EQ(record.history, host.records.at(0).history) << "seed " << seed;
      EXPECT_EQ(record.policies, host.records.at(0).policies) << "seed " << seed;
      // Unlike visit shares, the completed-Q target leaves no legal tile at 0.
      for (const Policy& policy : record.policies) {
        for (const auto& [tile, share] : policy)
          EXPECT_GT(share, 0.0F) << "seed " << seed << " game " << number << " tile " << tile;
      }
    }
  }
  // A Gumbel root that considers no tile is refused; it draws no Dirichlet noise, so no
  // concentration is asked of it.
  config.gumbel_considered = 0;
  EXPECT_THROW(SelfPlayBatch(config, 1, 1), FatalStop);
  config.gumbel_considered = 2;
  config.dirichlet_alpha = 0.0F;
  EXPECT_NO_THROW(SelfPlayBatch(config, 1, 1));
}

TEST(SelfPlayBatch, GamesAnsweredFromThePositionMemoAreTheGamesWithoutIt) {
  // The script answers a position the same every time, as a network does: the memo changes how
  // often it is asked, never what a game plays.
  for (const std::uint64_t dim : {5u, 7u, 10u}) {
    for (const std::uint64_t rep : {1u, 2u}) {
      const Config config = batch_config(dim, rep);
      SelfPlayBatch plain(config, 4, 6, 17);
      std::uint64_t asked_plain = 0;
      const std::map<std::uint64_t, TrainingRecord> expected =
          play_batch(plain, Script{}, &asked_plain);
      for (const std::size_t capacity : {1u, 64u, 100000u}) {
        SelfPlayBatch cached(config, 4, 6, 17, {}, {}, capacity);
        std::uint64_t asked = 0;
        const std::map<std::uint64_t, TrainingRecord> games = play_batch(cached, Script{}, &asked);
        const std::string where = "dim " + std::to_string(dim) + " rep " + std::to_string(rep) +
                                  " capacity " + std::to_string(capacity);
        ASSERT_EQ(games.size(), expected.size()) << where;
        for (const auto& [number, record] : games) {
          EXPECT_EQ(record.history, expected.at(number).history) << where;
          EXPECT_EQ(record.policies, expected.at(number).policies) << where;
        }
        EXPECT_EQ(asked + cached.cache_hits(), asked_plain) << where;
        EXPECT_EQ(cached.cache_misses(), asked) << where;
        if (capacity > 1) {
          EXPECT_GT(cached.cache_hits(), asked_plain / 10) << where;
        }
      }
    }
  }
}

TEST(SelfPlayBatch, FloatPositionsHoldTheSameEntriesAsBytes) {
  SelfPlayBatch batch(batch_config(7, 2), 3, 3, 5);
  const std::size_t waiting = batch.step().size();
  ASSERT_EQ(waiting, 3u);
  std::vector<std::uint8_t> bytes(waiting * batch.position_size());
  Floats floats(bytes.size(), -1.0F);
  batch.write_positions(std::span<std::uint8_t>(bytes));
  batch.write_positions(std::span<float>(floats));
  for (std::size_t i = 0; i < bytes.size(); ++i)
    ASSERT_EQ(floats[i], static_cast<float>(bytes[i])) << i;
  EXPECT_THROW(batch.write_positions(std::span<float>(floats).first(floats.size() - 1)), FatalStop);
}

TEST(SelfPlayBatch, NaNValuesAbandonEveryGameAsTheDriverDoes) {
  const Config config = batch_config(5, 1);
  SelfPlayBatch batch(config, 2, 3, 11);
  EXPECT_TRUE(play_batch(batch, Script{.nan_values = true}).empty());
  EXPECT_TRUE(batch.done());
  EXPECT_EQ(batch.games_finished(), 3u);
  EXPECT_EQ(batch.games_failed(), 3u);
  EXPECT_EQ(batch.take_failed(), std::vector<std::string>(3, "All UCB scores NaN"));
  EXPECT_TRUE(batch.take_failed().empty());  // each reason is handed out once
  ScriptHost host{config, Script{.nan_values = true}, {}};
  RandomSource random(11);
  EXPECT_EQ(training_game(host, random), 1u);  // the driver's failed search
}

TEST(SelfPlayBatch, RefusedAnswersAndRequestsChangeNothing) {
  SelfPlayBatch batch(batch_config(5, 1), 2, 2, 3);
  EXPECT_THROW(batch.complete({}, {}), FatalStop);  // nothing waits yet
  const std::size_t waiting = batch.step().size();
  ASSERT_EQ(waiting, 2u);
  EXPECT_EQ(batch.step().size(), 2u);  // the same slots until answered
  Floats policy(waiting * 25, 0.0F);
  Floats value(waiting * 4, 0.0F);
  EXPECT_THROW(batch.complete(std::span<const float>(policy).first(25), value), FatalStop);
  EXPECT_THROW(batch.complete(policy, std::span<const float>(value).first(4)), FatalStop);
  EXPECT_EQ(batch.waiting(), 2u);
  batch.complete(policy, value);
  EXPECT_EQ(batch.waiting(), 0u);
  EXPECT_THROW(batch.complete(policy, value), FatalStop);  // answered twice
}

TEST(SelfPlayBatch, SettingsTheModuleWouldStopOnAreRefusedAtOnce) {
  const auto refuses = [](Config config, std::size_t slots, std::uint64_t total) {
    EXPECT_THROW(SelfPlayBatch(config, slots, total), FatalStop);
  };
  refuses(batch_config(7, 1), 0, 4);
  refuses(batch_config(7, 1), 4, 0);
  refuses(batch_config(3, 1), 1, 1);
  refuses(batch_config(7, 3), 1, 1);
  Config alpha = batch_config(7, 1);
  alpha.dirichlet_alpha = 0.0F;
  refuses(alpha, 1, 1);
  alpha.dirichlet_alpha = std::numeric_limits<float>::quiet_NaN();
  refuses(alpha, 1, 1);
}

TEST(SelfPlayBatch, PlayoutCapSearchesMostActionsFastAndWithoutATarget) {
  const Config config = batch_config(7, 1);
  const auto play = [&](PlayoutCap cap, std::uint64_t& actions, std::uint64_t& targets) {
    SelfPlayBatch batch(config, 8, 8, 21, cap);
    std::uint64_t evaluations = 0;
    const std::map<std::uint64_t, TrainingRecord> games = play_batch(batch, Script{}, &evaluations);
    EXPECT_EQ(games.size(), 8U);
    actions = targets = 0;
    for (const auto& [number, record] : games) {
      for (const Policy& policy : record.policies) {
        ++actions;
        const bool target = !std::isnan(policy.front().second);
        targets += target ? 1 : 0;
        float sum = 0.0F;
        for (const auto& [tile, share] : policy) {
          EXPECT_EQ(std::isnan(share), !target);  // a policy is a target whole or not at all
          sum += share;
        }
        if (target) {
          EXPECT_NEAR(sum, 1.0F, 1e-5F);
        }
      }
    }
    return evaluations;
  };
  std::uint64_t actions = 0;
  std::uint64_t targets = 0;
  // Only fast searches: at most one evaluation for the root and one per simulation.
  const std::uint64_t fast = play(PlayoutCap{.fast_sims = 2, .full_share = 0.0F}, actions, targets);
  EXPECT_EQ(targets, 0U);
  EXPECT_LE(fast, actions * 3);
  // Every search full: the fast simulations are never used, every action is a target.
  const std::uint64_t full = play(PlayoutCap{.fast_sims = 2, .full_share = 1.0F}, actions, targets);
  EXPECT_EQ(targets, actions);
  EXPECT_GT(full, actions * 3);
  // A quarter searched in full, drawn per action.
  play(PlayoutCap{.fast_sims = 2, .full_share = 0.25F}, actions, targets);
  EXPECT_GT(targets, actions / 8);
  EXPECT_LT(targets, actions * 3 / 8);
}

TEST(SelfPlayBatch, SharesOutsideZeroToOneAreRefused) {
  for (const float share : {-0.1F, 1.5F, std::numeric_limits<float>::quiet_NaN()}) {
    EXPECT_THROW(SelfPlayBatch(batch_config(7, 1), 1, 1, 3, PlayoutCap{4, share}), FatalStop);
    EXPECT_THROW(SelfPlayBatch(batch_config(7, 1), 1, 1, 3, {}, EngineOpponents{share}), FatalStop);
  }
}

// How many players of a game were engine seats: every action of such a player has NaN shares
// over the legal tiles, the tile played among them; every action of the others is a target.
std::size_t engine_seats_of(const TrainingRecord& record) {
  std::array<int, 4> kind{};  // 0 unseen, 1 searched, 2 engine
  for (std::size_t i = 0; i < record.history.size(); ++i) {
    const auto [player, tile] = record.history[i];
    const Policy& policy = record.policies[i];
    const int seen = std::isnan(policy.front().second) ? 2 : 1;
    EXPECT_TRUE(kind[player] == 0 || kind[player] == seen) << "player " << player << " mixes";
    kind[player] = seen;
    bool listed = false;
    for (const auto& [candidate, share] : policy) {
      EXPECT_EQ(std::isnan(share), seen == 2);
      listed = listed || candidate == tile;
    }
    EXPECT_TRUE(listed) << "action " << i;
  }
  return static_cast<std::size_t>(std::count(kind.begin(), kind.end(), 2));
}

TEST(SelfPlayBatch, EngineOpponentsPlayOneToThreeSeatsOfAShareOfTheGamesWithoutATarget) {
  const Config config = batch_config(7, 1);
  const auto seat_counts = [&](float share) {
    SelfPlayBatch batch(config, 6, 40, 5, {}, EngineOpponents{share});
    const std::map<std::uint64_t, TrainingRecord> games = play_batch(batch, Script{});
    EXPECT_EQ(games.size(), 40U);  // no search failed after an engine seat's tile
    std::array<int, 4> counts{};
    for (const auto& [number, record] : games)
      ++counts.at(engine_seats_of(record));
    return counts;
  };
  const std::array<int, 4> every = seat_counts(1.0F);
  EXPECT_EQ(every[0], 0);
  EXPECT_GT(every[1], 5);
  EXPECT_GT(every[2], 5);
  EXPECT_GT(every[3], 5);
  const std::array<int, 4> half = seat_counts(0.5F);
  EXPECT_GT(half[0], 8);
  EXPECT_LT(half[0], 32);
}

}  // namespace
}  // namespace tessarin
