// Expanding a node from the network's outputs on real positions: children for the legal tiles
// with a positive prior, the player to move, and the values rotated into absolute player order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "node.h"
#include "random_source.h"
#include "softmax.h"

namespace tessarin {
namespace {

using Floats = std::vector<float>;
using Cells = std::vector<std::size_t>;

constexpr float kInf = std::numeric_limits<float>::infinity();

// Player 0's opening on side 20: the cells of the top-left 5 x 5 a first piece can reach.
const Cells kOpening = {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80};

// Side 20 after player 0's I5 along the top row: player 1 to move.
Game player_one_to_move() {
  Game game = Game::reset(20);
  for (std::size_t t = 0; t < 5; ++t)
    EXPECT_EQ(game.apply(t), std::nullopt) << t;
  EXPECT_EQ(game.current_player(), 1u);
  return game;
}

std::map<std::size_t, float> priors_of(const Node& node) {
  std::map<std::size_t, float> out;
  for (const Node& child : node.children()) {
    EXPECT_FALSE(out.contains(child.tile())) << "tile " << child.tile() << " twice";
    out[child.tile()] = child.prior();
  }
  return out;
}

TEST(ExpandFromNetwork, OneFreshChildPerLegalTile) {
  thread_random().seed(1);
  const Game game = Game::reset(20);
  Node node;
  Cells legal = {399, 7, 7};  // scratch: stale contents must not matter
  const Floats values =
      expand_from_network(node, game, Floats(400, 0.0F), {0, 0, 0, 0}, legal, thread_random());
  EXPECT_EQ(values, (Floats{0.25F, 0.25F, 0.25F, 0.25F}));
  EXPECT_EQ(node.player(), 0u);
  const auto priors = priors_of(node);
  ASSERT_EQ(priors.size(), kOpening.size());
  for (std::size_t t : kOpening) {
    ASSERT_TRUE(priors.contains(t)) << t;
    EXPECT_FLOAT_EQ(priors.at(t), 1.0F / 15.0F) << t;
  }
  for (const Node& child : node.children()) {
    EXPECT_FALSE(child.is_expanded());
    EXPECT_EQ(child.visit_count(), 0u);
    EXPECT_EQ(child.value_sum(), 0.0F);
    EXPECT_EQ(child.player(), 0u);
  }
  // Logits of illegal tiles carry no weight.
  Node other;
  Floats logits(400, 0.0F);
  logits[399] = 50.0F;
  logits[5] = 50.0F;
  expand_from_network(other, game, logits, {0, 0, 0, 0}, legal, thread_random());
  EXPECT_EQ(priors_of(other), priors);
}

TEST(ExpandFromNetwork, PriorsFollowTheMaskedSoftmaxOfTheLegalTiles) {
  const Game game = player_one_to_move();
  const Cells legal_tiles = game.get_legal_tiles();
  ASSERT_FALSE(legal_tiles.empty());
  Floats logits(400);
  for (std::size_t t = 0; t < logits.size(); ++t)
    logits[t] = 0.01F * static_cast<float>(t % 37);
  const Floats expected = masked_softmax(logits, legal_tiles);
  Node node;
  Cells scratch;
  expand_from_network(node, game, logits, {0, 0, 0, 0}, scratch, thread_random());
  EXPECT_EQ(node.player(), 1u);
  const auto priors = priors_of(node);
  ASSERT_EQ(priors.size(), legal_tiles.size());
  for (std::size_t t : legal_tiles)
    EXPECT_EQ(priors.at(t), expected[t]) << t;
}

TEST(ExpandFromNetwork, TilesWhosePriorIsZeroGetNoChild) {
  const Game game = Game::reset(20);
  Cells legal;
  {
    // exp(-200) underflows to 0 in single precision; minus infinity is 0 outright.
    Floats logits(400, -kInf);
    logits[0] = 0.0F;
    logits[21] = -200.0F;
    logits[42] = -1.0F;
    Node node;
    expand_from_network(node, game, logits, {0, 0, 0, 0}, legal, thread_random());
    const auto priors = priors_of(node);
    EXPECT_EQ(priors.size(), 2u);
    EXPECT_TRUE(priors.contains(0));
    EXPECT_TRUE(priors.contains(42));
    EXPECT_FALSE(priors.contains(21));
  }
  {
    // Every legal logit minus infinity: all priors NaN, none above 0, no child at all.
    Floats logits(400, 3.0F);
    for (std::size_t t : kOpening)
      logits[t] = -kInf;
    Node node;
    const Floats values =
        expand_from_network(node, game, logits, {1, 0, 0, 0}, legal, thread_random());
    EXPECT_FALSE(node.is_expanded());
    EXPECT_EQ(values.size(), 4u);
  }
  {
    // One NaN logit among the legal tiles poisons the sum: no child either.
    Floats logits(400, 0.0F);
    logits[22] = std::numeric_limits<float>::quiet_NaN();
    Node node;
    expand_from_network(node, game, logits, {0, 0, 0, 0}, legal, thread_random());
    EXPECT_FALSE(node.is_expanded());
  }
  {
    // The player is written even when no child is made.
    const Game one = player_one_to_move();
    Node node;
    expand_from_network(node, one, Floats(400, -kInf), {0, 0, 0, 0}, legal, thread_random());
    EXPECT_FALSE(node.is_expanded());
    EXPECT_EQ(node.player(), 1u);
  }
}

TEST(ExpandFromNetwork, ChildrenComeInARandomOrder) {
  const Game game = Game::reset(20);
  std::set<std::vector<std::uint32_t>> orders;
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    thread_random().seed(seed);
    Node node;
    Cells legal;
    expand_from_network(node, game, Floats(400, 0.0F), {0, 0, 0, 0}, legal, thread_random());
    std::vector<std::uint32_t> order;
    for (const Node& child : node.children())
      order.push_back(child.tile());
    EXPECT_FALSE(std::is_sorted(order.begin(), order.end()));
    orders.insert(order);
  }
  EXPECT_EQ(orders.size(), 6u);
}

TEST(ExpandFromNetwork, ValuesAreRotatedIntoAbsolutePlayerOrder) {
  Cells legal;
  const Floats policy(400, 0.0F);
  {
    // Relative entry 0 belongs to the player to move.
    const Game game = player_one_to_move();
    Node node;
    const Floats values =
        expand_from_network(node, game, policy, {2, 0, 0, 0}, legal, thread_random());
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(std::max_element(values.begin(), values.end()) - values.begin(), 1);
  }
  {
    // Entry j belongs to player (1 + j) mod 4.
    const Game game = player_one_to_move();
    Node node;
    const Floats s = softmax({4, 3, 2, 1});
    EXPECT_EQ(expand_from_network(node, game, policy, {4, 3, 2, 1}, legal, thread_random()),
              (Floats{s[3], s[0], s[1], s[2]}));
  }
  {
    // Player 0 to move: no rotation.
    const Game game = Game::reset(20);
    Node node;
    const Floats s = softmax({4, 3, 2, 1});
    EXPECT_EQ(expand_from_network(node, game, policy, {4, 3, 2, 1}, legal, thread_random()), s);
  }
}

TEST(ExpandFromNetwork, BadNetworkShapesStopAndLeaveTheNodeAlone) {
  Cells legal;
  {
    // Fewer values than the index of the player to move.
    const Game game = player_one_to_move();
    Node node;
    EXPECT_THROW(expand_from_network(node, game, Floats(400, 0.0F), {}, legal, thread_random()),
                 FatalStop);
    EXPECT_FALSE(node.is_expanded());
    EXPECT_EQ(node.player(), 0u);
    // As many values as that index is still accepted.
    EXPECT_EQ(expand_from_network(node, game, Floats(400, 0.0F), {0.5F}, legal, thread_random()),
              Floats{1.0F});
    EXPECT_EQ(node.player(), 1u);
  }
  {
    // The largest legal tile at the start on side 20 is 80: 80 logits are one too few.
    const Game game = Game::reset(20);
    Node node;
    EXPECT_THROW(
        expand_from_network(node, game, Floats(80, 0.0F), {0, 0, 0, 0}, legal, thread_random()),
        FatalStop);
    EXPECT_FALSE(node.is_expanded());
    EXPECT_THROW(expand_from_network(node, game, Floats{}, {0, 0, 0, 0}, legal, thread_random()),
                 FatalStop);
    EXPECT_FALSE(node.is_expanded());
    expand_from_network(node, game, Floats(81, 0.0F), {0, 0, 0, 0}, legal, thread_random());
    EXPECT_EQ(node.children().size(), kOpening.size());
  }
}

}  // namespace
}  // namespace tessarin
