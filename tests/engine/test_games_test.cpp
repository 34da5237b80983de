// The test-game drivers over a scripted host: the network-guided choice of one evaluation, the
// game against random seats and the game against a baseline network.

#include <gtest/gtest.h>

#include <iomanip>  // std::quoted must not capture the drivers' quoting by argument lookup

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "node.h"
#include "random_source.h"
#include "softmax.h"
#include "test_games.h"

namespace tessarin {
namespace {

using Floats = std::vector<float>;
using Cells = std::vector<std::size_t>;
using History = std::vector<HistoryEntry>;

constexpr float kInf = std::numeric_limits<float>::infinity();

struct ScriptedError {
  std::string message;
  std::string text() const { return message; }
  std::string debug() const { return message; }
};

// Policy logits for a position; `model` tells whether requests currently go to the network under
// test (seat 0) or to the baseline.
using Policy = std::function<Floats(const Game& game, bool model)>;

// Strictly prefers the smallest legal tile (logit -tile), or the largest (logit +tile).
Floats smallest_first(const Game& game, bool /*model*/) {
  Floats logits(game.dim() * game.dim());
  for (std::size_t t = 0; t < logits.size(); ++t)
    logits[t] = -static_cast<float>(t);
  return logits;
}
Floats largest_first(const Game& game, bool /*model*/) {
  Floats logits = smallest_first(game, true);
  for (float& logit : logits)
    logit = -logit;
  return logits;
}

// The host of a test game without the interpreter: it answers evaluations from a policy and
// records every call the drivers make.
class ScriptedHost {
 public:
  explicit ScriptedHost(Policy policy, std::uint64_t dim = 20) : policy_(std::move(policy)) {
    config_ = Config{};
    config_.dim = dim;
    config_.rep = 1;
  }

  // Evaluation number `index` (from 0) fails with `debug` as its debug text.
  void fail_at(std::size_t index, std::string debug) {
    fail_at_ = index;
    error_text_ = std::move(debug);
  }
  using Error = ScriptedError;

  std::optional<ScriptedError> evaluate(const Game& game, Logits& out) {
    events.emplace_back('e', game.current_player());
    positions.push_back(game);
    if (fail_at_ == positions.size() - 1) return ScriptedError{error_text_};
    out.policy = policy_(game, model_);
    out.value = {0, 0, 0, 0};
    // The order the driver's expansion will give the children: the same expansion, with a copy
    // of the thread's generator as it stands now (the expansion is its next use).
    RandomSource ahead = thread_random();
    Node probe;
    (void)expand_from_network(probe, game, out.policy, out.value, scratch_, ahead);
    std::vector<std::uint32_t> order;
    for (const Node& child : probe.children())
      order.push_back(child.tile());
    orders.push_back(std::move(order));
    return std::nullopt;
  }
  const Config& config() const { return config_; }
  void put_test_result(float payoff) { puts.push_back(payoff); }
  void write_stdout(const std::string& text) { output.push_back(text); }
  void route_requests_for(std::size_t player) {
    events.emplace_back('r', player);
    model_ = player == 0;
  }

  // ('e', player to move) per evaluation and ('r', player) per routing, in call order.
  std::vector<std::pair<char, std::size_t>> events;
  std::vector<Game> positions;                     // every evaluated position
  std::vector<std::vector<std::uint32_t>> orders;  // the children's tiles after each expansion
  std::vector<float> puts;
  std::vector<std::string> output;

