#include "gumbel_root.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessarin {
namespace {

// The most visits any child of `root` has.
float most_visits(const Node& root) {
  std::uint32_t most = 0;
  for (const Node& child : root.children())
    most = std::max(most, child.visit_count());
  return static_cast<float>(most);
}

// Orders scores with NaN below everything, so that sorting by them stays a strict weak order.
float rank_key(float score) {
  return std::isnan(score) ? -std::numeric_limits<float>::infinity() : score;
}

// A Gumbel(0, 1) variate; u = 0 is drawn again, as it would give minus infinity.
float gumbel(RandomSource& random) {
  float u = 0.0F;
  while (u == 0.0F)
    u = random.uniform_float();
  return -std::log(-std::log(u));
}

}  // namespace

void completed_values(const Node& root, float root_value, std::vector<float>& out) {
  std::uint32_t visits = 0;
  float visited_prior = 0.0F;
  float weighted_value = 0.0F;
  for (const Node& child : root.children()) {
    if (child.visit_count() == 0) continue;
    visits += child.visit_count();
    visited_prior += child.prior();
    weighted_value += child.prior() * child.mean_value();
  }
  float mixed = root_value;
  if (visits != 0) {
    const auto n = static_cast<float>(visits);
    mixed = (root_value + n * weighted_value / visited_prior) / (1.0F + n);
  }
  out.clear();
  for (const Node& child : root.children())
    out.push_back(child.visit_count() == 0 ? mixed : child.mean_value());
}

void completed_q_policy(const Node& root, float root_value, float c_visit, float c_scale,
                        std::vector<float>& out) {
  completed_values(root, root_value, out);
  const float scale = (c_visit + most_visits(root)) * c_scale;
  const std::span<const Node> children = root.children();
  float largest = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = std::log(children[i].prior()) + scale * out[i];
    largest = std::max(largest, out[i]);
  }
  // Normalized in double: the shares, each rounded to float once, then sum to 1 within a few
  // float roundings, as visit shares do (the records' replay holds targets to that).
  double sum = 0.0;
  for (const float entry : out)
    sum += std::exp(static_cast<double>(entry) - static_cast<double>(largest));
  for (float& entry : out)
    entry = static_cast<float>(std::exp(static_cast<double>(entry) - static_cast<double>(largest)) /
                               sum);
}

void GumbelRoot::start(const Node& root, const Config& config, std::uint64_t simulations,
                       bool noise, RandomSource& random) {
  root_value_ = root.network_value();
  c_visit_ = config.gumbel_c_visit;
  c_scale_ = config.gumbel_c_scale;
  const std::span<const Node> children = root.children();
  noisy_logits_.clear();
  survivors_.clear();
  for (std::size_t i = 0; i < children.size(); ++i) {
    noisy_logits_.push_back(std::log(children[i].prior()) + (noise ? gumbel(random) : 0.0F));
    survivors_.push_back(static_cast<std::uint32_t>(i));
  }
  // Equal scores keep enumeration order, which is random per node: no tile is favoured.
  std::stable_sort(survivors_.begin(), survivors_.end(), [&](std::uint32_t a, std::uint32_t b) {
    return rank_key(noisy_logits_[a]) > rank_key(noisy_logits_[b]);
  });
  const auto considered = static_cast<std::size_t>(std::min<std::uint64_t>(
      std::max<std::uint64_t>(config.gumbel_considered, 1), children.size()));
  survivors_.resize(considered);
  phases_ = 1;
  while ((std::size_t{1} << phases_) < considered)
    ++phases_;
  budget_ = simulations;
  spent_ = 0;
  phase_ = 0;
  phase_spent_ = 0;
  phase_budget_ = budget_ / phases_;
}

std::size_t GumbelRoot::next_child(const Node& root) {
  while (phase_spent_ == phase_budget_ && phase_ + 1 < phases_) {
    halve(root);
    ++phase_;
    phase_spent_ = 0;
    phase_budget_ = (budget_ - spent_) / (phases_ - phase_);
  }
  const std::uint32_t child = survivors_[phase_spent_ % survivors_.size()];
  ++phase_spent_;
  ++spent_;
  return child;
}

void GumbelRoot::score(const Node& root) const {
  completed_values(root, root_value_, completed_);
  const float scale = (c_visit_ + most_visits(root)) * c_scale_;
  scores_.resize(completed_.size());
  for (std::size_t i = 0; i < completed_.size(); ++i)
    scores_[i] = noisy_logits_[i] + scale * completed_[i];
}

void GumbelRoot::halve(const Node& root) {
  score(root);
  std::stable_sort(survivors_.begin(), survivors_.end(), [&](std::uint32_t a, std::uint32_t b) {
    return rank_key(scores_[a]) > rank_key(scores_[b]);
  });
  survivors_.resize((survivors_.size() + 1) / 2);
}

std::size_t GumbelRoot::chosen(const Node& root) const {
  score(root);
  std::uint32_t best = survivors_.front();
  for (const std::uint32_t survivor : survivors_) {
    if (scores_[survivor] > scores_[best]) best = survivor;
  }
  return best;
}

}  // namespace tessarin
