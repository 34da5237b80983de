// The search node: a fresh node, expansion into children in a random but fixed order, taking a
// child out as a new root, and the mean value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "node.h"
#include "random_source.h"

namespace tessarin {
namespace {

using Priors = std::vector<std::pair<std::uint32_t, float>>;
using Tiles = std::vector<std::uint32_t>;

Tiles tiles_of(const Node& node) {
  Tiles out;
  for (const Node& child : node.children())
    out.push_back(child.tile());
  return out;
}

// Tiles 0..count-1 with distinct priors.
Priors ascending_priors(std::uint32_t count) {
  Priors priors;
  for (std::uint32_t t = 0; t < count; ++t)
    priors.emplace_back(t, 0.01F * static_cast<float>(t + 1));
  return priors;
}

TEST(NewNode, IsUnexpandedWithZeroStatistics) {
  const Node root;
  EXPECT_FALSE(root.is_expanded());
  EXPECT_TRUE(root.children().empty());
  EXPECT_EQ(root.player(), 0u);
  EXPECT_EQ(root.visit_count(), 0u);
  EXPECT_EQ(root.value_sum(), 0.0F);
  EXPECT_EQ(root.mean_value(), 0.0F);
  EXPECT_EQ(root.prior(), 0.0F);
  EXPECT_EQ(root.tile(), 0u);

  const Node child(0.25F, 17);
  EXPECT_EQ(child.prior(), 0.25F);
  EXPECT_EQ(child.tile(), 17u);
  EXPECT_FALSE(child.is_expanded());
  EXPECT_EQ(child.mean_value(), 0.0F);
}

TEST(MeanValue, IsValueSumOverVisits) {
  Node node(0.5F, 3);
  node.add_visit(1.0F);
  node.add_visit(0.5F);
  EXPECT_EQ(node.visit_count(), 2u);
  EXPECT_EQ(node.value_sum(), 1.5F);
  EXPECT_EQ(node.mean_value(), 0.75F);
  node.add_visit();  // a visit without a value, as the root gets
  EXPECT_EQ(node.visit_count(), 3u);
  EXPECT_EQ(node.value_sum(), 1.5F);
  EXPECT_EQ(node.mean_value(), 0.5F);
  node.add_visit(-2.5F);
  EXPECT_EQ(node.mean_value(), -0.25F);
}

TEST(Expand, EmptyPriorsLeaveTheNodeUnexpanded) {
  RandomSource random(1);
  Node node;
  node.expand(Priors{}, random);
  EXPECT_FALSE(node.is_expanded());
  EXPECT_TRUE(node.children().empty());
  EXPECT_EQ(node.child(0), nullptr);
}

TEST(Expand, MakesOneFreshChildPerTileWithItsPrior) {
  RandomSource random(2);
  Node node;
  const Priors priors = {{7, 0.2F}, {3, 0.5F}, {42, 0.3F}};
  node.expand(priors, random);
  ASSERT_TRUE(node.is_expanded());
  ASSERT_EQ(node.children().size(), 3u);
  for (const auto& [tile, prior] : priors) {
    const Node* child = node.child(tile);
    ASSERT_NE(child, nullptr) << tile;
    EXPECT_EQ(child->tile(), tile);
    EXPECT_EQ(child->prior(), prior) << tile;
    EXPECT_FALSE(child->is_expanded());
    EXPECT_EQ(child->player(), 0u);
    EXPECT_EQ(child->visit_count(), 0u);
    EXPECT_EQ(child->value_sum(), 0.0F);
    // The lookup finds the child in the enumerated array, not a copy.
    EXPECT_GE(child, node.children().data());
    EXPECT_LT(child, node.children().data() + node.children().size());
  }
  EXPECT_EQ(node.child(0), nullptr);
  EXPECT_EQ(node.child(8), nullptr);
  const Tiles tiles = tiles_of(node);
  EXPECT_EQ(std::set<std::uint32_t>(tiles.begin(), tiles.end()),
            (std::set<std::uint32_t>{3, 7, 42}));
}

TEST(Expand, EnumerationOrderIsFixedForTheNodeButShuffledPerExpansion) {
  std::set<Tiles> orders;
  std::set<std::uint32_t> first_tiles;
  for (std::uint64_t seed = 0; seed < 12; ++seed) {
    RandomSource random(seed);
    Node node;
    node.expand(ascending_priors(20), random);
    const Tiles order = tiles_of(node);
    // Enumerating again, drawing from the generator and updating children's statistics
    // leave the order alone.
    (void)random.next_u64();
    for (Node& child : node.children())
      child.add_visit(1.0F);
    EXPECT_EQ(tiles_of(node), order);
    EXPECT_EQ(tiles_of(node), order);
    orders.insert(order);
    first_tiles.insert(order.front());
  }
  EXPECT_EQ(orders.size(), 12u);
  EXPECT_GT(first_tiles.size(), 4u);
  EXPECT_EQ(
      orders.count(Tiles{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}),
      0u);
}

TEST(TakeChild, MovesTheChildOutWithItsWholeSubtree) {
  RandomSource random(3);
  Node root;
  root.set_player(1);
  root.expand(ascending_priors(6), random);
  Node* chosen = root.child(4);
  ASSERT_NE(chosen, nullptr);
  chosen->set_player(2);
  chosen->add_visit(0.25F);
  chosen->add_visit(0.5F);
  chosen->set_prior(0.9F);
  chosen->expand(Priors{{100, 0.6F}, {101, 0.3F}, {102, 0.1F}}, random);
  chosen->child(101)->add_visit(1.0F);
  chosen->child(101)->set_player(3);
  chosen->child(101)->expand(Priors{{200, 1.0F}}, random);
  const Tiles grandchild_order = tiles_of(*chosen);

  // A missing tile changes nothing.
  const Tiles root_order = tiles_of(root);
  EXPECT_EQ(root.take_child(5000), std::nullopt);
  EXPECT_EQ(tiles_of(root), root_order);
  EXPECT_EQ(root.child(4)->visit_count(), 2u);

  std::optional<Node> taken = root.take_child(4);
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->tile(), 4u);
  EXPECT_EQ(taken->player(), 2u);
  EXPECT_EQ(taken->visit_count(), 2u);
  EXPECT_EQ(taken->value_sum(), 0.75F);
  EXPECT_EQ(taken->prior(), 0.9F);
  EXPECT_EQ(tiles_of(*taken), grandchild_order);
  Node* grandchild = taken->child(101);
  ASSERT_NE(grandchild, nullptr);
  EXPECT_EQ(grandchild->prior(), 0.3F);
  EXPECT_EQ(grandchild->visit_count(), 1u);
  EXPECT_EQ(grandchild->player(), 3u);
  ASSERT_NE(grandchild->child(200), nullptr);
  EXPECT_EQ(grandchild->child(200)->prior(), 1.0F);

  // The old root let go of its children.
  EXPECT_FALSE(root.is_expanded());
  EXPECT_EQ(root.child(4), nullptr);

  // The taken node lives on as a root of its own: its subtree can be taken again.
  std::optional<Node> next = taken->take_child(101);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->player(), 3u);
  ASSERT_NE(next->child(200), nullptr);
}

}  // namespace
}  // namespace tessarin
