#include "evaluation.h"

#include <algorithm>
#include <string>

#include "fatal.h"
#include "random_source.h"
#include "softmax.h"

namespace tessarin {

std::vector<float> expand_from_network(Node& node, const Game& game,
                                       std::span<const float> policy_logits,
                                       std::vector<float> value_logits,
                                       std::vector<std::size_t>& legal, RandomSource& random) {
  game.legal_tiles(legal);
  const std::vector<float> policy = masked_softmax(policy_logits, legal);

  std::vector<float> values = softmax(std::move(value_logits));
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

  // Per-thread scratch is safe here: it is filled and used with no call out to the host in
  // between, so a nested call on this thread cannot disturb it.
  thread_local std::vector<std::pair<std::uint32_t, float>> priors;
  priors.clear();
  for (std::size_t tile : legal) {
    if (policy[tile] > 0.0F) priors.emplace_back(static_cast<std::uint32_t>(tile), policy[tile]);
  }
  node.set_player(player);
  node.expand(priors, random);
  return values;
}

}  // namespace tessarin