 private:
  Policy policy_;
  Config config_;
  std::optional<std::size_t> fail_at_;
  std::string error_text_;
  bool model_ = true;
  Cells scratch_;
};

// Logits giving each listed tile the probability paired with it and every other tile 0.
Policy fixed_priors(std::vector<std::pair<std::size_t, float>> probabilities) {
  return [probabilities](const Game& game, bool) {
    Floats logits(game.dim() * game.dim(), -kInf);
    for (const auto& [tile, p] : probabilities)
      logits[tile] = std::log(p);
    return logits;
  };
}

// Side 20 after player 0's I5 along the top row: player 1 to move, tile 0 taken.
Game player_one_to_move() {
  Game game = Game::reset(20);
  for (std::size_t t = 0; t < 5; ++t)
    EXPECT_EQ(game.apply(t), std::nullopt) << t;
  EXPECT_EQ(game.current_player(), 1u);
  return game;
}

std::size_t tile_of(const std::variant<std::size_t, std::string>& choice) {
  EXPECT_TRUE(std::holds_alternative<std::size_t>(choice));
  return std::holds_alternative<std::size_t>(choice) ? std::get<std::size_t>(choice)
                                                     : std::numeric_limits<std::size_t>::max();
}

TEST(BestAction, TakesTheHighestPriorWhateverTheEnumerationOrder) {
  const Game game = Game::reset(20);
  struct Case {
    std::vector<std::pair<std::size_t, float>> probabilities;
    std::size_t best;
  };
  const std::vector<Case> cases = {
      {{{3, 0.8F}, {20, 0.2F}}, 3},
      {{{3, 0.2F}, {20, 0.8F}}, 20},
      {{{3, 0.3F}, {40, 0.5F}, {20, 0.2F}}, 40},
  };
  for (const Case& c : cases) {
    std::set<std::uint32_t> first_children;
    for (std::uint64_t seed = 0; seed < 8; ++seed) {
      thread_random().seed(seed);
      ScriptedHost host(fixed_priors(c.probabilities));
      EXPECT_EQ(tile_of(best_action(host, game)), c.best) << "seed " << seed;
      ASSERT_EQ(host.orders.size(), 1u);
      ASSERT_EQ(host.orders[0].size(), c.probabilities.size());
      first_children.insert(host.orders[0].front());
    }
    // The best child was not always enumerated first.
    EXPECT_GT(first_children.size(), 1u);
  }
}

TEST(BestAction, EqualPriorsGoToTheChildEnumeratedFirst) {
  const Game game = Game::reset(20);
  std::set<std::size_t> chosen;
  for (std::uint64_t seed = 0; seed < 16; ++seed) {
    thread_random().seed(seed);
    ScriptedHost host(fixed_priors({{0, 0.2F}, {1, 0.2F}, {2, 0.2F}, {20, 0.2F}, {40, 0.2F}}));
    const std::size_t tile = tile_of(best_action(host, game));
    ASSERT_EQ(host.orders.size(), 1u);
    ASSERT_EQ(host.orders[0].size(), 5u);
    EXPECT_EQ(tile, host.orders[0].front()) << "seed " << seed;
    chosen.insert(tile);
  }
  EXPECT_GT(chosen.size(), 2u);
}

TEST(BestAction, RootWithoutChildrenGetsAUniformlyRandomLegalTile) {
  const Game game = player_one_to_move();
  const Cells legal = game.get_legal_tiles();
  const std::set<std::size_t> legal_set(legal.begin(), legal.end());
  ASSERT_FALSE(legal_set.contains(0));  // the tile a fixed answer would give
  for (const Policy& policy : {Policy(fixed_priors({})), Policy([](const Game&g, bool) {
                                 return Floats(g.dim() * g.dim(),
                                               std::numeric_limits<float>::quiet_NaN());
                               })}) {
    std::set<std::size_t> seen;
    for (std::uint64_t seed = 0; seed < 60; ++seed) {
      thread_random().seed(seed);
      ScriptedHost host(policy);
      const std::size_t tile = tile_of(best_action(host, game));
      ASSERT_EQ(host.orders.size(), 1u);
      ASSERT_TRUE(host.orders[0].empty());
      EXPECT_TRUE(legal_set.contains(tile)) << "seed " << seed << ": tile " << tile;
      seen.insert(tile);

      // The draw comes from the thread's generator.
      thread_random().seed(seed);
      ScriptedHost again(policy);
      EXPECT_EQ(tile_of(best_action(again, game)), tile) << "seed " << seed;
    }
    EXPECT_GT(seen.size(), legal.size() / 2);
  }
}

TEST(BestAction, EvaluationErrorGivesTheRootNodeErrorWithTheDebugText) {
  ScriptedHost host(smallest_first);
  host.fail_at(0, "Traceback:\n  ValueError('boom')");
  const auto choice = best_action(host, Game::reset(20));
  ASSERT_TRUE(std::holds_alternative<std::string>(choice));
  EXPECT_EQ(std::get<std::string>(choice),
            "Error evaluating root node: Traceback:\n  ValueError('boom')");
  EXPECT_TRUE(host.output.empty());
}

// The game of test_against_random replayed outside the driver: seat 0 plays its smallest legal
// tile (after the expansion of its evaluation, which shuffles with the thread's generator), the
// other seats the tile at uniform_index(count) of the ascending legal list, drawn from the same
// generator.
Game replay_against_random(std::uint64_t seed, std::size_t dim) {
  thread_random().seed(seed);
  Game game = Game::reset(dim);
  while (!game.is_terminal()) {
    Cells legal = game.get_legal_tiles();
    if (game.current_player() == 0) {
      Node root;
      Cells scratch;
      (void)expand_from_network(root, game, smallest_first(game, true), {0, 0, 0, 0}, scratch,
                                thread_random());
    }
    const std::size_t tile = game.current_player() == 0
                                 ? legal.front()
                                 : legal[thread_random().uniform_index(legal.size())];
    EXPECT_EQ(game.apply(tile), std::nullopt);
  }
  return game;
}

bool starts_with(const History& whole, const History& prefix) {
  return whole.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

TEST(TestAgainstRandom, OnlySeatZeroAsksAndItsPayoffIsPutOnce) {
  constexpr std::size_t kDim = 9;
  bool seat_zero_payoff_stood_apart = false;
  for (std::uint64_t seed = 1; seed <= 4; ++seed) {
    ScriptedHost host(smallest_first, kDim);
    thread_random().seed(seed);
    EXPECT_EQ(test_against_random(host), 0u);

    ASSERT_FALSE(host.positions.empty());
    for (std::size_t k = 0; k < host.positions.size(); ++k) {
      const Game& position = host.positions[k];
      EXPECT_EQ(position.current_player(), 0u) << "evaluation " << k;
      EXPECT_EQ(position.dim(), kDim);
      EXPECT_FALSE(position.is_terminal());
      if (k + 1 == host.positions.size()) break;
      // The chosen tile was played next; the random seats' tiles, if any, come after it.
      const History& now = position.history();
      const History& next = host.positions[k + 1].history();
      ASSERT_TRUE(starts_with(next, now)) << "evaluation " << k;
      ASSERT_GT(next.size(), now.size());
      const auto smallest = static_cast<std::int32_t>(position.get_legal_tiles().front());
      EXPECT_EQ(next[now.size()], (HistoryEntry{0, smallest})) << "evaluation " << k;
      for (std::size_t i = now.size() + 1; i < next.size(); ++i)
        EXPECT_NE(next[i].first, 0);
    }
    for (const auto& [kind, player] : host.events)
      EXPECT_EQ(kind, 'e');
    EXPECT_TRUE(host.output.empty());

    const Game replay = replay_against_random(seed, kDim);
    for (const Game& position : host.positions)
      ASSERT_TRUE(starts_with(replay.history(), position.history())) << "replay diverged";
    const auto payoff = replay.get_payoff();
    ASSERT_EQ(host.puts.size(), 1u);
    EXPECT_EQ(host.puts[0], payoff[0]) << "seed " << seed;
    if (payoff[0] != payoff[1] || payoff[0] != payoff[2] || payoff[0] != payoff[3]) {
      seat_zero_payoff_stood_apart = true;
    }
  }
  EXPECT_TRUE(seat_zero_payoff_stood_apart);  // the seeds tell seat 0's payoff from the others'
}

TEST(TestAgainstRandom, EvaluationFailurePrintsTheQuotedErrorAndPutsNothing) {
  ScriptedHost host(smallest_first, 9);
  host.fail_at(2, "Traceback \"x\"\nValueError: bad");
  thread_random().seed(5);
  EXPECT_EQ(test_against_random(host), 1u);
  EXPECT_EQ(host.positions.size(), 3u);
  EXPECT_TRUE(host.puts.empty());
  ASSERT_EQ(host.output.size(), 1u);
  EXPECT_EQ(host.output[0],
            "Error running MCTS: \"Error evaluating root node: Traceback \\\"x\\\"\\nValueError: "
            "bad\"\n");
}

// The game of test_game under scripted networks: seat 0 plays its smallest legal tile, the
// baseline seats their largest.
Game reference_baseline_game() {
  Game game = Game::reset(20);
  while (!game.is_terminal()) {
    const Cells legal = game.get_legal_tiles();
    EXPECT_EQ(game.apply(game.current_player() == 0 ? legal.front() : legal.back()), std::nullopt);
  }
  return game;
}

Floats model_smallest_baseline_largest(const Game& game, bool model) {
  return model ? smallest_first(game, model) : largest_first(game, model);
}

TEST(TestGame, RoutesEverySeatAndPlaysOnSideTwentyWhateverTheConfig) {
  ScriptedHost host(model_smallest_baseline_largest, 14);
  const auto result = test_game(host);

  const Game reference = reference_baseline_game();
  ASSERT_TRUE(std::holds_alternative<float>(result));
  EXPECT_EQ(std::get<float>(result), reference.get_payoff()[0]);
  ASSERT_EQ(host.output.size(), 1u);
  EXPECT_EQ(host.output[0], "Finished Game\n" + reference.board().render() + "\n");
  EXPECT_TRUE(host.puts.empty());

  // Every evaluation right after routing the requests for the player to move.
  ASSERT_EQ(host.events.size(), 2 * host.positions.size());
  std::set<std::size_t> routed;
  for (std::size_t k = 0; k < host.events.size(); k += 2) {
    EXPECT_EQ(host.events[k].first, 'r') << k;
    EXPECT_EQ(host.events[k + 1].first, 'e') << k;
    EXPECT_EQ(host.events[k].second, host.events[k + 1].second) << k;
    routed.insert(host.events[k].second);
  }
  EXPECT_EQ(routed, (std::set<std::size_t>{0, 1, 2, 3}));
  for (const Game& position : host.positions)
    EXPECT_EQ(position.dim(), 20u);
  // Every tile of the game came from an evaluation.
  EXPECT_EQ(host.positions.size(), reference.history().size());
}

TEST(TestGame, EvaluationFailureReturnsTheFailureText) {
  ScriptedHost host(model_smallest_baseline_largest, 20);
  host.fail_at(7, "OSError: pipe closed");
  const auto result = test_game(host);
  ASSERT_TRUE(std::holds_alternative<std::string>(result));
  EXPECT_EQ(std::get<std::string>(result), "Error running MCTS");
  EXPECT_EQ(host.positions.size(), 8u);
  EXPECT_NE(host.positions.back().current_player(), 0u);  // a baseline seat failed
  ASSERT_EQ(host.output.size(), 1u);
  EXPECT_EQ(host.output[0],
            "Error running MCTS: \"Error evaluating root node: OSError: pipe closed\"\n");
  EXPECT_TRUE(host.puts.empty());
}

TEST(TestGames, PolicyOnAnIllegalTileIsNeverPlayed) {
  // Every logit but that of cell 399 (the far corner, never legal for seat 0's opening) is minus
  // infinity: the masked softmax leaves seat 0 without a child, and a random legal tile is played.
  const Policy corner = [](const Game& game, bool) {
    Floats logits(game.dim() * game.dim(), -kInf);
    logits[399] = 1000.0F;
    return logits;
  };
  thread_random().seed(31);
  ScriptedHost against_random(corner, 20);
  EXPECT_EQ(test_against_random(against_random), 0u);
  ASSERT_EQ(against_random.puts.size(), 1u);
  ScriptedHost against_baseline(corner, 20);
  EXPECT_TRUE(std::holds_alternative<float>(test_game(against_baseline)));
  for (const Game* game : {&against_random.positions.back(), &against_baseline.positions.back()})
    EXPECT_NE(game->board().owner(399), 1u);
}

}  // namespace
}  // namespace tessarin
