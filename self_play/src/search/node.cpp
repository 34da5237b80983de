#include "node.h"

#include <cmath>
#include <limits>

#include "random_source.h"

namespace tessarin {
namespace {

// A value v in [0, 1] is kept as round(v * kValueScale); kNotANumber marks any other value.
constexpr float kValueScale = 65534.0F;
constexpr std::uint16_t kNotANumber = 65535;

}  // namespace

float Node::network_value() const {
  if (value_code_ == kNotANumber) return std::numeric_limits<float>::quiet_NaN();
  return static_cast<float>(value_code_) / kValueScale;
}

void Node::set_network_value(float value) {
  value_code_ = value >= 0.0F && value <= 1.0F
                    ? static_cast<std::uint16_t>(std::lround(value * kValueScale))
                    : kNotANumber;
}

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
