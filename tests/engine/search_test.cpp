// The tree search over scripted evaluators: the selection score, root noise, backup from the
// chooser's side, leaves that stay unexpanded, failures, and a root reused across searches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "node.h"
#include "random_source.h"
#include "search.h"
#include "search_config.h"
#include "training_game.h"

namespace tessarin {
namespace {

using Floats = std::vector<float>;
using Priors = std::vector<std::pair<std::uint32_t, float>>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct ScriptedError {
  std::string message;
  std::string text() const { return message; }
  std::string debug() const { return message; }
};

// Answers a position as a network would: policy logits `logits` (uniform by default) and value
// logits that give exactly the values `values` by absolute player (their logarithms, rotated to
// start at the player to move). Terminal positions must never reach it.
class ScriptedEvaluator {
 public:
  using Error = ScriptedError;
  using Script = std::function<Floats(const Game&)>;

  Script logits = [](const Game& game) { return Floats(game.board().cell_count(), 0.0F); };
  Script values = [](const Game&) { return Floats{0.25F, 0.25F, 0.25F, 0.25F}; };
  std::optional<int> fail_at_request;  // request number (from 0) that fails
  int requests = 0;

  std::optional<ScriptedError> evaluate(const Game& game, Logits& out) {
    EXPECT_FALSE(game.is_terminal()) << "a terminal position reached the evaluator";
    if (fail_at_request == requests++) return ScriptedError{"boom"};
    out.policy = logits(game);
    const Floats absolute = values(game);
    out.value.resize(4);
    for (std::size_t j = 0; j < 4; ++j)
      out.value[j] = std::log(absolute[(game.current_player() + j) % 4]);
    return std::nullopt;
  }
};

Config search_config(std::uint64_t sims) {
  return test_search_config(7, sims, 0.25F);
}

std::uint32_t visits_of_children(const Node& node) {
  std::uint32_t total = 0;
  for (const Node& child : node.children())
    total += child.visit_count();
  return total;
}

// Plays the first legal tile until one more action could end the game.
Game one_action_from_the_end(std::size_t dim) {
  Game game = Game::reset(dim);
  for (;;) {
    bool ending = false;
    for (std::size_t tile : game.get_legal_tiles()) {
      Game next = game;
      (void)next.apply(tile);
      ending = ending || next.is_terminal();
    }
    if (ending) return game;
    EXPECT_EQ(game.apply(game.get_legal_tiles().front()), std::nullopt);
  }
}

TEST(SearchSelection, WorkedPuctExample) {
  // c_base 1, c_init 0, N 3: children a (n 1, sum 0.5), b (n 0, P 0.25), c (n 2, sum 0.2, P 0.25)
  // and a probe of prior 0 whose score is its Q. Each child takes entry 2 of the value vector,
  // that of the player to move at the node.
  const auto choice = [](float prior_a, float probe) {
    RandomSource random(1);
    Node node;
    node.set_player(2);
    node.expand(Priors{{10, prior_a}, {11, 0.25F}, {12, 0.25F}, {13, 0.0F}}, random);
    back_up(node, {node.child(10)}, {9.0F, 9.0F, 0.5F, 9.0F});
    back_up(node, {node.child(12)}, {9.0F, 9.0F, 0.2F, 9.0F});
    back_up(node, {node.child(12)}, {9.0F, 9.0F, 0.0F, 9.0F});
    node.child(13)->add_visit(probe);
    return select_child(node, 1.0F, 0.0F)->tile();
  };
  // a scores about 1.20, ahead of b (about 0.70) and c (about 0.33).
  EXPECT_EQ(choice(0.5F, 1.19F), 10u);
  EXPECT_EQ(choice(0.5F, 1.20F), 13u);
  // Without its prior a scores its Q, 0.5: b leads.
  EXPECT_EQ(choice(0.0F, 0.69F), 11u);
  EXPECT_EQ(choice(0.0F, 0.70F), 13u);

  Node node;
  node.set_player(2);
  RandomSource random(1);
  node.expand(Priors{{10, 1.0F}}, random);
  EXPECT_THROW(back_up(node, {node.child(10)}, {0.0F, 0.0F}), FatalStop);
}

TEST(SearchSelection, CBaseDividesInsideTheLogarithm) {
  // c_base 4, c_init 0.5, N 3: C = ln((4 + 3 + 1) / 4) + 0.5 = ln 2 + 0.5, E = sqrt(3) C ~ 2.0666.
  // (Dividing after the logarithm, ln 8 / 4 + 0.5, would give E ~ 1.7664.) Child a (n 0, prior 1)
  // scores E; b holds the three visits at Q 0 and prior 0; a probe of prior 0 scores its Q.
  const auto choice = [](float probe) {
    RandomSource random(2);
    Node node;
    node.expand(Priors{{10, 1.0F}, {11, 0.0F}, {13, 0.0F}}, random);
    for (int i = 0; i < 3; ++i)
      back_up(node, {node.child(11)}, {0.0F, 0.0F, 0.0F, 0.0F});
    node.child(13)->add_visit(probe);
    return select_child(node, 4.0F, 0.5F)->tile();
  };
  EXPECT_EQ(choice(2.06F), 10u);
  EXPECT_EQ(choice(2.07F), 13u);
  EXPECT_EQ(choice(1.77F), 10u);
}

TEST(SearchSelection, NaNScoresAreNeverTakenAndAllNaNFailsTheSearch) {
  thread_random().seed(3);
  ScriptedEvaluator evaluator;
  evaluator.values = [](const Game&) { return Floats(4, kNaN); };
  const Game game = Game::reset(7);
  Node root;
  const auto failure = search(evaluator, root, game, search_config(100), thread_random());
  EXPECT_EQ(failure, "All UCB scores NaN");
  // Every one of the 15 opening tiles was tried once before nothing was left to choose.
  ASSERT_EQ(root.children().size(), 15u);
  EXPECT_EQ(root.visit_count(), 15u);
  for (const Node& child : root.children())
    EXPECT_EQ(child.visit_count(), 1u) << child.tile();
}

TEST(SearchRoot, NewRootIsExpandedAndNoisedAndFirstSimulationTakesTheLastChild) {
  thread_random().seed(4);
  ScriptedEvaluator evaluator;
  const Game game = Game::reset(7);
  Node root;
  EXPECT_EQ(search(evaluator, root, game, search_config(0), thread_random()), std::nullopt);
  EXPECT_EQ(evaluator.requests, 1);
  ASSERT_EQ(root.children().size(), 15u);
  EXPECT_EQ(root.visit_count(), 0u);
  EXPECT_EQ(visits_of_children(root), 0u);
  float sum = 0.0F;
  bool noised = false;
  for (const Node& child : root.children()) {
    sum += child.prior();
    noised = noised || std::abs(child.prior() - 1.0F / 15.0F) > 1e-6F;
  }
  EXPECT_NEAR(sum, 1.0F, 1e-5F);
  EXPECT_TRUE(noised);

  // At N 0 every score is 0: the last child in enumeration order wins the tie.
  EXPECT_EQ(search(evaluator, root, game, search_config(1), thread_random()), std::nullopt);
  EXPECT_EQ(root.children().back().visit_count(), 1u);
  EXPECT_EQ(visits_of_children(root), 1u);
}

TEST(SearchRoot, NoiseFractionMixesTheDirichletSample) {
  for (float fraction : {0.0F, 0.25F, 1.0F}) {
    RandomSource expand_random(5);
    Node root;
    root.expand(Priors{{1, 0.5F}, {2, 0.3F}, {3, 0.2F}}, expand_random);
    Floats before;
    for (const Node& child : root.children())
      before.push_back(child.prior());
    RandomSource random(6);
    RandomSource replay = random;
    Floats noise(3);
    replay.dirichlet(0.3F, noise);
    add_root_noise(root, 0.3F, fraction, random);
    // The sample is drawn even when its weight is 0.
    EXPECT_EQ(random.next_u64(), replay.next_u64()) << fraction;
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_FLOAT_EQ(root.children()[j].prior(),
                      noise[j] * fraction + before[j] * (1.0F - fraction))
          << fraction << " " << j;
    }
    if (fraction == 0.0F) {
      EXPECT_EQ(root.children()[0].prior(), before[0]);
    } else if (fraction == 1.0F) {
      EXPECT_EQ(root.children()[0].prior(), noise[0]);
    }
  }
}

TEST(SearchRoot, AlphaNotAboveZeroStopsTheWorker) {
  for (float alpha : {0.0F, -1.0F, kNaN}) {
    ScriptedEvaluator evaluator;
    Config config = search_config(1);
    config.dirichlet_alpha = alpha;
    Node root;
    try {
      (void)search(evaluator, root, Game::reset(7), config, thread_random());
      ADD_FAILURE() << "no stop for alpha " << alpha;
    } catch (const FatalStop& stop) {
      EXPECT_STREQ(stop.what(), "Noise should be generated ok: AlphaTooSmall");
    }
  }
}

TEST(SearchRoot, OnlyChildDrawsNoNoiseAndZeroPriorLeafIsAskedAgain) {
  thread_random().seed(7);
  ScriptedEvaluator evaluator;
  // Only tile 0 at the opening; every tile gets probability 0 after it.
  evaluator.logits = [](const Game& game) {
    Floats logits(game.board().cell_count(), -kInf);
    if (game.board().owner(0) == 0) logits[0] = 0.0F;
    return logits;
  };
  Config config = search_config(3);
  config.dirichlet_alpha = 0.0F;  // would stop the worker if any noise were drawn
  const Game game = Game::reset(7);
  Node root;
  RandomSource random(8);
  RandomSource untouched = random;
  EXPECT_EQ(search(evaluator, root, game, config, random), std::nullopt);
  EXPECT_EQ(random.next_u64(), untouched.next_u64());
  ASSERT_EQ(root.children().size(), 1u);
  const Node& only = root.children()[0];
  EXPECT_EQ(only.prior(), 1.0F);
  EXPECT_EQ(only.visit_count(), 3u);
  EXPECT_FALSE(only.is_expanded());
  EXPECT_EQ(evaluator.requests, 4);  // the root, then the childless leaf on every simulation
}

TEST(SearchLeaves, TerminalLeafIsReevaluatedAndCreditedToThePlayerWhoReachedIt) {
  thread_random().seed(9);
  const Game game = one_action_from_the_end(5);
  ASSERT_EQ(game.current_player(), 2u);
  ScriptedEvaluator evaluator;
  Node root;
  EXPECT_EQ(search(evaluator, root, game, search_config(6), thread_random()), std::nullopt);
  EXPECT_EQ(evaluator.requests, 1);  // the root only: terminal leaves are backed up at once
  EXPECT_EQ(root.visit_count(), 6u);
  EXPECT_EQ(visits_of_children(root), 6u);
  for (const Node& child : root.children()) {
    Game after = game;
    (void)after.apply(child.tile());
    ASSERT_TRUE(after.is_terminal());
    EXPECT_FALSE(child.is_expanded());
    const float mover_payoff = after.get_payoff()[2];
    ASSERT_NE(mover_payoff, after.get_payoff()[0]);
    EXPECT_FLOAT_EQ(child.value_sum(), mover_payoff * static_cast<float>(child.visit_count()));
  }
}

TEST(SearchLeaves, ChildrenHoldTheValueOfThePlayerWhoChoseThem) {
  thread_random().seed(10);
  Game game = Game::reset(20);
  for (std::size_t t = 0; t < 4; ++t)
    ASSERT_EQ(game.apply(t), std::nullopt);
  ASSERT_EQ(game.get_legal_tiles(), (std::vector<std::size_t>{4, 20, 21, 22, 23}));
  ScriptedEvaluator evaluator;
  // Good for player 0 and bad for player 1 exactly when player 0 took cell 4.
  evaluator.values = [](const Game& position) {
    return position.board().owner(4) == 1 ? Floats{1, 0, 0, 0} : Floats{0, 1, 0, 0};
  };
  Node root;
  EXPECT_EQ(search(evaluator, root, game, search_config(40), thread_random()), std::nullopt);
  EXPECT_EQ(root.player(), 0u);
  const Node* most = nullptr;
  for (const Node& child : root.children()) {
    EXPECT_EQ(child.player(), 1u) << child.tile();  // every tile completes the piece
    EXPECT_FLOAT_EQ(child.mean_value(), child.tile() == 4 ? 1.0F : 0.0F) << child.tile();
    if (most == nullptr || child.visit_count() > most->visit_count()) most = &child;
  }
  EXPECT_EQ(most->tile(), 4u);
}

TEST(SearchFailures, EvaluatorErrorsBecomeTheSearchMessage) {
  thread_random().seed(11);
  const Game game = Game::reset(7);
  {
    ScriptedEvaluator evaluator;
    evaluator.fail_at_request = 0;
    Node root;
    EXPECT_EQ(search(evaluator, root, game, search_config(4), thread_random()),
              "Error evaluating root node: boom");
    EXPECT_FALSE(root.is_expanded());
  }
  {
    ScriptedEvaluator evaluator;
    evaluator.fail_at_request = 3;
    Node root;
    EXPECT_EQ(search(evaluator, root, game, search_config(4), thread_random()), "boom");
    EXPECT_EQ(root.visit_count(), 2u);  // the simulations before the failure stay backed up
  }
}

TEST(SearchFailures, TileTheGameRefusesStopsTheWorkerWithTheEngineText) {
  // A root that holds one child, for cell 48: the far corner, never legal for player 0 at the
  // opening of a 7 x 7 game. (Expansion from a network only ever creates legal tiles; this is a
  // tree that does not belong to its game.)
  ScriptedEvaluator evaluator;
  const Game game = Game::reset(7);
  Node root;
  RandomSource random(1);
  root.expand(Priors{{48, 1.0F}}, random);
  try {
    (void)search(evaluator, root, game, search_config(1), thread_random());
    ADD_FAILURE() << "no stop";
  } catch (const FatalStop& stop) {
    EXPECT_STREQ(stop.what(), "Invalid move - Player 0, Tile 48");
  }
  EXPECT_EQ(evaluator.requests, 0);
}

TEST(SearchReentrancy, WholeGamesPlayedInsideEvaluationsLeaveTheOuterSearchIntact) {
  // A host that plays a whole training game of its own, on the same thread and through the same
  // search, inside some of the outer search's leaf evaluations (as a host may do from inside put
  // or recv).
  struct NestingHost {
    ScriptedEvaluator evaluator;
    Config settings{5, 1, 4, 3, 19652.0F, 1.25F, 0.3F, 0.25F};
    bool nests = true;
    int nested_games = 0;
    std::vector<TrainingRecord> records;

    const Config& config() const { return settings; }
    void put_training_record(const TrainingRecord& record) { records.push_back(record); }
    using Error = ScriptedError;
    std::optional<ScriptedError> evaluate(const Game& game, Logits& out) {
      if (nests && evaluator.requests >= 2 && nested_games < 3) {
        NestingHost inner;
        inner.nests = false;
        EXPECT_EQ(training_game(inner), 0u);
        EXPECT_EQ(inner.records.size(), 1u);
        ++nested_games;
      }
      return evaluator.evaluate(game, out);
    }
  };
  thread_random().seed(13);
  NestingHost host;
  const Game game = Game::reset(7);
  Node root;
  ASSERT_EQ(search(host, root, game, search_config(20), thread_random()), std::nullopt);
  EXPECT_EQ(host.nested_games, 3);
  EXPECT_EQ(root.visit_count(), 20u);
  EXPECT_EQ(visits_of_children(root), 20u);
  // Every expanded child holds the visits of its own subtree plus its own evaluation.
  for (const Node& child : root.children()) {
    if (child.is_expanded()) {
      EXPECT_EQ(visits_of_children(child) + 1, child.visit_count());
    }
  }
}

TEST(SearchReuse, ReusedRootKeepsAndAddsCounts) {
  thread_random().seed(12);
  ScriptedEvaluator evaluator;
  const Game game = Game::reset(7);
  Node root;
  ASSERT_EQ(search(evaluator, root, game, search_config(10), thread_random()), std::nullopt);
  std::vector<std::uint32_t> earlier;
  for (const Node& child : root.children())
    earlier.push_back(child.visit_count());
  ASSERT_EQ(search(evaluator, root, game, search_config(5), thread_random()), std::nullopt);
  EXPECT_EQ(evaluator.requests, 16);  // the root is not evaluated again
  EXPECT_EQ(root.visit_count(), 15u);
  EXPECT_EQ(visits_of_children(root), 15u);
  for (std::size_t j = 0; j < earlier.size(); ++j)
    EXPECT_GE(root.children()[j].visit_count(), earlier[j]) << j;
}

}  // namespace
}  // namespace tessarin
