// A node of the search tree: the position reached by the tiles on the path from a root.
//
//   Node (32 bytes)                 children_ ──► [ Node | Node | Node ]   one allocation,
//   ┌──────────────────────────┐                  enumeration order, shuffled once at expansion
//   │ children_, child_count_  │
//   │ tile_    the tile leading here (0 for a root)
//   │ value_sum_, visit_count_ │    statistics of the simulations through the node
//   │ prior_                   │    the network's probability of tile_, root noise mixed in
//   │ player_  player to move, written at expansion (0 until then)
//   │ value_code_  the network's value for player_, written at expansion (16-bit fixed point)
//   └──────────────────────────┘
//
// A node owns its children and, through them, its whole subtree. A node with children is never
// expanded again; one expanded with no child counts as not expanded. The enumeration order of the
// children is random per node and fixed while the node lives; every order-dependent rule (noise,
// tie-breaks, recorded policies) follows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>

namespace tessarin {

class RandomSource;

class Node {
 public:
  // A new node: no children, player 0, no visits, the given prior and tile.
  explicit Node(float prior = 0.0F, std::uint32_t tile = 0) : tile_(tile), prior_(prior) {}
  Node(Node&&) noexcept = default;
  Node& operator=(Node&&) noexcept = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  ~Node() = default;

  // Has children.
  bool is_expanded() const { return child_count_ != 0; }
  // The children in enumeration order.
  std::span<Node> children() { return {children_.get(), child_count_}; }
  std::span<const Node> children() const { return {children_.get(), child_count_}; }
  // The child reached by `tile`, or nullptr.
  Node* child(std::size_t tile);

  // Replaces the children by one new child per (tile, prior), in an order shuffled by `random`.
  void expand(std::span<const std::pair<std::uint32_t, float>> priors, RandomSource& random);
  // Moves the child reached by `tile` out with its subtree and releases the other children;
  // nullopt (and nothing released) when no child has that tile.
  std::optional<Node> take_child(std::size_t tile);

  std::uint32_t tile() const { return tile_; }
  std::size_t player() const { return player_; }
  void set_player(std::size_t player) { player_ = static_cast<std::uint8_t>(player); }
  // The network's value for the player to move, as given when the node was expanded (0 before),
  // to within 1 / 65534; NaN when that value was not a number in [0, 1]. The Gumbel root mixes it
  // into the values of tiles it did not visit; a reused root would otherwise have lost it.
  float network_value() const;
  void set_network_value(float value);
  float value_sum() const { return value_sum_; }
  std::uint32_t visit_count() const { return visit_count_; }
  float prior() const { return prior_; }
  void set_prior(float prior) { prior_ = prior; }
  // Adds one visit worth `value`.
  void add_visit(float value) {
    ++visit_count_;
    value_sum_ += value;
  }
  // Adds one visit without a value (the root).
  void add_visit() { ++visit_count_; }
  // Q: value_sum / visit_count, 0 before the first visit.
  float mean_value() const {
    return visit_count_ == 0 ? 0.0F : value_sum_ / static_cast<float>(visit_count_);
  }

 private:
  std::unique_ptr<Node[]> children_;
  std::uint32_t child_count_ = 0;
  std::uint32_t tile_;
  float value_sum_ = 0.0F;
  std::uint32_t visit_count_ = 0;
  float prior_;
  std::uint8_t player_ = 0;
  std::uint16_t value_code_ = 0;  // kNotANumber, or the value times kValueScale, rounded
};

static_assert(sizeof(Node) == 32, "a node stays at 32 bytes");

}  // namespace tessarin
