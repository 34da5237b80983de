#include "raw_policy.h"

#include "evaluation.h"
#include "fatal.h"
#include "node.h"

namespace tessarin {
namespace {

// The first child of highest prior, or nullptr when no child has a prior above 0.
const Node* best_prior_child(const Node& root) {
  float best = 0.0F;
  const Node* chosen = nullptr;
  for (const Node& child : root.children()) {
    if (child.prior() > best) {
      best = child.prior();
      chosen = &child;
    }
  }
  return chosen;
}

// The first child at which the running sum of priors exceeds `r`; the last child when none does
// (the priors' sum rounded below `r`). Precondition: `root` has children.
const Node& sampled_child(const Node& root, float r) {
  float sum = 0.0F;
  for (const Node& child : root.children()) {
    sum += child.prior();
    if (sum > r) return child;
  }
  return root.children().back();
}

}  // namespace

std::size_t raw_policy_tile(const Game& game, std::span<const float> policy_logits,
                            std::span<const float> value_logits, RawChoice choice,
                            RandomSource& random, std::vector<std::size_t>& legal) {
  Node root;
  std::vector<float> values;
  expand_from_network(root, game, policy_logits, value_logits, values, legal, random);
  // Expansion makes children only for priors above 0, so an expanded root always has a choice.
  if (root.is_expanded()) {
    if (choice == RawChoice::kSampled) return sampled_child(root, random.uniform_float()).tile();
    if (const Node* best = best_prior_child(root)) return best->tile();
  }
  game.legal_tiles(legal);
  if (legal.empty()) fatal("cannot sample empty range");
  return legal[random.uniform_index(legal.size())];
}

}  // namespace tessarin
