#include "evaluation.h"

#include <algorithm>
#include <limits>
#include <string>

#include "fatal.h"
#include "random_source.h"
#include "softmax.h"

namespace tessarin {

void expand_from_network(Node& node, const Game& game, std::span<const float> policy_logits,
                         std::span<const float> value_logits, std::vector<float>& values,
                         std::vector<std::size_t>& legal, RandomSource& random) {
  // Per-thread scratch is safe here: it is filled and used with no call out to the host in
  // between, so a nested call on this thread cannot disturb it.
  thread_local std::vector<float> policy;  // policy[k]: the prior of legal[k]
  thread_local std::vector<std::pair<std::uint32_t, float>> priors;
  game.legal_tiles(legal);
  gathered_softmax(policy_logits, legal, policy);

  values.assign(value_logits.begin(), value_logits.end());
  softmax_in_place(values);
  const std::size_t player = game.current_player();
  if (values.size() < player) {
    fatal("The network gave " + std::to_string(values.size()) +
          " values, fewer than the index of player " + std::to_string(player) + " to move");
  }
  if (!values.empty()) {
    // Entry j belongs to player (player + j) mod n.
    std::rotate(values.begin(), values.end() - static_cast<std::ptrdiff_t>(player % values.size()),
                values.end());
  }

  // The legal tiles are distinct, so prior k is the masked softmax at tile legal[k].
  priors.clear();
  for (std::size_t k = 0; k < legal.size(); ++k) {
    if (policy[k] > 0.0F) priors.emplace_back(static_cast<std::uint32_t>(legal[k]), policy[k]);
  }
  node.set_player(player);
  node.set_network_value(player < values.size() ? values[player]
                                                : std::numeric_limits<float>::quiet_NaN());
  node.expand(priors, random);
}

std::vector<float> expand_from_network(Node& node, const Game& game,
                                       std::span<const float> policy_logits,
                                       std::vector<float> value_logits,
                                       std::vector<std::size_t>& legal, RandomSource& random) {
  std::vector<float> values;
  expand_from_network(node, game, policy_logits, value_logits, values, legal, random);
  return values;
}

}  // namespace tessarin
