#include "node.h"

#include "random_source.h"

namespace tessarin {

Node* Node::child(std::size_t tile) {
  for (Node& candidate : children()) {
    if (candidate.tile_ == tile) return &candidate;
  }
  return nullptr;
}

void Node::expand(std::span<const std::pair<std::uint32_t, float>> priors, RandomSource& random) {
  auto children = std::make_unique<Node[]>(priors.size());
  for (std::size_t i = 0; i < priors.size(); ++i) {
    children[i] = Node(priors[i].second, priors[i].first);
  }
  random.shuffle(std::span<Node>(children.get(), priors.size()));
  children_ = std::move(children);
  child_count_ = static_cast<std::uint32_t>(priors.size());
}

std::optional<Node> Node::take_child(std::size_t tile) {
  Node* chosen = child(tile);
  if (chosen == nullptr) return std::nullopt;
  Node taken = std::move(*chosen);
  children_.reset();
  child_count_ = 0;
  return taken;
}

}  // namespace tessarin
