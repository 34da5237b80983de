// Batched matches: a network seat without search plays the test games' choice (the same game as
// test_against_random with the same seed); every game of a batch is the game played alone with
// per-entry trees that follow every tile; sampling happens only in the opening and only when
// asked; waiting positions come grouped by network; and a game the answers poison is abandoned
// with its reason while the others finish.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config.h"
#include "engine_seat.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "heuristic_player.h"
#include "match_batch.h"
#include "node.h"
#include "random_source.h"
#include "raw_policy.h"
#include "search.h"
#include "search_config.h"
#include "softmax.h"
#include "test_games.h"
#include "training_game.h"

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
  const Config& config() const { return settings; }
  std::optional<Error> evaluate(const Game& game, Logits& out) {
    out.policy = uneven_logits(game.board().cell_count());
    out.value.assign(4, 0.0F);
    return std::nullopt;
  }
  void put_test_result(float payoff) { payoffs.push_back(payoff); }
  void write_stdout(const std::string&) {}
  void route_requests_for(std::size_t) {}
};

// Networks that are functions of the position they are shown and of their index: policy logits
// distinct within a position (boards up to 8 x 8), so the best prior is unique, and value logits
// that differ between networks.
Logits script(std::span<const std::uint8_t> planes, std::size_t network) {
  std::uint64_t h = 0xCBF29CE484222325ULL ^ (network * 0x9E3779B97F4A7C15ULL);
  for (std::uint8_t b : planes) {
    h ^= b;
    h *= 0x100000001B3ULL;
  }
  const std::size_t cells = planes.size() / kStatePlanes;
  Logits logits{Floats(cells), Floats(kPlayers)};
  for (std::size_t t = 0; t < cells; ++t) {
    const std::uint64_t x = (h ^ (t * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
    logits.policy[t] = static_cast<float>(((x >> 40) % 1000) * 64 + t) / 16000.0F;
  }
  for (std::size_t j = 0; j < kPlayers; ++j)
    logits.value[j] = static_cast<float>((h >> (8 * j)) % 100) / 25.0F;
  return logits;
}

Logits script(const Game& game, std::size_t network) {
  std::vector<std::uint8_t> planes(kStatePlanes * game.board().cell_count());
  game.write_game_state(false, planes);
  return script(planes, network);
}

Config match_config(std::uint64_t dim, std::uint64_t sims, std::uint64_t sample_moves = 0) {
  return test_search_config(dim, sims, 0.0F, sample_moves);
}

constexpr Player kNet0{PlayerKind::kNetwork, 0};
constexpr Player kNet1{PlayerKind::kNetwork, 1};
constexpr Player kRandom{PlayerKind::kRandom, 0};
constexpr Player kHeuristic{PlayerKind::kHeuristic, 0};

// How a batch is answered: by the scripted networks, or with the uneven policy everywhere.
enum class Answers { kScript, kUneven };

// Plays the batch to its end; every step's networks are checked to be grouped. Rows of the game
// in slot `poisoned` (if any) get NaN policy logits. Returns the results by match number.
std::map<std::uint64_t, MatchResult> play(MatchBatch& batch, Answers answers,
                                          std::optional<std::size_t> poisoned = std::nullopt) {
  std::map<std::uint64_t, MatchResult> results;
  const std::size_t size = batch.position_size();
  const std::size_t cells = size / kStatePlanes;
  std::vector<std::uint8_t> positions;
  for (;;) {
    const std::span<const std::size_t> slots = batch.step();
    const std::size_t waiting = slots.size();
    for (MatchResult& result : batch.take_finished())
      results.emplace(result.number, std::move(result));
    if (waiting == 0) break;
    const std::span<const std::size_t> networks = batch.networks();
    EXPECT_TRUE(std::is_sorted(networks.begin(), networks.end()));
    positions.resize(waiting * size);
    batch.write_positions(std::span<std::uint8_t>(positions));
    Floats policy;
    Floats value;
    for (std::size_t k = 0; k < waiting; ++k) {
      Logits row = answers == Answers::kUneven
                       ? Logits{uneven_logits(cells), Floats(kPlayers, 0.0F)}
                       : script(std::span(positions).subspan(k * size, size), networks[k]);
      if (poisoned == slots[k]) row.policy.assign(cells, std::numeric_limits<float>::quiet_NaN());
      policy.insert(policy.end(), row.policy.begin(), row.policy.end());
      value.insert(value.end(), row.value.begin(), row.value.end());
    }
    batch.complete(policy, value);
  }
  return results;
}

// One game of a match played alone, straightforwardly, against the scripted networks, as the
// batch's documentation says it is played; with `reuse` false every search starts afresh.
struct Alone {
  std::vector<HistoryEntry> history;
  std::array<float, 4> payoff;
  bool searched_from_visits = false;  // some search started from a root with earlier visits
};

Alone play_alone(const Config& config, const std::array<Player, 4>& lineup, std::uint64_t seed,
                 std::uint64_t number, bool reuse) {
  RandomSource random(game_seed(seed, number));
  Game game = Game::reset(config.dim);
  HeuristicPlayer heuristic;
  std::array<Node, 4> roots;
  std::vector<std::size_t> legal;
  Alone alone;
  while (!game.is_terminal()) {
    const std::size_t entry = (game.current_player() + 4 - number % 4) % 4;
    const Player& player = lineup[entry];
    const bool sample = game.history().size() < config.sample_moves;
    std::size_t tile = 0;
    if (player.kind != PlayerKind::kNetwork) {
      tile = engine_tile(player.kind, game, random, heuristic, legal);
    } else if (config.sims_per_move == 0) {
      const Logits logits = script(game, player.network);
      tile = raw_policy_tile(game, logits.policy, logits.value,
                             sample ? RawChoice::kSampled : RawChoice::kBestPrior, random, legal);
    } else {
      Node& root = roots[entry];
      if (!reuse) root = Node{};
      alone.searched_from_visits = alone.searched_from_visits || root.visit_count() > 0;
      PositionSearch search(root, game, config, random, nullptr, config.sims_per_move, false);
      while (const Game* position = search.next()) {
        const Logits logits = script(*position, player.network);
        search.complete(logits.policy, logits.value);
      }
      VisitDistribution dist;
      std::uint32_t total = 0;
      for (const Node& child : root.children()) {
        dist.emplace_back(child.tile(), child.visit_count());
        total += child.visit_count();
      }
      tile = sample ? sample_action(dist, total, random.uniform_float()) : greedy_action(dist);
    }
    game.apply_legal(tile);
    for (Node& root : roots) {
      std::optional<Node> child = root.take_child(tile);
      root = child ? std::move(*child) : Node{};
    }
  }
  alone.history = game.history();
  alone.payoff = game.get_payoff();
  return alone;
}

TEST(MatchBatch, NetworkAgainstRandomSeatsPlaysTheTestGameOfTheSameSeed) {
  for (std::uint64_t dim : {7u, 9u, 13u}) {
    const Config config = match_config(dim, 0);
    // Entry 0 takes seat 0 in games 0, 4, 8, ...: those are test_against_random's games.
    MatchBatch batch(config, {kNet0, kRandom, kRandom, kRandom}, 3, 12, 500);
    const std::map<std::uint64_t, MatchResult> results = play(batch, Answers::kUneven);
    ASSERT_EQ(results.size(), 12u);
    EXPECT_EQ(batch.games_failed(), 0u);
    std::array<int, 4> seats_of_entry0{};
    for (const auto& [number, result] : results) {
      ++seats_of_entry0[result.rotation];
      if (result.rotation != 0) continue;
      thread_random().seed(game_seed(500, number));
      TestHost host{config, {}};
      ASSERT_EQ(test_against_random(host), 0u);
      ASSERT_EQ(host.payoffs.size(), 1u);
      EXPECT_EQ(result.payoff_by_seat[0], host.payoffs[0]) << "dim " << dim << " game " << number;
    }
    EXPECT_EQ(seats_of_entry0, (std::array<int, 4>{3, 3, 3, 3}));
  }
}

TEST(MatchBatch, GamesAnsweredFromTheNetworksMemosAreTheGamesWithoutThem) {
  // The two scripted networks answer the same position differently: one memo for both would
  // answer a seat with the other network's logits, and the games would change.
  const std::array<Player, 4> lineup{kNet0, kNet1, kRandom, kNet1};
  for (const std::uint64_t sims : {0u, 6u}) {
    for (const std::uint64_t sample_moves : {0u, 10u}) {
      const Config config = match_config(7, sims, sample_moves);
      MatchBatch plain(config, lineup, 4, 12, 57);
      const std::map<std::uint64_t, MatchResult> expected = play(plain, Answers::kScript);
      MatchBatch cached(config, lineup, 4, 12, 57, {}, 4096);
      const std::map<std::uint64_t, MatchResult> results = play(cached, Answers::kScript);
      const std::string where =
          "sims " + std::to_string(sims) + " sample_moves " + std::to_string(sample_moves);
      ASSERT_EQ(results.size(), expected.size()) << where;
      for (const auto& [number, result] : results) {
        EXPECT_EQ(result.history, expected.at(number).history) << where << " game " << number;
      }
      EXPECT_GT(cached.cache_hits(), 0u) << where;
      EXPECT_EQ(plain.cache_hits() + plain.cache_misses(), 0u) << where;
    }
  }
}

TEST(MatchBatch, EveryGameIsTheGamePlayedAloneWithItsEntriesOwnTrees) {
  const std::array<Player, 4> lineup{kNet0, kNet1, kHeuristic, kNet1};
  constexpr std::uint64_t kSeed = 31;
  for (std::uint64_t sims : {0u, 6u}) {
    for (std::uint64_t sample_moves : {0u, 10u}) {
      const Config config = match_config(7, sims, sample_moves);
      MatchBatch batch(config, lineup, 3, 8, kSeed);
      const std::map<std::uint64_t, MatchResult> results = play(batch, Answers::kScript);
      ASSERT_EQ(results.size(), 8u);
      EXPECT_TRUE(batch.done());
      EXPECT_EQ(batch.games_failed(), 0u);
      bool searched_from_visits = false;
      bool reuse_changed_a_game = false;
      for (const auto& [number, result] : results) {
        const std::string where = "sims " + std::to_string(sims) + " sample_moves " +
                                  std::to_string(sample_moves) + " game " + std::to_string(number);
        EXPECT_EQ(result.rotation, number % 4) << where;
        for (std::size_t entry = 0; entry < 4; ++entry) {
          EXPECT_EQ(result.payoff_by_entry[entry],
                    result.payoff_by_seat[(entry + result.rotation) % 4]);
        }
        const Alone alone = play_alone(config, lineup, kSeed, number, true);
        EXPECT_EQ(result.history, alone.history) << where;
        EXPECT_EQ(result.payoff_by_seat, alone.payoff) << where;
        searched_from_visits = searched_from_visits || alone.searched_from_visits;
        if (sims != 0) {
          reuse_changed_a_game =
              reuse_changed_a_game ||
              play_alone(config, lineup, kSeed, number, false).history != result.history;
        }
      }
      // With search, reused roots carried earlier visits, and keeping them changed the games.
      EXPECT_EQ(searched_from_visits, sims != 0);
      EXPECT_EQ(reuse_changed_a_game, sims != 0);
    }
  }
}

// The tile of highest prior for the position of `game` after network `network` answered it.
std::size_t best_prior(const Game& game, std::size_t network) {
  const Logits logits = script(game, network);
  const std::vector<std::size_t> legal = game.get_legal_tiles();
  Floats priors;
  gathered_softmax(logits.policy, legal, priors);
  return legal[static_cast<std::size_t>(std::max_element(priors.begin(), priors.end()) -
                                        priors.begin())];
}

TEST(MatchBatch, NetworkSeatsDrawOnlyTheOpeningActionsAndOnlyWhenAsked) {
  const std::array<Player, 4> lineup{kNet0, kNet1, kNet0, kNet1};
  for (std::uint64_t sample_moves : {0u, 12u}) {
    MatchBatch batch(match_config(7, 0, sample_moves), lineup, 4, 8, 77);
    const std::map<std::uint64_t, MatchResult> results = play(batch, Answers::kScript);
    ASSERT_EQ(results.size(), 8u);
    std::size_t drawn_off_best = 0;
    for (const auto& [number, result] : results) {
      Game game = Game::reset(7);
      for (std::size_t i = 0; i < result.history.size(); ++i) {
        const auto [player, tile] = result.history[i];
        const std::size_t entry = (static_cast<std::size_t>(player) + 4 - number % 4) % 4;
        const std::size_t best = best_prior(game, lineup[entry].network);
        if (i >= sample_moves) {
          ASSERT_EQ(static_cast<std::size_t>(tile), best) << "game " << number << " action " << i;
        } else if (static_cast<std::size_t>(tile) != best) {
          ++drawn_off_best;
        }
        game.apply_legal(static_cast<std::size_t>(tile));
      }
      EXPECT_TRUE(game.is_terminal());
    }
    EXPECT_EQ(drawn_off_best > 0, sample_moves > 0);
  }
}

TEST(MatchBatch, AGamePoisonedByItsAnswersIsAbandonedWithItsReasonWhileTheOthersFinish) {
  for (std::uint64_t sims : {0u, 4u}) {
    MatchBatch batch(match_config(7, sims), {kNet0, kRandom, kNet1, kRandom}, 4, 4, 3);
    EXPECT_TRUE(batch.take_failed().empty());
    const std::map<std::uint64_t, MatchResult> results = play(batch, Answers::kScript, 0);
    if (sims == 0) {
      // Without search, NaN priors leave a random legal tile: nothing fails.
      EXPECT_EQ(results.size(), 4u);
      EXPECT_TRUE(batch.take_failed().empty());
      continue;
    }
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results.count(0), 0u);  // slot 0 played game 0 and nothing after it
    EXPECT_TRUE(batch.done());
    EXPECT_EQ(batch.games_failed(), 1u);
    const std::string reason = "A search left the root without a child to play";
    EXPECT_EQ(batch.take_failed(), std::vector<std::string>{reason});
    EXPECT_TRUE(batch.take_failed().empty());  // each reason is handed out once
    EXPECT_EQ(batch.last_failure(), reason);
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
