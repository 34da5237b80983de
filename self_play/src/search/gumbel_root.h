// The Gumbel root: how a search spends its simulations at the root when the root search setting is
// "gumbel", and the policy target it leaves.
//
//   logit(a)  = ln prior(a)        (the network's masked softmax, so the logits up to a constant)
//   g(a)      = -ln(-ln u), u uniform in (0, 1), one per root child (0 for every child without
//               noise)
//   q(a)      = the child's mean value: the share of the player to move at the root, in [0, 1]
//   v_mix     = (v + N / sum_{visited b} prior(b) * sum_{visited b} prior(b) q(b)) / (1 + N),
//               v the network's value of the root for its player to move, N the root children's
//               visits in all (v alone when no child was visited)
//   completed(a) = q(a) if a was visited, v_mix otherwise
//   sigma(x)  = (c_visit + max_b visits(b)) * c_scale * x
//
// Start: the k = min(gumbel_considered, children) children of greatest g + logit are considered.
// Sequential halving spends the budget of n simulations in P = max(1, ceil(log2 k)) phases: phase
// p gets floor(simulations left / phases left) of them (the last phase what remains, so exactly n
// are spent), dealt round-robin over its survivors from the best ranked; after every phase but the
// last, the half of the survivors with the lowest g + logit + sigma(completed) is dropped (ceil(m /
// 2) stay). The action is the survivor of greatest g + logit + sigma(completed), and the policy
// target over every child is softmax(logit + sigma(completed)).
//
// Below the root, selection stays pUCT: the halving decides which root child each simulation goes
// through, and the subtrees below it are searched, and reused from one action to the next, as
// with a pUCT root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "config.h"
#include "node.h"
#include "random_source.h"

namespace tessarin {

// The values of the root's children with the unvisited ones completed by v_mix (see above), one
// per child in enumeration order, into `out`. `root_value`: the network's value of the root for
// its player to move.
void completed_values(const Node& root, float root_value, std::vector<float>& out);

// softmax(logit + sigma(completed)) over the root's children in enumeration order, into `out`
// (empty for a root without children).
void completed_q_policy(const Node& root, float root_value, float c_visit, float c_scale,
                        std::vector<float>& out);

class GumbelRoot {
 public:
  // Considers the children of `root` (expanded) with the greatest g + logit for a search of
  // `simulations` simulations: g drawn from `random` when `noise`, else 0 (nothing drawn).
  void start(const Node& root, const Config& config, std::uint64_t simulations, bool noise,
             RandomSource& random);

  // The index, in enumeration order, of the root child the next simulation goes through; halves
  // the survivors when a phase has spent its budget. Precondition: start() was called and fewer
  // than `simulations` simulations were taken since.
  std::size_t next_child(const Node& root);

  // The index of the survivor of greatest g + logit + sigma(completed), the best ranked of equal
  // scores. Precondition: start() was called.
  std::size_t chosen(const Node& root) const;

  // The children still considered, best ranked first (indices in enumeration order).
  std::span<const std::uint32_t> survivors() const { return survivors_; }
  // The phase under way, from 0, and the number of phases.
  std::size_t phase() const { return phase_; }
  std::size_t phases() const { return phases_; }

 private:
  // g + logit + sigma(completed) of every child, into scores_.
  void score(const Node& root) const;
  // Keeps the better half of the survivors, best ranked first.
  void halve(const Node& root);

  float root_value_ = 0.0F;
  float c_visit_ = 0.0F;
  float c_scale_ = 0.0F;
  std::vector<float> noisy_logits_;  // g + logit per child
  std::vector<std::uint32_t> survivors_;
  mutable std::vector<float> scores_;     // scratch of score()
  mutable std::vector<float> completed_;  // scratch of score()
  std::uint64_t budget_ = 0;              // simulations of the search
  std::uint64_t spent_ = 0;
  std::uint64_t phase_budget_ = 0;
  std::uint64_t phase_spent_ = 0;
  std::size_t phase_ = 0;
  std::size_t phases_ = 1;
};

}  // namespace tessarin
